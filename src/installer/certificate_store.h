// Owner of an open certificate store, shared by the installer and the MSI
// package's check.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Closes the store when the scope ends.
class CertificateStore {
 public:
  explicit CertificateStore(HCERTSTORE store) : store_(store) {}
  CertificateStore(const CertificateStore&) = delete;
  CertificateStore& operator=(const CertificateStore&) = delete;
  ~CertificateStore() {
    if (store_ != nullptr) CertCloseStore(store_, 0);
  }

  HCERTSTORE get() const { return store_; }

 private:
  HCERTSTORE store_;
};
