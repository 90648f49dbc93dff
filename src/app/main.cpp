// The image's entry: no C runtime, so the start-up that a runtime would bring
// is here, reduced to what the program needs.
#include "command_tail.h"
#include "installer_run.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandTail, int) {
  return InstallerRun(commandTail);
}

// The entry point that the linker is given. It never returns: ExitProcess ends
// the process with the run's status.
extern "C" void WINAPI ImageStartup() {
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  const int showWindow =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
  ExitProcess(static_cast<UINT>(wWinMain(GetModuleHandleW(nullptr), nullptr,
                                         CommandTail(GetCommandLineW()), showWindow)));
}
