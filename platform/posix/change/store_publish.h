// Publishing a change to the anchors, or the anchors put back after one:
// the family's refresh, what it leaves undone, and a check of the bundle
// that clients read afterwards.
#ifndef TKVCERT_PLATFORM_POSIX_STORE_PUBLISH_H_
#define TKVCERT_PLATFORM_POSIX_STORE_PUBLISH_H_

#include <string>
#include <vector>

#include "platform/posix/base/command_clock.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// What a change must show in the bundle once it is published.
struct ExpectedTrust {
  std::vector<std::vector<BYTE>> added;    // held by the bundle
  std::vector<std::vector<BYTE>> removed;  // not held, unless the distribution's own set has it
};

// Whether any certificate (or `der`, when given) is in a file below `base`
// that a refresh reading `reads` would read: the code of the first file
// that cannot be read, rather than a guess. A missing `base` holds nothing.
DWORD AnyFileBelowHolds(const RootDirectory& root, const std::string& base, AnchorSelection reads,
                        const std::vector<BYTE>* der, bool* holds);

// The first anchor file (relative to the anchors directory, open as
// `anchors_fd`) that holds `der`, when the bundle already holds it too; ""
// otherwise. The anchors are read only when the bundle holds it: adding a
// certificate that clients do not trust yet costs one bundle read more.
std::string LocalAnchorHolding(const StoreLocation& location, int anchors_fd,
                               const std::vector<BYTE>& der);

// Whether the bundle already shows `expected`: ERROR_SUCCESS, or
// ERROR_FUNCTION_FAILED with `why` set.
DWORD CheckBundle(const StoreLocation& location, const ExpectedTrust& expected, std::string* why);

// Runs the refresh of the anchors (open as `anchors_fd`) under the store's
// lock (`lock_fd`, inherited by a refresh on the host) and
// finishes what it leaves undone: clears what a killed refresh left behind
// first; afterwards tells the hooks of removed anchors and takes their links
// away, and empties a bundle left stale. Then checks the bundle.
// ERROR_SUCCESS when clients see `expected`; ERROR_TIMEOUT when the
// command's time for `use` ran out first; ERROR_FUNCTION_FAILED otherwise;
// with the refresh's standard error, or a line of ours, on standard error.
// `tidy` is false when a step after the refresh failed (said on standard
// error): the next run must take it up again.
DWORD PublishChange(const StoreLocation& location, const RefreshCommand& refresh, int anchors_fd,
                    int lock_fd, const ExpectedTrust& expected, TimeUse use, bool* tidy);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STORE_PUBLISH_H_
