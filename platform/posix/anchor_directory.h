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

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The anchors directory, opened and locked for one change. The lock (flock
// on the directory) also covers the refresh that follows the change.
class LockedAnchorDirectory {
 public:
  // Waits for another run's change at most `patience`; ERROR_BUSY after that.
  // Clears what a run killed in the middle of a change left in staging.
  static DWORD Open(const std::string& path, std::chrono::milliseconds patience,
                    LockedAnchorDirectory* out);

  int fd() const { return fd_.get(); }
  int staging_fd() const { return staging_fd_.get(); }

  static constexpr char kStagingName[] = ".tkvcert-staging";

 private:
  DWORD OpenStaging();

  UniqueFd fd_;
  UniqueFd staging_fd_;
};

// A set of file replacements and removals that can be undone until Commit().
// Destroying it without Commit() restores what the directory held.
class AnchorChange {
 public:
  explicit AnchorChange(const LockedAnchorDirectory& dir)
      : dir_fd_(dir.fd()), staging_fd_(dir.staging_fd()) {}
  AnchorChange(const AnchorChange&) = delete;
  AnchorChange& operator=(const AnchorChange&) = delete;
  ~AnchorChange();

  // Puts `contents` under `name`, mode 0644, durably.
  DWORD Replace(const std::string& name, const std::string& contents);
  // Takes `name` away; ERROR_FILE_NOT_FOUND when it is not there.
  DWORD Remove(const std::string& name);
  void Commit();

 private:
  struct Undo {
    std::string name;
    std::string backup;  // in staging; empty when nothing stood under name before
  };
  DWORD BackUp(const std::string& name, Undo* undo);
  void Rollback();

  int dir_fd_;
  int staging_fd_;
  std::vector<Undo> undo_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_DIRECTORY_H_
