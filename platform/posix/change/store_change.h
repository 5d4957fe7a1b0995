// A change to the store, step by step: the refresh planned and the anchors
// locked, a change that a run was cut off in finished, the change planned
// (store_plan.h), recorded, made and published (or, when clients would not
// see it, taken back and the anchors as they were published again), and the
// record cleared. The dry run carries out the same plans with a runner that
// writes nothing.
#ifndef TKVCERT_PLATFORM_POSIX_CHANGE_STORE_CHANGE_H_
#define TKVCERT_PLATFORM_POSIX_CHANGE_STORE_CHANGE_H_

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/anchors/anchor_view.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/command.h"
#include "platform/posix/change/store_plan.h"
#include "platform/posix/sandbox/store_refresh.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// How long a change waits for another run's change to finish.
constexpr std::chrono::seconds kStoreLockPatience{60};

// What a change did, or would do, for the run's account.
struct ChangeOutcome {
  bool anchors_changed = false;
  bool bundle_changed = false;
  bool finished_cut_off_change = false;
  std::vector<std::string> browser_files;
  std::string already_held_by;      // an addition another local anchor holds already
  SetTrust set_trust = SetTrust::kNone;  // an addition of one of the distribution's set
  std::string set_file;                  // its file, below the root
  std::vector<std::string> copies;  // a removal's anchor files
  // A removal: a copy whose private key (or other blocks) stayed, and the
  // file that keeps it.
  std::vector<std::pair<std::string, std::string>> kept_aside;
  std::vector<std::string> distrust;  // the distrust put in place or lifted: a file, and a conf's lines
  // The anchor files it wrote or removed, and what is amiss in each after
  // it (kNone for one removed).
  std::vector<std::pair<std::string, AnchorTrouble>> files_after;
};

// The dry run's side of a command: the anchors and bundle as its changes
// would leave them, and whether the change a run was cut off in is taken as
// finished. Made when the store is opened, and kept for its changes.
struct DryRun {
  AnchorView view;
  bool record_finished = false;
};

// Adds or removes `der`: what a run was cut off in is finished first, then
// the change is planned on its result and carried out. For real (`dry`
// null), under the store's lock: it is recorded before the anchors change
// and the record cleared once it is published and followed up. A change
// that changes no file and that the bundle already shows runs no refresh.
// When publishing fails, the change is undone and the anchors published
// again, so that the bundle matches them; what cannot be undone or tidied
// is said, and the record stays for the next run to finish. In a dry run,
// the same plans are made without the lock, and nothing is written or run:
// `dry` keeps what they would write, and the bundle as their refreshes
// would leave it. What only a program's run can tell is not foreseen. The
// code of the step that failed, ERROR_SUCCESS otherwise. `refresh` is the
// command's, planned and made once.
DWORD ChangeStore(Command& command, const StoreLocation& location, RefreshCommand* refresh, ChangeKind kind,
                  const std::vector<BYTE>& der, DryRun* dry, ChangeOutcome* outcome);

// The change a run was cut off in, as the next run finishes it, read
// without the lock: its kind and certificate; false when none is recorded
// (or it cannot be read), or it names no certificate.
bool PendingChange(int anchors_fd, ChangeKind* kind, std::vector<BYTE>* der);

// Only the first steps: finishes a change that a run was cut off in, when
// there is one (in a dry run, in `dry` alone).
DWORD FinishCutOffChange(Command& command, const StoreLocation& location, RefreshCommand* refresh, DryRun* dry,
                         ChangeOutcome* outcome);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CHANGE_STORE_CHANGE_H_
