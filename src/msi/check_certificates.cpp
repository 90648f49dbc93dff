// The MSI package's own steps in the local computer's stores. CheckCertificates,
// the last step of an installation: after the installer has run, checks that each
// of its certificates is in its store, writes one line per certificate to the
// installation log (and the error of a store that cannot be opened), and fails the
// installation when any is missing. The installer's own exit status says nothing,
// so this is the result that deployment tools see (0 or 1603; 1602 when the user
// cancels). RemoveCertificates, on an uninstallation asked to (REMOVECERTIFICATES=1):
// takes the certificates out again, and fails it when one stays.
#include <windows.h>
#include <wincrypt.h>
#include <msi.h>
#include <msiquery.h>

#include "certificate_store.h"
#include "expected_certificates.h"

namespace {

// Owns an MSI handle; closes it when the scope ends.
class MsiRecord {
 public:
  explicit MsiRecord(UINT fields) : record_(MsiCreateRecord(fields)) {}
  MsiRecord(const MsiRecord&) = delete;
  MsiRecord& operator=(const MsiRecord&) = delete;
  ~MsiRecord() {
    if (record_ != 0) MsiCloseHandle(record_);
  }

  MSIHANDLE get() const { return record_; }

 private:
  MSIHANDLE record_;
};

// The logical store, as the chain engine and Cert:\LocalMachine see it; never
// created here.
HCERTSTORE OpenLocalMachineStore(LPCWSTR name, DWORD flags = CERT_STORE_READONLY_FLAG) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | flags, name);
}

PCCERT_CONTEXT Find(HCERTSTORE store, const ExpectedCertificate& expected) {
  CRYPT_HASH_BLOB hash{sizeof expected.Sha1, const_cast<BYTE*>(expected.Sha1)};
  return CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                    CERT_FIND_SHA1_HASH, &hash, nullptr);
}

bool Contains(HCERTSTORE store, const ExpectedCertificate& expected) {
  const PCCERT_CONTEXT found = Find(store, expected);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// False when the user has cancelled the installation meanwhile.
bool Log(MSIHANDLE install, LPCWSTR text) {
  MsiRecord record(0);
  if (record.get() == 0) return true;
  MsiRecordSetStringW(record.get(), 0, text);  // field 0: the text, as the log shows it
  return MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get()) != IDCANCEL;
}

}  // namespace

extern "C" __declspec(dllexport) UINT WINAPI CheckCertificates(MSIHANDLE install) {
  int missing = 0;
  WCHAR line[160];  // the longest line, row 12 missing from ROOT, is 107 units
  LPCWSTR unopened = nullptr;  // named once for its rows, which are consecutive
  for (const ExpectedCertificate& expected : ExpectedCertificates) {
    CertificateStore store(OpenLocalMachineStore(expected.StoreName));
    const DWORD error = GetLastError();  // the opening's, before another call sets it
    if (store.get() == nullptr &&
        (unopened == nullptr || lstrcmpW(unopened, expected.StoreName) != 0)) {
      wsprintfW(line, L"install-ca-certs: the local computer's %s store cannot be opened, error 0x%08x",
                expected.StoreName, error);
      if (!Log(install, line)) return ERROR_INSTALL_USEREXIT;
      unopened = expected.StoreName;
    }
    const bool present = store.get() != nullptr && Contains(store.get(), expected);
    if (!present) ++missing;
    wsprintfW(line, L"install-ca-certs: certificate %d of %d, %s store, SHA-1 %s: %s",
              expected.Row, ExpectedCertificateCount, expected.StoreName, expected.Thumbprint,
              present ? L"present" : L"MISSING");
    if (!Log(install, line)) return ERROR_INSTALL_USEREXIT;
  }
  if (missing == 0) {
    return Log(install, L"install-ca-certs: all certificates are in the local computer's stores")
               ? ERROR_SUCCESS
               : ERROR_INSTALL_USEREXIT;
  }
  wsprintfW(line, L"install-ca-certs: %d of %d certificates are missing; the installation fails",
            missing, ExpectedCertificateCount);
  return Log(install, line) ? ERROR_INSTALL_FAILURE : ERROR_INSTALL_USEREXIT;
}

