#include "installer_run.h"

#include "embedded_certificates.h"
#include "install_certificate.h"

namespace {

constexpr WCHAR SilentSwitch[] = TEXT("-s");

constexpr WCHAR AttentionCaption[] = TEXT("Внимание");
constexpr WCHAR ErrorCaption[] = TEXT("Ошибка");
constexpr WCHAR ConsentText[] =
    TEXT("Эта программа настраивает ваше рабочее место для работы с электронной подписью: ")
    TEXT("устанавливает корневой и промежуточные сертификаты Минцифры России, ")
    TEXT("промежуточные сертификаты ФНС и АО «Аналитический центр» ")
    TEXT("в хранилище сертификатов локального компьютера.\nПродолжить?");
constexpr WCHAR RefusedText[] = TEXT("Установка сертификатов отменена");
constexpr WCHAR InstalledText[] = TEXT("Сертификаты установлены успешно");
constexpr WCHAR AccessDeniedText[] = TEXT("Требуются права администратора");
constexpr WCHAR FailureFormat[] = TEXT("Ошибка установки сертификатов, код 0x%08x");

// wsprintfW writes at most 1024 units, so this buffer always holds its output.
constexpr SIZE_T MessageBufferLength = 1024;

// Holds either error text in full when the heap refuses MessageBuffer: the
// format's "%08x" becomes eight digits.
constexpr SIZE_T FallbackLength = 64;
static_assert(ARRAYSIZE(FailureFormat) - 4 + 8 <= FallbackLength);
static_assert(ARRAYSIZE(AccessDeniedText) <= FallbackLength);

// Owns a block of the process heap; frees it when the scope ends.
class HeapBlock {
 public:
  explicit HeapBlock(SIZE_T bytes) : block_(HeapAlloc(GetProcessHeap(), 0, bytes)) {}
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (block_ != nullptr) HeapFree(GetProcessHeap(), 0, block_);
  }

  LPVOID get() const { return block_; }

 private:
  LPVOID block_;
};

// Case-sensitive search over the whole tail, not per argument.
bool HasSilentSwitch(LPCWSTR commandTail) {
  if (commandTail == nullptr) return false;
  for (LPCWSTR at = commandTail; at[0] != 0; ++at) {
    if (at[0] == SilentSwitch[0] && at[1] == SilentSwitch[1]) return true;
  }
  return false;
}

bool AskConsent() {
  if (MessageBoxW(nullptr, ConsentText, AttentionCaption, MB_YESNO | MB_ICONQUESTION) == IDYES)
    return true;
  MessageBoxW(nullptr, RefusedText, AttentionCaption, MB_OK | MB_ICONINFORMATION);
  return false;
}

bool InstallEmbeddedCertificates() {
  for (const EmbeddedCertificate& row : EmbeddedCertificates) {
    if (!InstallCertificate(row.Base64Text, row.StoreName)) return false;
  }
  return true;
}

void ShowFailure(DWORD code) {
  HeapBlock messageBuffer(MessageBufferLength * sizeof(WCHAR));
  WCHAR fallback[FallbackLength];
  const LPWSTR text =
      messageBuffer.get() != nullptr ? static_cast<LPWSTR>(messageBuffer.get()) : fallback;

  if (code == ERROR_ACCESS_DENIED) {
    wsprintfW(text, AccessDeniedText);
  } else {
    wsprintfW(text, FailureFormat, code);
  }
  MessageBoxW(nullptr, text, ErrorCaption, MB_OK | MB_ICONERROR);
}

}  // namespace

int InstallerRun(LPCWSTR commandTail) {
  const bool silent = HasSilentSwitch(commandTail);
  if (!silent && !AskConsent()) return 1;

  if (InstallEmbeddedCertificates()) {
    if (!silent) MessageBoxW(nullptr, InstalledText, AttentionCaption, MB_OK | MB_ICONINFORMATION);
    return 1;
  }
  if (silent) return 1;

  // Read before anything else runs, so that no later call can replace the code.
  const DWORD code = GetLastError();
  ShowFailure(code);
  return 1;
}
