// The image's load configuration. Its dependent-load flags make Windows 10 1607
// and later resolve the static imports from System32 only: the program runs
// elevated from wherever it was saved, and CRYPT32 is not a known DLL, so a
// crypt32.dll planted beside it would otherwise be loaded first.
#include <windows.h>

#include <cstddef>

namespace {

constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY config{};
  // Up to the safe-exception-handler table, which this image does not have:
  // 64 bytes on x86, the size that older loaders accept.
  config.Size = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable);
  // DependentLoadFlags, which mingw-w64's headers still call Reserved1.
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

}  // namespace

// The loader finds it through the PE header's load-configuration directory,
// which the build fills in, since GNU ld does not; the name is the one the
// platform's own toolchain gives it.
extern "C" constinit const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadConfig();
