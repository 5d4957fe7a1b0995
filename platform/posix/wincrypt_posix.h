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
// when each is given here, and each call below says which it sets.
#define ERROR_SUCCESS 0x0
#define ERROR_FILE_NOT_FOUND 0x2         // no such file; no trust store found
#define ERROR_PATH_NOT_FOUND 0x3         // a directory on a path is not one, or is missing
#define ERROR_ACCESS_DENIED 0x5          // no permission; a directory as the file; not root's alone
#define ERROR_NOT_ENOUGH_MEMORY 0x8      // out of memory
#define ERROR_INVALID_DATA 0xD           // an anchor would make the bundle unreadable
#define ERROR_WRITE_PROTECT 0x13         // the store is on a read-only file system
#define ERROR_READ_FAULT 0x1E            // an I/O error reading or writing a file
#define ERROR_NOT_SUPPORTED 0x32         // a FIFO, device or socket, refused unopened; no sandbox
#define ERROR_DISK_FULL 0x70             // no space or quota left
#define ERROR_BUSY 0xAA                  // another run held the store's lock too long
#define ERROR_FILENAME_EXCED_RANGE 0xCE  // the file name is too long
#define ERROR_FILE_TOO_LARGE 0xDF        // over the size cap; not read
#define ERROR_PRIVILEGE_NOT_HELD 0x522   // a refresh for another root needs root
#define ERROR_TIMEOUT 0x5B4              // the refresh ran past its time limit; change rolled back
#define ERROR_FUNCTION_FAILED 0x65B      // the trust refresh failed; change rolled back
#define ERROR_CANT_RESOLVE_FILENAME 0x781  // a symbolic link loop
#define E_INVALIDARG 0x80070057          // an argument, flag or handle the tool never passes
#define CRYPT_E_NOT_FOUND 0x80092004     // no more certificates; one gone before its removal
#define CRYPT_E_NO_MATCH 0x80092009      // no recognised form or content
#define CRYPT_E_ASN1_CORRUPT 0x80093103  // an anchor whose certificate does not decode

// Certificate files are kilobytes; anything larger is refused before reading.
#define TKV_MAX_CERTIFICATE_FILE_SIZE (4u * 1024u * 1024u)

// What follows is each call's contract. On Linux none of them writes to
// standard output or exits: a failure is the result and the last error, and
// what an admin must hear that no code can say (a refresh's own errors, why
// no sandbox could be made, a browser file left unwritten) is a
// "tkvcert: ..." line on standard error, its control characters escaped.
// Where a system call fails for a cause that a call's list does not name,
// the code is its errno's: ENOENT 0x2, ENOTDIR 0x3, EACCES, EPERM and EISDIR
// 0x5, ENOMEM 0x8, EROFS 0x13, EIO 0x1E, ENOSPC and EDQUOT 0x70, EAGAIN 0xAA,
// ENAMETOOLONG 0xCE, EFBIG 0xDF, ELOOP 0x781, and ERROR_FUNCTION_FAILED for
// any other.

// The code the last failing call left in this thread. It is kept apart from
// errno, so writing the error line before reading it changes nothing. A call
// that succeeds sets ERROR_SUCCESS (CryptQueryObject, CertOpenStore,
// CertAddCertificateContextToStore, CertDeleteCertificateFromStore,
// CertGetNameStringW) or leaves the code alone (CertCloseStore, the
// CertFree* calls, CertEnumCertificatesInStore when it hands one out).
DWORD GetLastError();
// Sets this thread's code, as the calls below do.
void SetLastError(DWORD code);

