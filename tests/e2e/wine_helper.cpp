// Test helper that runs under Wine beside the installer.
//   wine_helper answer ID...      for each ID: waits for the next message box of
//                                 another process, prints what it says, presses ID
//   wine_helper launch HEX        starts the command line given as hex UTF-8 with
//                                 CreateProcessW, exactly as given; prints its exit status
//   wine_helper hold              holds Wine's lock of its root-store sync until
//                                 standard input closes (see winetest.py)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Print(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
  std::fputs(utf8.c_str(), stdout);
  std::fflush(stdout);
}

// Keeps one box on one line.
std::wstring Escape(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\n') out += L"\\n";
    else if (c == L'\r') out += L"\\r";
    else if (c == L'\t') out += L"\\t";
    else if (c == L'\\') out += L"\\\\";
    else out += c;
  }
  return out;
}

std::wstring WindowText(HWND window) {
  wchar_t text[4096];
  const int length = GetWindowTextW(window, text, 4096);
  return std::wstring(text, static_cast<size_t>(length > 0 ? length : 0));
}

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  wchar_t cls[64];
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() && IsWindowVisible(window) &&
      GetClassNameW(window, cls, 64) && std::wstring(cls) == L"#32770") {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// Polls: another process's new window raises no event that a console helper sees.
HWND WaitForBox(DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds; waited += 20) {
    HWND box = nullptr;
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
    if (box != nullptr) return box;
    Sleep(20);
  }
  return nullptr;
}

int Answer(int count, wchar_t** ids) {
  for (int i = 0; i < count; ++i) {
    HWND box = WaitForBox(60000);
    if (box == nullptr) {
      Print(L"no box\n");
      return 2;
    }
    // Returns once the box's thread takes messages, so its modal loop runs and
    // its texts and buttons are in place.
    SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
    std::wstring buttons;
    const struct { int id; const wchar_t* name; } known[] = {
        {IDOK, L"OK"}, {IDCANCEL, L"Cancel"}, {IDYES, L"Yes"}, {IDNO, L"No"}};
    for (const auto& button : known) {
      if (GetDlgItem(box, button.id) != nullptr) buttons += std::wstring(buttons.empty() ? L"" : L",") + button.name;
    }
    HWND text = GetDlgItem(box, 0xFFFF);  // the message box's static text
    Print(L"box\t" + Escape(WindowText(box)) + L"\t" + Escape(text ? WindowText(text) : L"") +
          L"\t" + buttons + L"\n");
    const int id = _wtoi(ids[i]);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    for (int waited = 0; IsWindow(box) && waited < 1500; ++waited) Sleep(20);
  }
  return 0;
}

int Launch(const wchar_t* hex) {
  std::string utf8;
  for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
    const wchar_t pair[3] = {hex[i], hex[i + 1], 0};
    utf8 += static_cast<char>(wcstol(pair, nullptr, 16));
  }
  std::wstring line(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, line.data(), static_cast<int>(line.size()));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("CreateProcessW failed: %lu\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, 120000);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  std::printf("exit %lu\n", status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

// Wine 10's CRYPT32, in each process's first opening of the local computer's
// ROOT store, deletes from it every certificate that the host does not trust,
// unless another process holds this lock; Windows has no such sync.
int Hold() {
  HANDLE lock = CreateSemaphoreW(nullptr, 1, 1, L"crypt32_root_semaphore");
  if (lock == nullptr) {
    std::printf("CreateSemaphoreW failed: %lu\n", GetLastError());
    return 2;
  }
  std::printf("held\n");
  std::fflush(stdout);
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
  CloseHandle(lock);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wstring(argv[1]) == L"answer") return Answer(argc - 2, argv + 2);
  if (argc == 3 && std::wstring(argv[1]) == L"launch") return Launch(argv[2]);
  if (argc == 2 && std::wstring(argv[1]) == L"hold") return Hold();
  std::fputs("usage: wine_helper answer ID... | launch HEX | hold\n", stderr);
  return 2;
}
