// libFuzzer target: any command line, read exactly to its terminator, gives a
// tail inside that line which starts after any blank or control character.
#include "command_tail.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t units = size / sizeof(WCHAR);
  // Exactly sized, so AddressSanitizer sees any read past the terminator.
  auto* line = static_cast<WCHAR*>(std::malloc((units + 1) * sizeof(WCHAR)));
  std::memcpy(line, data, units * sizeof(WCHAR));
  line[units] = 0;
  size_t length = 0;
  while (line[length] != 0) ++length;

  const WCHAR* tail = CommandTail(line);
  if (tail < line || tail > line + length) std::abort();
  if (*tail != 0 && *tail <= u' ') std::abort();  // blanks before the tail are skipped
  if (tail > line && *tail != 0 && tail[-1] > u' ') std::abort();  // a tail follows a blank

  std::free(line);
  return 0;
}