// Reads the file that pvObject names and says what it holds. The wide path
// goes to the file system as UTF-8, U+DC80..U+DCFF as the bytes 0x80..0xFF
// (wide_text.h), so a name in any encoding is opened unchanged. Only a file,
// with dwFlags 0 and neither a store nor a message asked for (phCertStore
// and phMsg null), is served: anything else sets E_INVALIDARG.
//
// The path is looked up once, and only what it named then is opened, through
// /proc/self/fd and without blocking: a FIFO or device is never opened, even
// one swapped in under the path meanwhile. Nothing past
// TKV_MAX_CERTIFICATE_FILE_SIZE + 1 bytes is read. The formats allowed by
// dwExpectedFormatTypeFlags are tried in turn: binary DER (bytes after the
// object are ignored); Base64, as the first PEM block whatever its label when
// the text holds a BEGIN line (so a key before a certificate is no match),
// else as bare Base64; "{ASN}" hex text. In each, the contents allowed by
// dwExpectedContentTypeFlags: a certificate, a CRL, PKCS#7, PKCS#10, PFX. An
// empty file is an empty serialized store, as on Windows.
//
// On success sets ERROR_SUCCESS and fills each output given: the encoding
// (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING), the CERT_QUERY_CONTENT_* and the
// CERT_QUERY_FORMAT_* found. *ppvContext is a new certificate context for a
// certificate, a new CRL context for a CRL, and null for anything else; the
// caller owns it and releases it with CertFreeCertificateContext or
// CertFreeCRLContext. A context holds the encoded bytes only: pCertInfo and
// hCertStore are null. On failure *ppvContext is null and the other outputs
// are left alone. Sets on failure:
//   ERROR_FILE_NOT_FOUND         no such file
//   ERROR_PATH_NOT_FOUND         a directory on the path is not one
//   ERROR_ACCESS_DENIED          the file is a directory; a permission refused
//                                the lookup or the read
//   ERROR_NOT_SUPPORTED          a FIFO, device or socket; or no /proc to open
//                                the file through, when every file is refused
//                                rather than opened by its path a second time
//   ERROR_FILE_TOO_LARGE         over TKV_MAX_CERTIFICATE_FILE_SIZE, or grew
//                                past it while being read
//   ERROR_CANT_RESOLVE_FILENAME  a symbolic link loop
//   ERROR_FILENAME_EXCED_RANGE   the path or a name in it is too long
//   ERROR_READ_FAULT             an I/O error while reading
//   CRYPT_E_NO_MATCH             none of the allowed contents in any allowed
//                                format (truncated, garbage)
BOOL CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                      DWORD dwExpectedContentTypeFlags,
                      DWORD dwExpectedFormatTypeFlags, DWORD dwFlags,
                      DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType,
                      DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                      HCRYPTMSG* phMsg, const void** ppvContext);

// Releases a certificate context that CryptQueryObject or
// CertEnumCertificatesInStore handed out; null is nothing to release. Always
// TRUE, the last error left alone. Contexts are not counted: each has one
// owner and is released once, and one given back to
// CertEnumCertificatesInStore or to CertDeleteCertificateFromStore is
// released by that call. An enumerated context keeps its store's data alive
// until it is released.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
// Releases a CRL context from CryptQueryObject; null is nothing to release.
// Always TRUE, the last error left alone.
BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext);
// This layer hands out no certificate trust list, so only null can come
// back: TRUE for null; anything else is not ours and sets E_INVALIDARG.
BOOL CertFreeCTLContext(PCCTL_CONTEXT pCtlContext);

// Opens the local machine's "Root" system store. Only
// CERT_STORE_PROV_SYSTEM_W, with hCryptProv 0, pvPara the store's name,
// CERT_SYSTEM_STORE_LOCAL_MACHINE and no flags but
// CERT_STORE_OPEN_EXISTING_FLAG and CERT_STORE_READONLY_FLAG, is served:
// anything else sets E_INVALIDARG. dwEncodingType is ignored, as Windows
// ignores it for system stores. The name is "Root" in any case; another sets
// ERROR_FILE_NOT_FOUND with CERT_STORE_OPEN_EXISTING_FLAG, E_INVALIDARG
// without.
//
// On Linux the store is the anchors directory of the first distribution
// family whose marker (if it has one), anchors directory and refresh program
// all exist (store_layout.h) on the system root: TKVCERT_SYSROOT when set and
// not empty, else "/". The root is opened once, each directory on its path
// looked up without following links, and is used through that descriptor
// from then on. Opening reads no certificate: it costs the same in a store of
// ten certificates or a hundred thousand. It starts the command's clock
// (command_clock.h): the changes that follow get ten minutes in all for
// what they run, the last one kept for a rollback. Opened for writing, it
// first finishes a change that an earlier run was cut off in, under the
// store's lock, as a change is published (see
// CertAddCertificateContextToStore: refresh, bundle check, browser step,
// their lines on standard error), so that what the caller reads is whole.
//
// On success sets ERROR_SUCCESS and returns a handle that the caller owns and
// closes with CertCloseStore; it holds no lock. A read-only handle may
// enumerate but not change the store. Sets on failure:
//   ERROR_FILE_NOT_FOUND  no family found, or the root's path leads to no
//                         directory
//   ERROR_ACCESS_DENIED   the caller may not read and change the anchors
//                         directory (read it, for a read-only handle): not run
//                         as root; the root's path passes through a link; run
//                         as root with another root: a directory on its path
//                         that another user owns or may rename in, or not
//                         root's alone: the root itself, a path the store uses
//                         there or a directory on it, anything the anchors'
//                         tree reaches, or a program the store would run
//                         there (its refresh, a hook, or a directory above one
//                         up to the root), which is named on standard error
//   ERROR_PATH_NOT_FOUND  run as root with another root, a path the store uses
//                         there passes through a file
// and, finishing a cut-off change, those of a change (see
// CertAddCertificateContextToStore). A store on a read-only file system
// opens; a change to it fails.
HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                         const void* pvPara);
// Closes a handle from CertOpenStore; null is nothing to close. dwFlags is
// ignored. Contexts enumerated from the store stay usable until released.
// Returns TRUE and leaves the last error alone: the tool closes the store
// after a failed deletion and prints that deletion's code afterwards. A
// handle that is not one of ours returns FALSE and sets E_INVALIDARG.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

