// Changes to an anchors directory that are atomic, locked and undoable.
//
// Every change goes through temporary and backup files with unpredictable
// names in a hidden staging directory inside the anchors directory (the same
// file system, so renames are atomic), named without a certificate
// extension: no refresh command reads them. Anchor files appear and
// disappear only by rename, so a reader sees the old file or the new one,
// never part of one. Paths are resolved against directory descriptors, and
// a symbolic link in the directory is replaced or removed as a link, never
// followed.
#ifndef TKVCERT_PLATFORM_POSIX_ANCHOR_DIRECTORY_H_
#define TKVCERT_PLATFORM_POSIX_ANCHOR_DIRECTORY_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The anchors directory, opened and locked for one change. The lock also
// covers the refresh that follows the change.
//
// The lock is flock on a file in staging, which only root can open: the
// anchors directory itself is world-readable, so a lock on it could be held
// by any local user, who would hold up every admin's change. Binaries from
// before this lock took flock on the anchors directory; while the two may
// run at once (an upgrade), a run also holds that old lock when it can, and
// waits for it only while a run of the tool by root's real user holds it,
// never for anything else: a user's process turned root by a set-uid
// program keeps its real user.
class LockedAnchorDirectory {
 public:
  // Takes the directory `anchors_fd` and waits for another run's change at
  // most `patience`; ERROR_BUSY after that. Clears what a run killed in the
  // middle of a change left in staging. A staging directory or lock file
  // that is not this user's alone is refused with ERROR_ACCESS_DENIED:
  // whoever else could write it could swap what a change puts back.
  // `waiting` hears once, at the first wait, of the process that holds
  // the lock (0 when it cannot be told).
  static DWORD Open(UniqueFd anchors_fd, std::chrono::milliseconds patience, LockedAnchorDirectory* out,
                    const std::function<void(pid_t holder)>& waiting = nullptr);

  int fd() const { return fd_.get(); }
  int staging_fd() const { return staging_fd_.get(); }
  // The lock, which a program run on the host inherits: the store stays
  // locked while it runs, even if the tool is killed.
  int lock_fd() const { return lock_fd_.get(); }
  // What a killed run left in staging and Open() could not remove ("name:
  // reason"), or "": it stays for the next run.
  const std::string& unswept() const { return unswept_; }

  // A change in progress, kept in staging from before the anchors change
  // until clients see it: a run cut off in between (killed, or the power
  // lost) leaves it for the next run to finish. Written durably; on
  // failure, `why` says what failed, and a record written in part is taken
  // away again where it can be.
  DWORD RecordChange(const std::string& contents, std::string* why);
  // What the record of a change holds: ERROR_FILE_NOT_FOUND when no change
  // is recorded, the code of a failure to read it otherwise.
  DWORD ReadRecordedChange(std::string* contents) const;
  // False when it cannot be removed: the next run finishes the change again.
  bool ClearRecordedChange();

  static constexpr char kStagingName[] = ".tkvcert-staging";
  static constexpr char kRecordName[] = "change-in-progress";
  static constexpr char kLockName[] = "lock";

 private:
  DWORD OpenStaging();
  DWORD TakeLock(std::chrono::steady_clock::time_point until, const std::function<void(pid_t)>& waiting);

  UniqueFd fd_;
  UniqueFd staging_fd_;
  UniqueFd lock_fd_;
  std::string unswept_;
};

// A file as the store keeps it: its contents, mode and owner.
using AnchorFile = NewFile;

// Whether the regular file (not a link) `name` of `dir_fd` holds exactly
// `file` already: its contents, mode and owner.
bool AlreadyHolds(int dir_fd, const std::string& name, const AnchorFile& file);

// A set of file replacements and removals that can be undone until Commit().
// Destroying it without Commit() restores what the directory held. Names
// are single components of `parent_fd`, a directory of the anchors tree;
// a link under a name is replaced or removed as a link, never followed.
// Each step is durable when it returns: the file and its directory flushed.
class AnchorChange {
 public:
  explicit AnchorChange(const LockedAnchorDirectory& dir) : staging_fd_(dir.staging_fd()) {}
  AnchorChange(const AnchorChange&) = delete;
  AnchorChange& operator=(const AnchorChange&) = delete;
  ~AnchorChange() {  // what can be put back, as a last resort
    std::string ignored;
    Rollback(&ignored);
  }

  // Puts `file` under `name`. On failure, `why` names the step and the
  // system's reason.
  DWORD Replace(int parent_fd, const std::string& name, const AnchorFile& file, std::string* why);
  // Takes `name` away; ERROR_FILE_NOT_FOUND when it is not there.
  DWORD Remove(int parent_fd, const std::string& name, std::string* why);

  // Whether anything was replaced or removed.
  bool changed() const { return !undo_.empty(); }
  // The change stands: what it kept to undo it goes. False when a backup
  // cannot be removed, with `failure` saying which and why; the next lock of
  // the store sweeps it.
  bool Commit(std::string* failure);
  // Puts back what the directory held, as much of it as it can; the change
  // is empty afterwards. On failure, `failure` names the first name it
  // could not put back, and why.
  DWORD Rollback(std::string* failure);

 private:
  struct Undo {
    UniqueFd parent;
    std::string name;
    std::string backup;  // in staging; empty when nothing stood under name before
  };
  DWORD BackUp(int parent_fd, const std::string& name, Undo* undo);

  int staging_fd_;
  std::vector<Undo> undo_;
};

// The record of a change that a run was cut off in, read without the lock,
// as a listing looks: "" when none is recorded or it cannot be read (it is
// root's alone).
std::string PeekRecordedChange(int anchors_fd);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_DIRECTORY_H_
