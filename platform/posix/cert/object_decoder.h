// What a certificate file holds, in the forms that Windows' CryptQueryObject
// recognises: DER; PEM (any label, only the first block counts); bare Base64;
// and "{ASN}"-prefixed hexadecimal text.
#ifndef TKVCERT_PLATFORM_POSIX_OBJECT_DECODER_H_
#define TKVCERT_PLATFORM_POSIX_OBJECT_DECODER_H_

#include <cstddef>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

struct DecodedObject {
  DWORD content_type = 0;     // CERT_QUERY_CONTENT_*
  DWORD format_type = 0;      // CERT_QUERY_FORMAT_*
  std::vector<BYTE> encoded;  // DER of the certificate or CRL; empty for other content
};

// Returns ERROR_SUCCESS and fills *out, or CRYPT_E_NO_MATCH when the bytes
// hold none of the allowed contents in any of the allowed formats. An empty
// input is an empty serialized store, as on Windows.
DWORD DecodeObject(const BYTE* data, size_t size, DWORD content_flags,
                   DWORD format_flags, DecodedObject* out);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_OBJECT_DECODER_H_