// Adds the certificate of pCertContext (which stays the caller's) to the
// store, and every client of the system bundle trusts it when this returns
// TRUE: the family's refresh has run and the bundle it rebuilt holds the
// certificate. Only CERT_STORE_ADD_ALWAYS with ppStoreContext null is served
// (the store is keyed by thumbprint, so an add of what is there leaves one
// copy); another disposition, a handle that is not ours or a null context
// sets E_INVALIDARG.
//
// On Linux the certificate becomes one PEM file at the top of the anchors
// directory, named by its SHA-1 thumbprint in upper-case hex plus ".crt",
// mode 0644, put in place by rename from the staging directory. A change
// holds the store's lock (flock on a file in staging that only root can open,
// waited for at most 60 seconds, the wait not counted in the command's time)
// from start to end;
// it first finishes a change an earlier run was cut off in, and is recorded
// in staging before the anchors change, so that a run killed at any moment
// leaves the next run a change to finish. If the file, or any other local
// anchor, holds the certificate already and the bundle does too, the anchors
// are left alone and no refresh runs (the other anchor is named on standard
// error when the run ends); the anchors are read for that only when the
// bundle holds the certificate. Otherwise the refresh runs, in a fixed environment, and for another
// root in a sandbox (sandbox.h); then what it leaves undone is done (on
// Debian, hooks hear of removed anchors and their links go) and the bundle
// is read back. If the refresh fails, or its bundle does not show the
// change, the anchors are put back and refreshed again; when that refresh
// fails too, the change stays recorded for the next run. After a success (a
// repeat that changed nothing included) the browser step runs
// (browser_policies.h): Chromium's policy file and Firefox's entry, whose
// failures are only lines on standard error. A hook that failed during a
// refresh that succeeded is a "tkvcert: E: <hook> exited with code <n>."
// line, and the result stays that of the bundle.
//
// Sets ERROR_SUCCESS on success. Sets on failure:
//   ERROR_ACCESS_DENIED       the store was opened read-only; the staging
//                             directory is not the caller's alone; a path of a
//                             bare root that the host's refresh would be shown
//                             is not root's alone
//   ERROR_PRIVILEGE_NOT_HELD  the refresh must run for another root, in a
//                             sandbox that only root can make
//   ERROR_NOT_SUPPORTED       the refresh must run for another root, and
//                             bubblewrap is missing, or no sandbox can be made
//                             here, or not the one TKVCERT_SANDBOX asks for
//                             (why is on standard error); or the root could
//                             not be idmapped when the refresh started
//   ERROR_PATH_NOT_FOUND      a bare root lacks the bundle's directory, which
//                             the host's refresh writes
//   ERROR_BUSY                another run held the lock for 60 seconds
//   ERROR_INVALID_DATA        clients read the bundle today, and an anchor
//                             changed since it was written holds a PEM block
//                             cut short, which would make them read none of
//                             it once refreshed (named on standard error)
//   ERROR_WRITE_PROTECT       the anchors are on a read-only file system
//   ERROR_DISK_FULL           no space or quota left for the record or the file
//   ERROR_READ_FAULT          an I/O error writing them
//   ERROR_NOT_ENOUGH_MEMORY   the certificate could not be encoded
//   ERROR_TIMEOUT             the command's time ran out before or during the
//                             refresh, which was stopped (said on standard
//                             error)
//   ERROR_FUNCTION_FAILED     the refresh failed (its standard error is passed
//                             on), or its bundle does not hold the certificate,
//                             or clients read it before and cannot now (said
//                             on standard error)
// A failure before the refresh changes nothing. One of the refresh
// (ERROR_TIMEOUT, ERROR_FUNCTION_FAILED, or ERROR_NOT_SUPPORTED when the root
// could not be idmapped) comes after the anchors were put back. Finishing a
// cut-off change fails with these codes too, and then leaves it recorded.
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                      PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext);

