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

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/distribution_set.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/command.h"
#include "platform/posix/change/store_change.h"
#include "platform/posix/sandbox/store_refresh.h"
#include "platform/posix/anchors/handed_out_set.h"
#include "platform/posix/base/unique_fd.h"

namespace tkv {

// What an open store knows. Shared by the handle and by every context
// enumerated from it, which may outlive the handle, as on Windows.
struct StoreData {
  StoreData() = default;
  StoreData(const StoreData&) = delete;
  StoreData& operator=(const StoreData&) = delete;
  // The command's sandbox is left here, where what cannot be removed of it
  // is still said.
  ~StoreData();

  std::shared_ptr<Command> command;  // the command the store was opened for
  StoreLocation location;
  RefreshCommand refresh;  // planned, and its sandbox made, once a command
  bool read_only = false;
  UniqueFd anchors_fd;
  // A dry run's: what its changes would have written and published, which
  // its scans and later changes see.
  std::unique_ptr<DryRun> dry;
  // Enumeration: the anchor files listed by its first call, and the
  // certificates of the one file being walked, so memory stays flat.
  std::shared_ptr<const std::vector<std::string>> listing;
  size_t parsed_file = SIZE_MAX;
  std::vector<BYTE> contents;  // that file's bytes
  std::vector<AnchorBlock> parsed_blocks;
  HandedOutSet handed_out;
  // After the anchors, the distribution's certificates that its refresh
  // trusts, read once the anchors are walked: a few hundred at most.
  bool distribution_read = false;
  std::vector<DistributionCertificate> distribution;
  // Last, what clients read in the bundle that neither yielded: copied
  // there from a file the tool cannot read, or left by a lagging refresh.
  // Read only when a scan gets this far, as a removal that matched nothing.
  bool bundle_read = false;
  std::vector<std::vector<BYTE>> bundle_only;
  // An earlier file read again, to compare a certificate with its candidates.
  std::vector<BYTE> candidate_contents;
  std::vector<AnchorBlock> candidate_blocks;
};

struct StoreHandle {
  static constexpr DWORD kMagic = 0x544B5653;  // catches handles that are not ours
  DWORD magic = kMagic;
  std::shared_ptr<StoreData> data;
};

// The handle behind an HCERTSTORE, or null when it is not one of ours.
StoreHandle* HandleFrom(HCERTSTORE store);

// Opens the machine's store (or an image root's) for `data->command`:
// ERROR_FILE_NOT_FOUND when no family is found; ERROR_ACCESS_DENIED for a
// caller who cannot change it, or, run as root, for an image root that
// another user could have arranged. A change a run was cut off in is
// finished (in a dry run, only in `data->dry`), as `cut_off` says.
DWORD OpenSystemStore(bool read_only, StoreData* data, ChangeOutcome* cut_off);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SYSTEM_STORE_H_
