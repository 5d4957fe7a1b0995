// The simple display name of a certificate's subject, as Windows picks it.
#ifndef TKVCERT_PLATFORM_POSIX_CERTIFICATE_NAME_H_
#define TKVCERT_PLATFORM_POSIX_CERTIFICATE_NAME_H_

#include <string>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The first commonName of the subject, else organizationalUnitName, else
// organizationName, else emailAddress; else the first rfc822Name of the
// subject alternative name, else its first entry; else "". Only the subject
// is read unless it has none of those four: this runs once per anchor in a
// scan. Returns ERROR_SUCCESS or CRYPT_E_ASN1_CORRUPT.
DWORD SimpleDisplayName(const BYTE* der, size_t size, std::wstring* name);

// The same with the whole subject decoded by d2i_X509_NAME. The name above
// is read from the subject's DER directly when the subject is plain enough
// to be sure of the answer; it must always equal this one.
DWORD SimpleDisplayNameByFullDecode(const BYTE* der, size_t size, std::wstring* name);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CERTIFICATE_NAME_H_
