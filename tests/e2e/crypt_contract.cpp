// InstallCertificate against the real CRYPT32 (Wine's): what each outcome
// returns, the last error it leaves, and what lands in the store.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include "embedded_certificates.h"
#include "install_certificate.h"

namespace {

int passes = 0;
int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s - %s\n", ok ? "ok" : "FAIL", what);
  ++(ok ? passes : failures);
}

// A small, valid CRL in base64: decodable content that is not a certificate.
constexpr char kCrl[] =
    "MIGwMFkCAQEwCgYIKoZIzj0EAwIwGjEYMBYGA1UEAwwPVGVzdCBDUkwgSXNzdWVyFw0yNjEyMDgxNjE1MDlaFw0zNjEy"
    "MDUxNjE1MDlaoA4wDDAKBgNVHRQEAwIBATAKBggqhkjOPQQDAgNHADBEAiBsfzbb4FTOif6YDN4QD+aYGdMPc88wMlCk"
    "sU7MQp04KAIgY6semLfiLF5dpxlGKRsV4Yqk5IRAu2bRtazz3ODeqJs=";

HCERTSTORE OpenExisting(LPCWSTR name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG |
                           CERT_STORE_READONLY_FLAG,
                       name);
}

struct Contents {
  int certificates = 0;
  int crls = 0;
};

Contents Count(LPCWSTR name) {
  Contents contents;
  HCERTSTORE store = OpenExisting(name);
  if (store == nullptr) return contents;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
    ++contents.certificates;
  for (PCCRL_CONTEXT c = nullptr; (c = CertEnumCRLsInStore(store, c)) != nullptr;) ++contents.crls;
  CertCloseStore(store, 0);
  return contents;
}

// Row 1 by its SHA-1 thumbprint, 4BC6DC14D97010C41A26E058AD851F81C842415A.
bool HasRowOne() {
  BYTE hash[] = {0x4B, 0xC6, 0xDC, 0x14, 0xD9, 0x70, 0x10, 0xC4, 0x1A, 0x26,
                 0xE0, 0x58, 0xAD, 0x85, 0x1F, 0x81, 0xC8, 0x42, 0x41, 0x5A};
  CRYPT_HASH_BLOB blob = {sizeof hash, hash};
  HCERTSTORE store = OpenExisting(L"ROOT");
  if (store == nullptr) return false;
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  if (found != nullptr) CertFreeCertificateContext(found);
  CertCloseStore(store, 0);
  return found != nullptr;
}

}  // namespace

int main() {
  const EmbeddedCertificate& root = EmbeddedCertificates[0];

  Check(!HasRowOne(), "CertFindCertificateInStore: row 1 is not in \"ROOT\" beforehand");
  Check(InstallCertificate(root.Base64Text, root.StoreName),
        "InstallCertificate(row 1, \"ROOT\") returns true");
  Check(HasRowOne(), "CertFindCertificateInStore: row 1 is in \"ROOT\" afterwards");

  constexpr wchar_t kMissing[] = L"NoSuchStoreForInstallCaCerts";
  Check(OpenExisting(kMissing) == nullptr, "CertOpenStore: the test store does not exist beforehand");
  SetLastError(0);
  const bool missing = InstallCertificate(root.Base64Text, kMissing);
  const DWORD missingError = GetLastError();
  Check(!missing, "InstallCertificate(row 1, missing store) returns false");
  std::printf("# missing store: GetLastError() = 0x%08lx\n", missingError);
  Check(missingError == ERROR_FILE_NOT_FOUND,
        "GetLastError() after a missing store is ERROR_FILE_NOT_FOUND");
  Check(OpenExisting(kMissing) == nullptr, "CertOpenStore: the missing store was not created");

  SetLastError(0);
  Check(!InstallCertificate("bm90IGEgY2VydGlmaWNhdGU=", L"ROOT"),
        "InstallCertificate(base64 of plain text) returns false");
  const DWORD garbageError = GetLastError();
  std::printf("# base64 garbage: GetLastError() = 0x%08lx\n", garbageError);
  Check(garbageError != 0, "GetLastError() after base64 garbage is set");

  // With every content type allowed, the decoder would take this CRL.
  CRYPT_DATA_BLOB blob = {sizeof kCrl - 1, reinterpret_cast<BYTE*>(const_cast<char*>(kCrl))};
  DWORD contentType = 0;
  const void* context = nullptr;
  Check(CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_ALL,
                         CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, &contentType, nullptr, nullptr,
                         nullptr, &context) &&
            contentType == CERT_QUERY_CONTENT_CRL,
        "CryptQueryObject(CRL, CERT_QUERY_CONTENT_FLAG_ALL) decodes it as a CRL");
  if (context != nullptr) CertFreeCRLContext(static_cast<PCCRL_CONTEXT>(context));

  const Contents beforeCrl = Count(L"ROOT");
  SetLastError(0);
  Check(!InstallCertificate(kCrl, L"ROOT"), "InstallCertificate(base64 CRL) returns false");
  std::printf("# base64 CRL: GetLastError() = 0x%08lx\n", GetLastError());
  const Contents afterCrl = Count(L"ROOT");
  Check(afterCrl.certificates == beforeCrl.certificates && afterCrl.crls == beforeCrl.crls,
        "the base64 CRL added nothing to \"ROOT\"");

  std::printf("%d passed, %d failed\n", passes, failures);
  return failures == 0 ? 0 : 1;
}
