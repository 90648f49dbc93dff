#include "install_certificate.h"

#include <wincrypt.h>

#include "certificate_store.h"

namespace {

// Owns the decoded certificate; frees it when the scope ends.
class CertificateContext {
 public:
  CertificateContext() = default;
  CertificateContext(const CertificateContext&) = delete;
  CertificateContext& operator=(const CertificateContext&) = delete;
  ~CertificateContext() {
    if (context_ != nullptr) CertFreeCertificateContext(get());
  }

  PCCERT_CONTEXT get() const { return static_cast<PCCERT_CONTEXT>(context_); }
  const void** out() { return &context_; }  // CryptQueryObject's context output

 private:
  const void* context_ = nullptr;
};

DWORD TextLength(const char* text) {
  DWORD length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

}  // namespace

bool InstallCertificate(const char* base64Text, LPCWSTR storeName) {
  if (base64Text == nullptr) return false;

  // Declared before the store, so it is released after the store is closed.
  CertificateContext certificate;

  CRYPT_DATA_BLOB blob;
  blob.cbData = TextLength(base64Text);
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(base64Text));

  // Certificates only: any other content would come back as a context that is
  // not a certificate, or as none at all.
  if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_CERT,
                        CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr,
                        nullptr, certificate.out())) {
    return false;
  }

  // Open existing only: a store name that the computer lacks must not be created.
  CertificateStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                       CERT_SYSTEM_STORE_LOCAL_MACHINE |
                                           CERT_STORE_OPEN_EXISTING_FLAG,
                                       storeName));
  if (store.get() == nullptr) return false;

  return CertAddCertificateContextToStore(store.get(), certificate.get(), CERT_STORE_ADD_ALWAYS,
                                          nullptr) != FALSE;
}
