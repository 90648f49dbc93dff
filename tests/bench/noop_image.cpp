// The benchmark's baseline: an image linked like the installer, importing from
// the same three libraries, that does nothing but exit.
#include <windows.h>
#include <wincrypt.h>

extern "C" void WINAPI NoopStartup() {
  // Never true; keeps one import of each library without calling it.
  if (GetCommandLineW() == nullptr) {
    MessageBoxW(nullptr, nullptr, nullptr, MB_OK);
    CertCloseStore(nullptr, 0);
  }
  ExitProcess(1);
}