// Steps through the store's certificates: the first when pPrevCertContext is
// null, else the one after it. pPrevCertContext must be what the previous
// call returned; this call takes it back and releases it, its memory perhaps
// reused for the next. The handle must stay open while enumerating.
//
// On Linux the store is what the family's refresh reads (store_layout.h):
// those files, listed by the first call in byte order of their paths below
// the anchors directory (its staging directory left out), and each
// certificate block of a file in order. A certificate is handed out once,
// from its first copy, however many files hold it. A block labelled as a
// certificate that does not decode is handed out too, with no bytes, so that
// reading its name fails and a broken anchor is reported rather than hidden.
// A file that cannot be read when it is reached (vanished, oversized, not a
// regular file) holds nothing. One file is read at a time, so memory stays
// flat however large the store; nothing is locked or changed.
//
// Returns a context that the caller owns: give it to the next call or to
// CertDeleteCertificateFromStore, or release it with
// CertFreeCertificateContext. It keeps the store's data and stays usable
// after the handle is closed. pCertInfo and hCertStore are null. The last
// error is left alone. At the end, returns null, releases pPrevCertContext
// and sets CRYPT_E_NOT_FOUND. A handle that is not ours: null,
// pPrevCertContext released, E_INVALIDARG.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                          PCCERT_CONTEXT pPrevCertContext);
// The simple display name of the certificate's subject. Only
// CERT_NAME_SIMPLE_DISPLAY_TYPE with dwFlags 0 is served (no issuer);
// anything else, or a null context, returns 0 and sets E_INVALIDARG.
// pvTypePara is ignored. The name is the subject's first commonName, else
// its first organizationalUnitName, else organizationName, else
// emailAddress; else the first rfc822Name of the subject alternative name,
// else that extension's first entry (a DNS name, URI or IP address as text;
// any other kind gives ""); else "". libcrypto decodes each string type.
//
// With pszNameString null or cchNameString 0, returns the size the name
// needs, terminator included. Otherwise copies what fits in cchNameString - 1
// units, terminates it, and returns that count with the terminator. A name
// may hold a NUL: the count says where it ends, not the first NUL. Sets
// ERROR_SUCCESS on success.
//
// A subject that does not decode, or whose chosen value cannot be read as
// text, returns 0 and sets CRYPT_E_ASN1_CORRUPT; so does the empty context
// of a broken anchor, which the caller can then report.
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);
// Removes from its store the certificate of a context that
// CertEnumCertificatesInStore handed out, every copy of it as one change,
// and clients stop trusting it when this returns TRUE: the refresh has run
// and the bundle no longer holds it, unless the distribution's own CA set
// still trusts it (the README says how to distrust those). Releases the
// context whether it succeeds or not.
//
// On Linux every file the refresh reads that holds the certificate is found
// afresh under the store's lock. A file whose certificate blocks are all
// this one is removed; one with other blocks is rewritten without it,
// keeping its mode, owner and the rest of its text. A private key (or any
// block that is no certificate) beside its only certificate is kept, with
// the file's owner and no reader the mode did not allow nor any other
// user: in the file itself where the refresh passes over keys (p11-kit),
// else beside it under a name the refresh does not read (Debian's
// "<name>.key" for "<name>.crt", Alpine's ".<name>.key"). A copy reached through a
// link goes with the link, never through it, and the target's other
// certificates, if it has any, take the link's place as a file. A copy in a
// directory reached through a link is refused: removing that link would take
// whatever else is there with it. The lock, the record, the refresh and its
// check, the rollback and the browser step are those of
// CertAddCertificateContextToStore; on Debian, the hooks its refresh runs
// also hear of every anchor removed ("-<link>" lines on standard input).
//
// Sets ERROR_SUCCESS on success. Sets on failure, besides the codes of a
// change (see CertAddCertificateContextToStore):
//   E_INVALIDARG         a null context (nothing to release), or one that
//                        no enumeration handed out, or a broken anchor's
//   CRYPT_E_NOT_FOUND    no copy is left: another run removed it since it
//                        was enumerated
//   ERROR_ACCESS_DENIED  a copy is in a directory reached through a link, or
//                        keeps a key whose new name holds another file
// Either way nothing has changed.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

#endif  // TKVCERT_PLATFORM_POSIX_WINCRYPT_POSIX_H_
