// Host stand-in for <wincrypt.h>: the CRYPT32 types, constants and functions that
// the program uses, with the platform's names and values.
#pragma once

#include <windows.h>

typedef void* HCERTSTORE;
typedef void* HCRYPTMSG;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CERT_BLOB, *PCERT_BLOB;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  void* pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

#define CERT_QUERY_OBJECT_BLOB 0x00000002

#define CERT_QUERY_CONTENT_CERT 1
#define CERT_QUERY_CONTENT_FLAG_CERT (1 << CERT_QUERY_CONTENT_CERT)

#define CERT_QUERY_FORMAT_BINARY 1
#define CERT_QUERY_FORMAT_BASE64_ENCODED 2
#define CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED 3
#define CERT_QUERY_FORMAT_FLAG_BINARY (1 << CERT_QUERY_FORMAT_BINARY)
#define CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED (1 << CERT_QUERY_FORMAT_BASE64_ENCODED)
#define CERT_QUERY_FORMAT_FLAG_ASN_ASCII_HEX_ENCODED (1 << CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED)
#define CERT_QUERY_FORMAT_FLAG_ALL                                        \
  (CERT_QUERY_FORMAT_FLAG_BINARY | CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED | \
   CERT_QUERY_FORMAT_FLAG_ASN_ASCII_HEX_ENCODED)

#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)

#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_LOCAL_MACHINE_ID 2
#define CERT_SYSTEM_STORE_LOCAL_MACHINE \
  (CERT_SYSTEM_STORE_LOCAL_MACHINE_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000

#define CERT_STORE_ADD_ALWAYS 4

BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                             DWORD dwExpectedContentTypeFlags,
                             DWORD dwExpectedFormatTypeFlags, DWORD dwFlags,
                             DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType,
                             DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                             HCRYPTMSG* phMsg, const void** ppvContext);
HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                const void* pvPara);
BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                             PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT* ppStoreContext);
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
