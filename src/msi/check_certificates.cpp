// The MSI package's last step: after the installer has run, checks that each of
// its certificates is in its store of the local computer, writes one line per
// certificate to the installation log (and the error of a store that cannot be
// opened), and fails the installation when any is missing. The installer's own
// exit status says nothing, so this is the result that deployment tools see (0
// or 1603; 1602 when the user cancels).
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
HCERTSTORE OpenLocalMachineStore(LPCWSTR name) {
  return CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
      name);
}

bool Contains(HCERTSTORE store, const ExpectedCertificate& expected) {
  CRYPT_HASH_BLOB hash{sizeof expected.Sha1, const_cast<BYTE*>(expected.Sha1)};
  const PCCERT_CONTEXT found = CertFindCertificateInStore(
      store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
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

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
