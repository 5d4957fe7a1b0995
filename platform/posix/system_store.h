// The local machine's "Root" system store off Windows: the distribution's
// trust-anchor directory.
#ifndef TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_
#define TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <string>
#include <vector>

#include "platform/posix/anchor_format.h"
#include "platform/posix/store_layout.h"

namespace tkv {

// What an open store knows. Shared by the handle and by every context
// enumerated from it, which may outlive the handle, as on Windows.
struct StoreData {
  StoreLocation location;
  bool read_only = false;
  // Enumeration: the anchor files listed by its first call, and the
  // certificates of the one file being walked, so memory stays flat.
  std::vector<std::string> listing;
  size_t parsed_file = SIZE_MAX;
  std::vector<AnchorBlock> parsed_blocks;
};

struct StoreHandle {
  static constexpr DWORD kMagic = 0x544B5653;  // catches handles that are not ours
  DWORD magic = kMagic;
  std::shared_ptr<StoreData> data;
};

// The handle behind an HCERTSTORE, or null when it is not one of ours.
StoreHandle* HandleFrom(HCERTSTORE store);

// How long a change waits for another run's change to finish.
constexpr std::chrono::seconds kStoreLockPatience{60};

// Applies one change under the store's lock, then refreshes the bundle; the
// change is undone if the refresh fails. Sets the last error on failure.
class AnchorChange;
BOOL ChangeStore(const StoreData& store, const std::function<DWORD(AnchorChange&)>& change);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_
