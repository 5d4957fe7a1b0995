// The local machine's "Root" system store off Windows: the distribution's
// trust-anchor directory.
#ifndef TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_
#define TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_

#include <chrono>
#include <functional>
#include <memory>

#include "platform/posix/store_layout.h"

namespace tkv {

// What an open store knows. Shared by the handle and by every context
// enumerated from it, which may outlive the handle, as on Windows.
struct StoreData {
  StoreLocation location;
  bool read_only = false;
};

// How long a change waits for another run's change to finish.
constexpr std::chrono::seconds kStoreLockPatience{60};

// Applies one change under the store's lock, then refreshes the bundle; the
// change is undone if the refresh fails. Sets the last error on failure.
class AnchorChange;
BOOL ChangeStore(const StoreData& store, const std::function<DWORD(AnchorChange&)>& change);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_
