// A change to the store, step by step: the refresh planned and the anchors
// locked, a change that a run was cut off in finished, the change recorded,
// made, published (or, when clients would not see it, taken back and the
// anchors as they were published again), what follows from it done, and
// the record cleared.
#ifndef TKVCERT_PLATFORM_POSIX_STORE_CHANGE_H_
#define TKVCERT_PLATFORM_POSIX_STORE_CHANGE_H_

#include <chrono>
#include <functional>
#include <vector>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/change/store_publish.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// How long a change waits for another run's change to finish.
constexpr std::chrono::seconds kStoreLockPatience{60};

// Makes one change to the anchors (in `anchors_fd`, through the undoable
// AnchorChange) and says what clients must then see.
using StoreChange = std::function<DWORD(int anchors_fd, AnchorChange&, ExpectedTrust*)>;

// Applies `change` to the certificate `der` under the store's lock, then
// publishes it and checks that clients see what it expects. The change is
// recorded before it starts and cleared once published and followed up, and
// a change a run was cut off in is finished first. A change that changes no
// file and that the bundle already shows runs no refresh. When publishing
// fails, the change is undone and the anchors published again, so that the
// bundle matches them; what cannot be undone or tidied is said on standard
// error and the record stays, for the next run to finish. The code of the
// step that failed, ERROR_SUCCESS otherwise.
DWORD ChangeStore(const StoreLocation& location, const std::vector<BYTE>& der, const StoreChange& change);

// Only the first steps: finishes a change that a run was cut off in, when
// there is one.
DWORD FinishCutOffChange(const StoreLocation& location);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STORE_CHANGE_H_
