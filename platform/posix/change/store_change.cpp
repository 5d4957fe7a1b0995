#include "platform/posix/change/store_change.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/store_trust.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/stop_point.h"
#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/base/wide_text.h"
#include "platform/posix/browsers/browser_policies.h"
#include "platform/posix/base/terminal_text.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/change/hash_links.h"
#include "platform/posix/change/store_publish.h"

namespace tkv {
namespace {

std::string StagingPath(const StoreLocation& location) {
  return location.anchors_path() + "/" + LockedAnchorDirectory::kStagingName;
}

// A record that cannot be cleared only has the next run publish the
// anchors once more.
void ClearRecord(const Command& command, const StoreLocation& location, LockedAnchorDirectory& dir) {
  if (dir.ClearRecordedChange()) return;
  command.Complain("cannot clear the record of the change in " + StagingPath(location) + ": " + strerror(errno) +
                   "; the next run publishes the anchors once more");
}

// What a change has made so far: the distribution's set's distrust first,
// then the anchors, each undoable until the change stands.
struct Pending {
  Pending(const LockedAnchorDirectory& dir, const StoreLocation& location) : anchors(dir), distrust(location) {}
  AnchorChange anchors;
  DistrustChange distrust;
};

// Puts the anchors, and the distrust, back as they were; what cannot be put
// back is said, and the record stays, so that the next run finishes it.
bool Undo(const Command& command, Pending& pending) {
  std::string failure;
  DWORD code = pending.anchors.Rollback(&failure);
  if (code == ERROR_SUCCESS) code = pending.distrust.Rollback(&failure);
  if (code == ERROR_SUCCESS) return true;
  command.Complain("the change could not be taken back (" + failure +
                   "); it stays recorded, and the next run finishes it");
  return false;
}

// The record names the change and holds its certificate, so that the next
// run, after a cut-off one, takes the change on from wherever it stopped.
std::string RecordText(ChangeKind kind, const std::vector<BYTE>& der) {
  return std::string(kind == ChangeKind::kAdd ? "add\n" : "remove\n") + PemCertificate(der);
}

// A change taken back leaves nothing to finish: should its record stay,
// the next run only publishes the anchors as they are.
constexpr char kPublishOnly[] = "publish\n";

// What a record names: a change, with its kind; the anchors to publish as
// they are; or, written before records named their change, a certificate alone.
enum class RecordSays { kNamed, kPublish, kOlder };

RecordSays ParseRecord(const std::string& record, ChangeKind* kind, std::vector<BYTE>* der) {
  for (const AnchorBlock& block : ParseAnchorFile(std::vector<BYTE>(record.begin(), record.end()))) {
    if (block.decoded && der->empty()) *der = block.der;
  }
  *kind = ChangeKind::kAdd;
  if (record.compare(0, 7, "remove\n") == 0) {
    *kind = ChangeKind::kRemove;
    return RecordSays::kNamed;
  }
  if (record.compare(0, 8, kPublishOnly) == 0) return RecordSays::kPublish;
  return record.compare(0, 4, "add\n") == 0 ? RecordSays::kNamed : RecordSays::kOlder;
}

void Settle(const Command& command, const StoreLocation& location, LockedAnchorDirectory& dir,
            const std::string& record) {
  std::string why;
  // A record that cannot be rewritten is taken away by RecordChange.
  dir.RecordChange(kPublishOnly + record.substr(record.find('\n') + 1), &why);
  ClearRecord(command, location, dir);
}

// How a planned change is carried out: by the real run, under the lock, or
// by the dry run, which writes nothing and keeps in its view what the
// change would have written and published. Both make the same plans on
// what their view shows: the change a run was cut off in first, then the
// one asked for, on its result.
class ChangeRunner {
 public:
  virtual ~ChangeRunner() = default;
  virtual const AnchorView& view() const = 0;
  // The change a run was cut off in, as recorded: ERROR_FILE_NOT_FOUND when none.
  virtual DWORD ReadRecord(std::string* record) const = 0;
  // Before a cut-off addition is made again: the links its refresh may have
  // made and its hooks not heard of.
  virtual DWORD ForgetLinks(const Command& command, const StoreLocation& location, const std::vector<BYTE>& der) = 0;
  // The plan made (or not): what it changed, for the outcome. A change that
  // a run was cut off in (`finishing`) stays recorded whatever happens.
  virtual DWORD CarryOut(Command& command, RefreshCommand* refresh, const ChangePlan& plan, const std::string& record,
                         bool finishing, ChangeOutcome* outcome) = 0;
  // Whether the run says what it finished: only what was done is said.
  virtual bool Says() const = 0;
};

// What the next run did of a change that a run was cut off in.
std::string CutOffChangeFinished(bool named, ChangeKind kind, const std::vector<BYTE>& der) {
  if (!named) return "published the anchors as they are: an earlier run was cut off in a change to them";
  std::wstring name;
  SimpleDisplayName(der.data(), der.size(), &name);
  return std::string("finished the ") + (kind == ChangeKind::kAdd ? "installation" : "removal") + " of \"" +
         EscapeControls(EncodeUtf8Lossless(name)) + "\" that an earlier run was cut off in";
}

// A run cut off between recording its change and clearing the record left
// the anchors, and the distrust, anywhere between before and after: the
// change is made again on what it left, whole, and published. A record
// written before records named their change was of an addition when an
// anchor holds its certificate; otherwise the anchors are published as
// they are.
DWORD FinishRecorded(Command& command, const StoreLocation& location, RefreshCommand* refresh, ChangeRunner& runner,
                     ChangeOutcome* outcome) {
  std::string record;
  const DWORD read = runner.ReadRecord(&record);
  if (read == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (read != ERROR_SUCCESS) return read;
  std::vector<BYTE> der;
  ChangeKind kind = ChangeKind::kAdd;
  const RecordSays says = ParseRecord(record, &kind, &der);
  bool named = says == RecordSays::kNamed;
  if (says == RecordSays::kOlder) {
    bool anchored = false;
    if (!der.empty()) {
      if (DWORD code = AnyFileBelowHolds(*location.root, location.layout->anchors_dir, location.layout->reads,
                                         &der, &anchored)) {
        return code;
      }
    }
    named = anchored;
  }
  ChangePlan plan;
  if (named && !der.empty()) {
    const DWORD planned = PlanChange(command, refresh, runner.view(), kind, der, &plan);
    if (planned == CRYPT_E_NOT_FOUND) {  // taken out already: only the publishing was cut off
      plan = ChangePlan();
      plan.expected.removed.push_back(der);
    } else if (planned != ERROR_SUCCESS) {
      return planned;
    }
    if (kind == ChangeKind::kAdd) {
      if (DWORD code = runner.ForgetLinks(command, location, der)) return code;
    }
  }
  plan.refresh = true;
  ChangeOutcome finished;
  if (DWORD code = runner.CarryOut(command, refresh, plan, record, /*finishing=*/true, &finished)) {
    command.Complain("the change a run was cut off in stays recorded; the next run tries to finish it again");
    return code;
  }
  if (runner.Says()) command.Complain(CutOffChangeFinished(named && !der.empty(), kind, der));
  outcome->finished_cut_off_change = outcome->bundle_changed = true;
  outcome->anchors_changed = finished.anchors_changed;
  outcome->browser_files = finished.browser_files;
  return ERROR_SUCCESS;
}

// " (its name)", as the process's own comm says; "" when it cannot be read.
std::string ProcessName(pid_t pid) {
  FILE* comm = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
  char name[64] = {};
  const bool read = comm != nullptr && fgets(name, sizeof name, comm) != nullptr;
  if (comm != nullptr) fclose(comm);
  std::string text = read ? EscapeControls(std::string(name, strcspn(name, "\n"))) : "";
  return text.empty() ? "" : " (" + text + ")";
}

// A change that no refresh could publish is not even locked: the refresh is
// planned first.
DWORD LockStore(Command& command, const StoreLocation& location, RefreshCommand* refresh,
                LockedAnchorDirectory* dir) {
  if (DWORD code = PlanRefresh(command, location, refresh)) return code;
  const auto waited_from = std::chrono::steady_clock::now();
  std::string holder;
  const auto waiting = [&](pid_t pid) {
    holder = pid > 0 ? "process " + std::to_string(pid) + ProcessName(pid) : "a process this one cannot see";
    command.Complain("waiting for another run's change to " + location.anchors_path() + " to finish: " + holder +
                     " holds the store's lock; giving up after " + std::to_string(kStoreLockPatience.count()) +
                     " s");
  };
  if (DWORD code = LockedAnchorDirectory::Open(OpenAnchorsDirectory(location), kStoreLockPatience, dir, waiting)) {
    if (code == ERROR_BUSY) {
      command.Complain("gave up waiting: " + holder + " still holds the store's lock; run again once it is done");
    }
    return code;
  }
  command.clock().DiscountLockWait(std::chrono::steady_clock::now() - waited_from);
  if (!dir->unswept().empty()) {
    command.Complain("cannot remove " + StagingPath(location) + "/" + dir->unswept() +
                     ", left by a run cut off; the next change tries again");
  }
  return ERROR_SUCCESS;
}

// The files a plan changes, each durable when it is done: the distrust
// first, so that a p11-kit family's blocklist never outweighs an anchor
// just written, and a run cut off after it leaves the next one a removal
// to finish rather than to guess.
DWORD MakeEdits(const ChangePlan& plan, LockedAnchorDirectory& dir, Pending& pending, std::string* why) {
  for (const DistrustEdit& edit : plan.distrust) {
    if (DWORD code = pending.distrust.Apply(edit, why)) return code;
  }
  StopPoint("change-distrusted");
  for (const AnchorEdit& edit : plan.edits) {
    UniqueFd parent;
    if (!edit.parent.empty()) {
      parent = OpenBeneathWithoutLinks(dir.fd(), edit.parent, O_RDONLY | O_DIRECTORY);
      if (!parent) {
        *why = edit.parent + ": " + strerror(errno);
        return ErrorFromErrno(errno);
      }
    }
    const int parent_fd = parent ? parent.get() : dir.fd();
    const DWORD code = edit.remove ? pending.anchors.Remove(parent_fd, edit.name, why)
                                   : pending.anchors.Replace(parent_fd, edit.name, edit.file, why);
    if (code != ERROR_SUCCESS) return code;
  }
  return ERROR_SUCCESS;
}

// The plan's edits, as `view` shows them from then on: written (a real
// run), or only kept there (a dry run).
void ApplyEdits(const ChangePlan& plan, AnchorView* view) {
  for (const AnchorEdit& edit : plan.edits) {
    const std::string relative = (edit.parent.empty() ? "" : edit.parent + "/") + edit.name;
    if (edit.remove) {
      view->Remove(relative);
    } else {
      view->Put(relative, edit.file);
    }
  }
}

// What the plan decided, as the account hears of it, whichever runner
// carried it out.
void TakePlanned(const ChangePlan& plan, ChangeOutcome* outcome) {
  outcome->already_held_by = plan.already_held_by;
  outcome->set_trust = plan.set_trust;
  outcome->set_file = plan.set_file;
  outcome->copies = plan.copies;
  outcome->kept_aside = plan.kept_aside;
  for (const DistrustEdit& edit : plan.distrust) outcome->distrust.push_back(edit.shown);
  for (const AnchorEdit& edit : plan.edits) {
    outcome->files_after.emplace_back((edit.parent.empty() ? "" : edit.parent + "/") + edit.name,
                                      edit.remove ? AnchorTrouble::kNone
                                                  : TroubleOf({edit.file.contents.begin(), edit.file.contents.end()}));
  }
}

// The plan made real. Before the first write, the sandbox of its refresh is
// made and the change recorded: a run cut off from there on leaves the next
// one a change to finish.
// A change that fails is taken back and published as it was; one that a
// run was cut off in (`finishing`) stays recorded whatever happens, since
// what that run did before it stopped is still not finished.
DWORD CarryOut(Command& command, const StoreLocation& location, RefreshCommand* refresh, LockedAnchorDirectory& dir,
               AnchorView& view, const ChangePlan& plan, const std::string& record, bool finishing,
               ChangeOutcome* outcome) {
  const Publication publication{&view, dir.lock_fd(), plan.expected, TimeUse::kChange, plan.bundle_readable};
  Published published;
  if (!plan.refresh) {  // published already: config management repeats itself
    const DWORD code = RunAfterRefresh(command, location, *refresh, publication, {AfterRefresh::kBrowsers}, &published);
    outcome->browser_files = published.browser_files;
    return code;
  }
  if (DWORD code = PrepareSandbox(command, location, refresh)) return code;
  std::string why;
  if (DWORD code = dir.RecordChange(record, &why)) {
    command.Complain("cannot record the change in " + StagingPath(location) + " (" + why + "); nothing was changed");
    return code;
  }
  StopPoint("change-recorded");
  Pending pending(dir, location);
  if (DWORD code = MakeEdits(plan, dir, pending, &why)) {
    command.Complain("cannot change the store (" + why + ")");
    if (Undo(command, pending) && !finishing) Settle(command, location, dir, record);
    return code;
  }
  StopPoint("change-made");
  ApplyEdits(plan, &view);
  if (DWORD code = PublishChange(command, location, *refresh, publication,
                                 StepsAfterRefresh(*location.layout, true), &published)) {
    StopPoint("change-before-rollback");
    // What the failed refresh wrote must match the anchors put back.
    const bool undone = Undo(command, pending);
    if (undone && !finishing) dir.RecordChange(kPublishOnly + record.substr(record.find('\n') + 1), &why);
    view = AnchorView(location, dir.fd());
    const Publication back{&view, dir.lock_fd(), {}, TimeUse::kRollback};
    Published republished;
    if (PublishChange(command, location, *refresh, back, StepsAfterRefresh(*location.layout, false),
                      &republished) == ERROR_SUCCESS &&
        undone && republished.tidy && !finishing) {
      ClearRecord(command, location, dir);
    }
    return code;
  }
  outcome->anchors_changed = pending.anchors.changed() || pending.distrust.changed();
  outcome->bundle_changed = true;
  outcome->browser_files = published.browser_files;
  std::string failure;
  pending.distrust.Commit();
  const bool committed = pending.anchors.Commit(&failure);
  if (!committed) {
    command.Complain("cannot remove the backup " + StagingPath(location) + "/" + failure +
                     "; the next run removes it");
  }
  if (committed && published.tidy) ClearRecord(command, location, dir);
  return ERROR_SUCCESS;
}

// The real run: locked, recorded, written and published.
class RealRunner : public ChangeRunner {
 public:
  RealRunner(const StoreLocation& location, LockedAnchorDirectory dir)
      : location_(location), dir_(std::move(dir)), view_(location, dir_.fd()) {}

  const AnchorView& view() const override { return view_; }
  DWORD ReadRecord(std::string* record) const override { return dir_.ReadRecordedChange(record); }
  DWORD ForgetLinks(const Command& command, const StoreLocation& location, const std::vector<BYTE>& der) override {
    std::string why;
    if (ForgetLink(location, AnchorFileName(der), &why) == ERROR_SUCCESS) return ERROR_SUCCESS;
    command.Complain("cannot take away the links of a change cut off: " + why);
    return ERROR_FUNCTION_FAILED;
  }
  DWORD CarryOut(Command& command, RefreshCommand* refresh, const ChangePlan& plan, const std::string& record,
                 bool finishing, ChangeOutcome* outcome) override {
    return tkv::CarryOut(command, location_, refresh, dir_, view_, plan, record, finishing, outcome);
  }
  bool Says() const override { return true; }

 private:
  const StoreLocation& location_;
  LockedAnchorDirectory dir_;
  AnchorView view_;
};

// The dry run: nothing written, run or locked; what the change would write
// and publish is kept in the view, for the next change to plan on.
class DryRunner : public ChangeRunner {
 public:
  explicit DryRunner(DryRun& dry) : dry_(dry) {}

  const AnchorView& view() const override { return dry_.view; }
  DWORD ReadRecord(std::string* record) const override {
    *record = dry_.record_finished ? "" : PeekRecordedChange(dry_.view.fd());
    return record->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  }
  DWORD ForgetLinks(const Command&, const StoreLocation&, const std::vector<BYTE>&) override { return ERROR_SUCCESS; }
  DWORD CarryOut(Command& command, RefreshCommand*, const ChangePlan& plan, const std::string&, bool finishing,
                 ChangeOutcome* outcome) override {
    ApplyEdits(plan, &dry_.view);
    dry_.view.Publish(plan.expected);
    if (finishing) dry_.record_finished = true;
    outcome->anchors_changed = !plan.edits.empty() || !plan.distrust.empty();
    outcome->bundle_changed = plan.refresh;
    outcome->browser_files = UpdateBrowserPolicies(command, dry_.view, dry_.view.published(), /*foresee=*/true);
    return ERROR_SUCCESS;
  }
  bool Says() const override { return false; }

 private:
  DryRun& dry_;
};

// The runner of one change: the dry run's, or the real run's once the store
// is locked.
DWORD StartRunner(Command& command, const StoreLocation& location, RefreshCommand* refresh, DryRun* dry,
                  std::unique_ptr<ChangeRunner>* runner) {
  if (dry != nullptr) {
    if (DWORD code = PlanRefresh(command, location, refresh)) return code;
    *runner = std::make_unique<DryRunner>(*dry);
    return ERROR_SUCCESS;
  }
  LockedAnchorDirectory dir;
  if (DWORD code = LockStore(command, location, refresh, &dir)) return code;
  *runner = std::make_unique<RealRunner>(location, std::move(dir));
  return ERROR_SUCCESS;
}

}  // namespace

bool PendingChange(int anchors_fd, ChangeKind* kind, std::vector<BYTE>* der) {
  const std::string record = PeekRecordedChange(anchors_fd);
  der->clear();
  return !record.empty() && ParseRecord(record, kind, der) != RecordSays::kPublish && !der->empty();
}

DWORD FinishCutOffChange(Command& command, const StoreLocation& location, RefreshCommand* refresh, DryRun* dry,
                         ChangeOutcome* outcome) {
  std::unique_ptr<ChangeRunner> runner;
  if (DWORD code = StartRunner(command, location, refresh, dry, &runner)) return code;
  return FinishRecorded(command, location, refresh, *runner, outcome);
}

DWORD ChangeStore(Command& command, const StoreLocation& location, RefreshCommand* refresh, ChangeKind kind,
                  const std::vector<BYTE>& der, DryRun* dry, ChangeOutcome* outcome) {
  std::unique_ptr<ChangeRunner> runner;
  if (DWORD code = StartRunner(command, location, refresh, dry, &runner)) return code;
  if (DWORD code = FinishRecorded(command, location, refresh, *runner, outcome)) return code;
  ChangePlan plan;
  if (DWORD code = PlanChange(command, refresh, runner->view(), kind, der, &plan)) return code;
  TakePlanned(plan, outcome);
  return runner->CarryOut(command, refresh, plan, RecordText(kind, der), /*finishing=*/false, outcome);
}

}  // namespace tkv
