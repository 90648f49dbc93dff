// The benchmark's limit: the 60 CRYPT32 calls of a silent installation, with the
// same arguments on the same twelve texts and in the same order, and nothing
// else: no command tail, no box. Linked like the installer.
#include <windows.h>
#include <wincrypt.h>

#include "embedded_certificates.h"

extern "C" void WINAPI ReferenceStartup() {
  for (const EmbeddedCertificate& row : EmbeddedCertificates) {
    DWORD length = 0;
    while (row.Base64Text[length] != '\0') ++length;
    CRYPT_DATA_BLOB blob{length, reinterpret_cast<BYTE*>(const_cast<char*>(row.Base64Text))};
    const void* certificate = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_CERT,
                          CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr,
                          nullptr, &certificate)) {
      break;
    }
    const PCCERT_CONTEXT context = static_cast<PCCERT_CONTEXT>(certificate);
    const HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG,
                      row.StoreName);
    BOOL added = FALSE;
    if (store != nullptr) {
      added = CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, nullptr);
      CertCloseStore(store, 0);
    }
    CertFreeCertificateContext(context);
    if (!added) break;
  }
  ExitProcess(1);
}
