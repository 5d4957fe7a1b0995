// Publishing a change to the anchors, or the anchors put back after one:
// the family's refresh, then what follows it, as one list of typed steps
// run in order by one loop, so that a change passes each room once.
#ifndef TKVCERT_PLATFORM_POSIX_CHANGE_STORE_PUBLISH_H_
#define TKVCERT_PLATFORM_POSIX_CHANGE_STORE_PUBLISH_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_view.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/base/command.h"
#include "platform/posix/sandbox/store_refresh.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The family's steps after its refresh (its row's), in order; with the
// browser step for a change, without it for the anchors put back after a
// failed one.
std::vector<AfterRefresh> StepsAfterRefresh(const StoreLayout& layout, bool browsers);

// One publication: the store's anchors directory and lock, what clients
// must see afterwards, and how much of the command's time it may take.
struct Publication {
  const AnchorView* anchors = nullptr;  // as the change's writes left them
  int lock_fd = -1;  // inherited by a refresh on the host: the store stays locked while it runs
  ExpectedTrust expected;
  TimeUse use = TimeUse::kChange;
  // Clients read the bundle before the change: one they cannot read after
  // it fails the change, which is then taken back.
  bool keep_readable = false;
};

// What publishing did besides the bundle.
struct Published {
  bool tidy = true;  // false: a step after the refresh failed (said); the next run takes it up again
  std::vector<std::string> browser_files;
};

// Runs the family's refresh under the store's lock, after the steps its row
// runs before it, then `steps`.
// What follows the refresh works in the bundle's directory opened before
// it ran, and only while its path still leads there.
// ERROR_SUCCESS when clients see the change; ERROR_TIMEOUT when the
// command's time for the publication's use ran out; ERROR_ACCESS_DENIED
// when the bundle's directory is not the root's to write, or the refresh
// put another in its place; ERROR_FUNCTION_FAILED otherwise; each said
// through `command` (the refresh's own lines, or ours).
DWORD PublishChange(Command& command, const StoreLocation& location, const RefreshCommand& refresh,
                    const Publication& publication, const std::vector<AfterRefresh>& steps, Published* published);

// The same steps without a refresh, for a change the bundle shows already.
DWORD RunAfterRefresh(Command& command, const StoreLocation& location, const RefreshCommand& refresh,
                      const Publication& publication, const std::vector<AfterRefresh>& steps, Published* published);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CHANGE_STORE_PUBLISH_H_
