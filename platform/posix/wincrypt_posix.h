// The part of the Windows certificate API (crypt32, kernel32) that the tool
// calls, implemented off Windows on OpenSSL and the distribution's trust
// store. Same names, types, numeric constants and contract: a zero or null
// result means failure, and GetLastError() then gives the code Windows gives
// for the same cause. Calls or arguments the tool never uses fail with
// E_INVALIDARG.
#ifndef TKVCERT_PLATFORM_POSIX_WINCRYPT_POSIX_H_
#define TKVCERT_PLATFORM_POSIX_WINCRYPT_POSIX_H_

#include <cstdint>

typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned char BYTE;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef void* HCERTSTORE;
typedef void* HCRYPTMSG;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  void* pCertInfo;  // Windows decodes a CERT_INFO here; this layer does not.
  HCERTSTORE hCertStore;
};
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

struct CRL_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCrlEncoded;
  DWORD cbCrlEncoded;
  void* pCrlInfo;
  HCERTSTORE hCertStore;
};
typedef const CRL_CONTEXT* PCCRL_CONTEXT;

// Never produced here (no certificate trust lists), declared so that callers
// can release what Windows may hand back.
struct CTL_CONTEXT;
typedef const CTL_CONTEXT* PCCTL_CONTEXT;

// Encodings.
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

// CryptQueryObject.
#define CERT_QUERY_OBJECT_FILE 0x00000001
#define CERT_QUERY_OBJECT_BLOB 0x00000002

#define CERT_QUERY_CONTENT_CERT 1
#define CERT_QUERY_CONTENT_CTL 2
#define CERT_QUERY_CONTENT_CRL 3
#define CERT_QUERY_CONTENT_SERIALIZED_STORE 4
#define CERT_QUERY_CONTENT_SERIALIZED_CERT 5
#define CERT_QUERY_CONTENT_SERIALIZED_CTL 6
#define CERT_QUERY_CONTENT_SERIALIZED_CRL 7
#define CERT_QUERY_CONTENT_PKCS7_SIGNED 8
#define CERT_QUERY_CONTENT_PKCS7_UNSIGNED 9
#define CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED 10
#define CERT_QUERY_CONTENT_PKCS10 11
#define CERT_QUERY_CONTENT_PFX 12
#define CERT_QUERY_CONTENT_CERT_PAIR 13

#define CERT_QUERY_CONTENT_FLAG_CERT (1 << CERT_QUERY_CONTENT_CERT)
#define CERT_QUERY_CONTENT_FLAG_CRL (1 << CERT_QUERY_CONTENT_CRL)
#define CERT_QUERY_CONTENT_FLAG_SERIALIZED_STORE (1 << CERT_QUERY_CONTENT_SERIALIZED_STORE)
#define CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED (1 << CERT_QUERY_CONTENT_PKCS7_SIGNED)
#define CERT_QUERY_CONTENT_FLAG_PKCS7_UNSIGNED (1 << CERT_QUERY_CONTENT_PKCS7_UNSIGNED)
#define CERT_QUERY_CONTENT_FLAG_PKCS10 (1 << CERT_QUERY_CONTENT_PKCS10)
#define CERT_QUERY_CONTENT_FLAG_PFX (1 << CERT_QUERY_CONTENT_PFX)
#define CERT_QUERY_CONTENT_FLAG_ALL 0x00003FFE

#define CERT_QUERY_FORMAT_BINARY 1
#define CERT_QUERY_FORMAT_BASE64_ENCODED 2
#define CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED 3
#define CERT_QUERY_FORMAT_FLAG_BINARY (1 << CERT_QUERY_FORMAT_BINARY)
#define CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED (1 << CERT_QUERY_FORMAT_BASE64_ENCODED)
#define CERT_QUERY_FORMAT_FLAG_ASN_ASCII_HEX_ENCODED (1 << CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED)
#define CERT_QUERY_FORMAT_FLAG_ALL 0x0000000E

// CertOpenStore.
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_SYSTEM_STORE_CURRENT_USER (1 << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE (2 << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000

// CertAddCertificateContextToStore.
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4

// CertGetNameStringW.
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_ISSUER_FLAG 0x1

// Last-error codes this layer sets. Windows' own values; the comment says
// when each is given here.
#define ERROR_SUCCESS 0x0
#define ERROR_FILE_NOT_FOUND 0x2         // no such file; no trust store found
#define ERROR_PATH_NOT_FOUND 0x3         // a directory in the file's path is not one
#define ERROR_ACCESS_DENIED 0x5          // no permission; the file is a directory
#define ERROR_NOT_ENOUGH_MEMORY 0x8
#define ERROR_WRITE_PROTECT 0x13         // the store is on a read-only file system
#define ERROR_READ_FAULT 0x1E            // the file could not be read
#define ERROR_NOT_SUPPORTED 0x32         // a FIFO, device or socket, refused unopened; no sandbox program
#define ERROR_DISK_FULL 0x70
#define ERROR_BUSY 0xAA                  // another run held the store's lock too long
#define ERROR_FILENAME_EXCED_RANGE 0xCE  // the file name is too long
#define ERROR_FILE_TOO_LARGE 0xDF        // over the size cap; not read
#define ERROR_PRIVILEGE_NOT_HELD 0x522   // a refresh for another root needs root
#define ERROR_TIMEOUT 0x5B4              // the refresh ran past its time limit; change rolled back
#define ERROR_FUNCTION_FAILED 0x65B      // the trust refresh failed; change rolled back
#define ERROR_CANT_RESOLVE_FILENAME 0x781  // a symbolic link loop
#define E_INVALIDARG 0x80070057
#define CRYPT_E_NOT_FOUND 0x80092004
#define CRYPT_E_NO_MATCH 0x80092009      // no recognised form or content
#define CRYPT_E_ASN1_CORRUPT 0x80093103  // an anchor whose certificate does not decode

// Certificate files are kilobytes; anything larger is refused before reading.
#define TKV_MAX_CERTIFICATE_FILE_SIZE (4u * 1024u * 1024u)

DWORD GetLastError();
void SetLastError(DWORD code);

BOOL CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                      DWORD dwExpectedContentTypeFlags,
                      DWORD dwExpectedFormatTypeFlags, DWORD dwFlags,
                      DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType,
                      DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                      HCRYPTMSG* phMsg, const void** ppvContext);

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext);
BOOL CertFreeCTLContext(PCCTL_CONTEXT pCtlContext);

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                         const void* pvPara);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                      PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                          PCCERT_CONTEXT pPrevCertContext);
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

#endif  // TKVCERT_PLATFORM_POSIX_WINCRYPT_POSIX_H_
