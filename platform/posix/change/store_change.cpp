#include "platform/posix/change/store_change.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/browsers/browser_policies.h"
#include "platform/posix/base/complaint.h"
#include "platform/posix/change/hash_links.h"
#include "platform/posix/account/run_account.h"
#include "platform/posix/base/stop_point.h"

namespace tkv {
namespace {

// What follows every published change: each step sees the refreshed,
// checked bundle, and none can take the change back.
void FollowUp(const StoreLocation& location, int anchors_fd) {
  UpdateBrowserPolicies(location, anchors_fd);
}

// A run cut off between recording its change and clearing the record left
// the anchors on either side of it: whichever, they are published as they
// are, and what the certificate's copies say is what clients must see.
DWORD FinishRecorded(const StoreLocation& location, RefreshCommand& refresh, LockedAnchorDirectory& dir) {
  std::string record;
  const DWORD read = dir.ReadRecordedChange(&record);
  if (read == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (read != ERROR_SUCCESS) return read;
  if (DWORD code = PrepareSandbox(location, &refresh)) return code;
  ExpectedTrust expected;
  for (const AnchorBlock& block : ParseAnchorFile(std::vector<BYTE>(record.begin(), record.end()))) {
    if (!block.decoded) continue;
    bool anchored = false;
    if (DWORD code = AnyFileBelowHolds(*location.root, location.layout->anchors_dir,
                                       location.layout->reads, &block.der, &anchored)) {
      return code;
    }
    (anchored ? expected.added : expected.removed).push_back(block.der);
    // The cut-off refresh may have linked it and stopped before its hooks
    // heard of it, or before it rehashed.
    if (anchored) {
      if (DWORD code = ForgetLink(location, AnchorFileName(block.der))) return code;
    }
  }
  bool tidy = true;
  if (DWORD code = PublishChange(location, refresh, dir.fd(), dir.lock_fd(), expected, TimeUse::kChange, &tidy)) return code;
  Account().finished_cut_off_change = Account().bundle_changed = true;
  FollowUp(location, dir.fd());
  if (tidy) dir.ClearRecordedChange();
  return ERROR_SUCCESS;
}

// A change that no refresh could publish is not made at all: the refresh
// is planned before anything changes, and its sandbox made before the
// first write.
DWORD PlanAndLock(const StoreLocation& location, RefreshCommand* refresh, LockedAnchorDirectory* dir) {
  if (DWORD code = PlanRefresh(location, refresh)) return code;
  UniqueFd anchors = OpenAnchorsDirectory(location);
  if (anchors && location.root->CheckWritable(anchors.get(), location.layout->anchors_dir) != ERROR_SUCCESS) {
    Complain("refusing " + location.root->refusal());
    return ERROR_ACCESS_DENIED;
  }
  if (DWORD code = LockedAnchorDirectory::Open(std::move(anchors), kStoreLockPatience, dir)) return code;
  return FinishRecorded(location, *refresh, *dir);
}

// Puts the anchors back as they were; what cannot be put back is said, and
// the record stays, so that the next run publishes the anchors as they are.
bool Undo(AnchorChange& pending) {
  std::string name;
  if (pending.Rollback(&name) == ERROR_SUCCESS) return true;
  Complain("the change could not be taken back (" + name + ": " + strerror(errno) +
           "); it stays recorded, and the next run publishes the anchors as they are");
  return false;
}

}  // namespace

DWORD FinishCutOffChange(const StoreLocation& location) {
  RefreshCommand refresh;
  LockedAnchorDirectory dir;
  return PlanAndLock(location, &refresh, &dir);
}

DWORD ChangeStore(const StoreLocation& location, const std::vector<BYTE>& der, const StoreChange& change) {
  RefreshCommand refresh;
  LockedAnchorDirectory dir;
  if (DWORD code = PlanAndLock(location, &refresh, &dir)) return code;
  // Before the first write: the sandbox, and the record of the change.
  bool prepared = false;
  auto prepare = [&]() -> DWORD {
    if (DWORD code = PrepareSandbox(location, &refresh)) return code;
    if (DWORD code = dir.RecordChange(PemCertificate(der))) return code;
    prepared = true;
    return ERROR_SUCCESS;
  };
  AnchorChange pending(dir, prepare);
  ExpectedTrust expected;
  if (DWORD code = change(dir.fd(), pending, &expected)) {
    if (Undo(pending) && prepared) dir.ClearRecordedChange();
    return code;
  }
  std::string unused;
  if (!pending.changed() && CheckBundle(location, expected, &unused) == ERROR_SUCCESS) {
    FollowUp(location, dir.fd());
    return ERROR_SUCCESS;  // already published: config management repeats itself
  }
  if (!prepared) {
    if (DWORD code = prepare()) return code;
  }
  bool tidy = true;
  if (DWORD code = PublishChange(location, refresh, dir.fd(), dir.lock_fd(), expected, TimeUse::kChange, &tidy)) {
    StopPoint("change-before-rollback");
    // What the failed refresh wrote must match the anchors put back.
    const bool undone = Undo(pending);
    bool republished_tidy = true;
    if (PublishChange(location, refresh, dir.fd(), dir.lock_fd(), ExpectedTrust{}, TimeUse::kRollback,
                      &republished_tidy) == ERROR_SUCCESS &&
        undone && republished_tidy) {
      dir.ClearRecordedChange();
    }
    return code;
  }
  Account().anchors_changed = pending.changed();
  Account().bundle_changed = true;
  pending.Commit();
  FollowUp(location, dir.fd());
  if (tidy) dir.ClearRecordedChange();
  return ERROR_SUCCESS;
}

}  // namespace tkv
