// Where a silent installation's time goes inside the process: the same calls as
// the installer, each timed with QueryPerformanceCounter; prints the total per
// function in microseconds, one "name<TAB>us" line each.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "embedded_certificates.h"

namespace {

LARGE_INTEGER frequency;
double totals[5];
const char* const names[5] = {"CryptQueryObject", "CertOpenStore",
                              "CertAddCertificateContextToStore", "CertCloseStore",
                              "CertFreeCertificateContext"};

template <typename Call>
auto Timed(int slot, Call call) {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  auto result = call();
  QueryPerformanceCounter(&end);
  totals[slot] += 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                  static_cast<double>(frequency.QuadPart);
  return result;
}

}  // namespace

int main() {
  QueryPerformanceFrequency(&frequency);
  for (const EmbeddedCertificate& row : EmbeddedCertificates) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(std::strlen(row.Base64Text)),
                         reinterpret_cast<BYTE*>(const_cast<char*>(row.Base64Text))};
    const void* certificate = nullptr;
    if (!Timed(0, [&] {
          return CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_CERT,
                                  CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, &certificate);
        })) {
      return 2;
    }
    const PCCERT_CONTEXT context = static_cast<PCCERT_CONTEXT>(certificate);
    const HCERTSTORE store = Timed(1, [&] {
      return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                           CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG,
                           row.StoreName);
    });
    if (store == nullptr) return 2;
    const BOOL added = Timed(2, [&] {
      return CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, nullptr);
    });
    Timed(3, [&] { return CertCloseStore(store, 0); });
    Timed(4, [&] { return CertFreeCertificateContext(context); });
    if (!added) return 2;
  }
  for (int slot = 0; slot < 5; ++slot) std::printf("%s\t%.0f\n", names[slot], totals[slot]);
  return 0;
}
