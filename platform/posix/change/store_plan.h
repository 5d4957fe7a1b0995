// What one command would change in the store, decided once, without a
// write or a program run, on the anchors as the command's view shows them.
// The real run makes the plan under the store's lock and carries it out;
// the dry run makes the same plan without the lock and carries it out with
// a runner that writes nothing. Nothing else decides what a change does.
//
// The plan holds what can be known before any program runs: the anchors to
// write and remove, whether the family's refresh runs and in which sandbox,
// the hooks the store tells, and each refusal the change would meet before
// its first write. What only a
// program's run can tell (a refresh or a hook that fails, a bundle that does
// not show the change) is outside it.
#ifndef TKVCERT_PLATFORM_POSIX_CHANGE_STORE_PLAN_H_
#define TKVCERT_PLATFORM_POSIX_CHANGE_STORE_PLAN_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/anchors/anchor_view.h"
#include "platform/posix/anchors/distribution_set.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/base/command.h"
#include "platform/posix/sandbox/store_refresh.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

enum class ChangeKind { kAdd, kRemove };

// An addition of a certificate of the distribution's set: no local copy is
// written, which would pin it whatever the distribution later decides.
enum class SetTrust {
  kNone,
  kTrustedAgain,    // the family's distrust is lifted: the set's own copy is trusted again
  kTrustedAlready,  // the set trusts it, and the bundle shows it
};

// One file of the anchors tree, put in place or taken away.
struct AnchorEdit {
  std::string parent;  // relative to the anchors directory; "" for its top
  std::string name;
  bool remove = false;
  AnchorFile file;  // what goes there, unless it is removed
};

struct ChangePlan {
  std::vector<AnchorEdit> edits;
  // The family's distrust of a certificate of the distribution's set, put
  // in place by a removal and lifted by an addition; made before the anchors.
  std::vector<DistrustEdit> distrust;
  ExpectedTrust expected;        // what clients see once it is published
  bool refresh = false;          // the family's refresh runs: the anchors change, or the bundle lags them
  bool bundle_readable = false;  // clients read today's bundle: the refresh must leave one they read
  std::string already_held_by;   // an addition: the other local anchor that holds it already
  SetTrust set_trust = SetTrust::kNone;
  std::string set_file;          // an addition of one of the set's: its file, below the root
  std::vector<std::string> copies;  // a removal: the anchor files it takes the certificate out of
  // A removal: a copy's private key (or other blocks) and the file kept it.
  std::vector<std::pair<std::string, std::string>> kept_aside;
  std::vector<std::string> hooks;   // the hooks told of removed anchors, below the root
};

// The plan for adding or removing `der`, on the anchors as `view` shows
// them, with the refresh planned in `refresh` (once a command).
// ERROR_SUCCESS, or the code of the refusal the change would meet before
// its first write, said through `command`: those of PlanRefresh;
// ERROR_ACCESS_DENIED when the anchors directory, or a directory a copy is
// in, is on a file system that holds no anchors of the root's, or a copy is
// in a directory reached through a link; for a removal, CRYPT_E_NOT_FOUND
// when no anchor holds it, the distribution's set does not trust it and the
// bundle does not hold it either, and ERROR_FILE_TOO_LARGE or
// ERROR_ACCESS_DENIED when the bundle holds it from a file the tool cannot
// read.
DWORD PlanChange(Command& command, RefreshCommand* refresh, const AnchorView& view, ChangeKind kind,
                 const std::vector<BYTE>& der, ChangePlan* plan);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CHANGE_STORE_PLAN_H_
