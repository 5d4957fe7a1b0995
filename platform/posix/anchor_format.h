// How one certificate is kept in an anchors directory: a PEM file named by
// the SHA-1 thumbprint of its DER in upper-case hex, plus ".crt".
#ifndef TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_
#define TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

std::string AnchorFileName(const std::vector<BYTE>& der);
std::string PemCertificate(const std::vector<BYTE>& der);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_
