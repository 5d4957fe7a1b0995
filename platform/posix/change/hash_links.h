// The links Debian's refresh keeps in the bundle's directory for each
// anchor (<name>.pem) and for OpenSSL's lookup by subject hash
// (<hash>.<index>), and what the store does with them where the refresh
// leaves them behind.
#ifndef TKVCERT_PLATFORM_POSIX_HASH_LINKS_H_
#define TKVCERT_PLATFORM_POSIX_HASH_LINKS_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"

namespace tkv {

// Takes away the link the refresh made for `anchor_file` (at the top of the
// anchors directory) and the hash links to it, so that the next refresh
// makes it anew: Debian's refresh tells its hooks of, and rehashes for, only
// the links it makes anew, and a run cut off after it made one left it made.
// The code of a failure to take them away, with `why`.
DWORD ForgetLink(const StoreLocation& location, const std::string& anchor_file, std::string* why);

// Of `names` in the bundle's directory `certs_fd`, the links the refresh
// made for anchors that are gone (removed, or made by a change that was
// rolled back or cut off).
std::vector<std::string> LinksOfRemoved(const StoreLocation& location, int certs_fd,
                                        const std::vector<std::string>& names);

// Removes `gone`, and the hash links that point at them, as a fresh refresh
// would, closing the gaps in each hash's indices that OpenSSL stops at. The
// code of the first step that fails, with `why` naming it.
DWORD RemoveLinks(int certs_fd, const std::vector<std::string>& names, const std::vector<std::string>& gone,
                  std::string* why);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_HASH_LINKS_H_