// Each certificate of the package out of both stores, wherever it is among them,
// every copy the logical store shows; then, in the store opened afresh, none
// left. A copy that another physical store holds (Group Policy's, for one) and
// that cannot be deleted is named and fails the uninstallation; one that is
// absent is no failure. Removed certificates stay removed when it fails.
extern "C" __declspec(dllexport) UINT WINAPI RemoveCertificates(MSIHANDLE install) {
  static constexpr LPCWSTR Stores[] = {L"ROOT", L"CA"};
  int kept = 0;
  WCHAR line[160];  // the longest line, an error of row 12 in ROOT, is 143 units
  for (const ExpectedCertificate& expected : ExpectedCertificates) {
    bool found = false, stays = false;
    for (LPCWSTR name : Stores) {
      DWORD error = ERROR_SUCCESS;
      {
        // The registry's physical store, where the program adds them; what another
        // physical store adds to the logical one the check below finds.
        CertificateStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                             CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG,
                                             name));
        if (store.get() == nullptr) {
          error = GetLastError();
          if (error == ERROR_FILE_NOT_FOUND) continue;  // no such store: nothing in it
        }
        // Bounded: a store that keeps showing a deleted copy must not hold the
        // uninstallation forever; the check below names it.
        for (int copy = 0; store.get() != nullptr && copy < 8; ++copy) {
          const PCCERT_CONTEXT certificate = Find(store.get(), expected);
          if (certificate == nullptr) break;
          found = true;
          // Frees the context whatever it returns.
          if (!CertDeleteCertificateFromStore(certificate)) {
            error = GetLastError();
            break;
          }
          wsprintfW(line, L"install-ca-certs: certificate %d of %d, SHA-1 %s: removed from the %s store",
                    expected.Row, ExpectedCertificateCount, expected.Thumbprint, name);
          if (!Log(install, line)) return ERROR_INSTALL_USEREXIT;
        }
      }
      CertificateStore again(OpenLocalMachineStore(name));
      if (error == ERROR_SUCCESS && again.get() == nullptr) error = GetLastError();
      if (error == ERROR_SUCCESS && !Contains(again.get(), expected)) continue;
      stays = found = true;
      if (error != ERROR_SUCCESS) {
        wsprintfW(line,
                  L"install-ca-certs: certificate %d of %d, SHA-1 %s: cannot be removed from the %s store, "
                  L"error 0x%08x",
                  expected.Row, ExpectedCertificateCount, expected.Thumbprint, name, error);
      } else {
        wsprintfW(line,
                  L"install-ca-certs: certificate %d of %d, SHA-1 %s: still in the %s store after its removal",
                  expected.Row, ExpectedCertificateCount, expected.Thumbprint, name);
      }
      if (!Log(install, line)) return ERROR_INSTALL_USEREXIT;
    }
    if (stays) ++kept;
    if (!found) {
      wsprintfW(line, L"install-ca-certs: certificate %d of %d, SHA-1 %s: in neither store", expected.Row,
                ExpectedCertificateCount, expected.Thumbprint);
      if (!Log(install, line)) return ERROR_INSTALL_USEREXIT;
    }
  }
  if (kept == 0) {
    wsprintfW(line,
              L"install-ca-certs: the %d certificates are gone from the local computer's ROOT and CA stores",
              ExpectedCertificateCount);
    return Log(install, line) ? ERROR_SUCCESS : ERROR_INSTALL_USEREXIT;
  }
  wsprintfW(line, L"install-ca-certs: %d of %d certificates could not be removed; the uninstallation fails",
            kept, ExpectedCertificateCount);
  return Log(install, line) ? ERROR_INSTALL_FAILURE : ERROR_INSTALL_USEREXIT;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
