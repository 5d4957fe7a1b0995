// What the store's files and its bundle say of a certificate: whether an
// anchor holds it, and whether the bundle that clients read shows a change.
#ifndef TKVCERT_PLATFORM_POSIX_ANCHORS_STORE_TRUST_H_
#define TKVCERT_PLATFORM_POSIX_ANCHORS_STORE_TRUST_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Whether any certificate (or `der`, when given) is in a file below `base`
// that a refresh reading `reads` would read: the code of the first file
// that cannot be read, rather than a guess. A missing `base` holds nothing.
DWORD AnyFileBelowHolds(const RootDirectory& root, const std::string& base, AnchorSelection reads,
                        const std::vector<BYTE>* der, bool* holds);

// Whether the bundle shows `expected`: ERROR_SUCCESS, or
// ERROR_FUNCTION_FAILED with `why` set.
DWORD CheckBundle(const StoreLocation& location, const ExpectedTrust& expected, std::string* why);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHORS_STORE_TRUST_H_
