#include "platform/posix/anchors/anchor_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/ownership.h"
#include "platform/posix/base/unpredictable_name.h"

namespace tkv {
namespace {

// The code of the call that just failed, and `step` with the system's
// reason in `why`.
DWORD Failed(const std::string& step, std::string* why) {
  const int error = errno;
  *why = step + ": " + strerror(error);
  return ErrorFromErrno(error);
}

std::string UnpredictableName(const char* suffix) {
  const std::string hex = UnpredictableHex();
  return hex.empty() ? "" : "tkvcert-" + hex + suffix;
}

// Empties a directory of ours (files, and directories that are empty), all
// but the record of a change that the next change must finish, and the lock:
// a lock file removed while held would let the next run make another and
// hold "the lock" too. What cannot be removed is named in `unswept`, with
// the first reason: it stays for the next run.
void RemoveAllIn(int dir_fd, std::string* unswept) {
  ForEachEntry(dir_fd, [dir_fd, unswept](const dirent& entry) {
    if (strcmp(entry.d_name, LockedAnchorDirectory::kRecordName) == 0 ||
        strcmp(entry.d_name, LockedAnchorDirectory::kLockName) == 0) {
      return true;
    }
    const bool removed = unlinkat(dir_fd, entry.d_name, 0) == 0 ||
                         (errno == EISDIR && unlinkat(dir_fd, entry.d_name, AT_REMOVEDIR) == 0);
    if (!removed && unswept->empty()) *unswept = std::string(entry.d_name) + ": " + strerror(errno);
    return true;
  });
}

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The process that holds a flock on what `fd` is, as /proc/locks tells; 0
// when it cannot be told (no holder, or one in a PID namespace this process
// cannot see).
pid_t FlockHolderProcess(int fd) {
  struct stat st;
  FILE* locks = fopen("/proc/locks", "re");
  if (fstat(fd, &st) != 0 || locks == nullptr) {
    if (locks != nullptr) fclose(locks);
    return 0;
  }
  pid_t holder = 0;
  char line[256];
  while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) {
    int pid = 0;
    unsigned major_id = 0;
    unsigned minor_id = 0;
    unsigned long inode = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" before FLOCK.
    if (sscanf(line, "%*d: FLOCK %*s %*s %d %x:%x:%lu", &pid, &major_id, &minor_id, &inode) != 4 ||
        pid <= 0 || major_id != major(st.st_dev) || minor_id != minor(st.st_dev) || inode != st.st_ino) {
      continue;
    }
    holder = pid;
  }
  fclose(locks);
  return holder;
}

// Whether `pid` is a run of this tool by root, by its real user: only such
// a run is waited for on the old lock. The effective user would let a local
// user who locked the directory and then ran a set-uid program (su, waiting
// for a password) hold every admin's change.
bool RootsRunOfTheTool(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  FILE* comm = fopen((proc + "/comm").c_str(), "re");
  char name[64] = {};
  const bool named = comm != nullptr && fgets(name, sizeof name, comm) != nullptr;
  if (comm != nullptr) fclose(comm);
  if (!named || strcmp(name, "tkvcert\n") != 0) return false;
  FILE* status = fopen((proc + "/status").c_str(), "re");
  if (status == nullptr) return false;
  char line[256];
  long real_uid = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (sscanf(line, "Uid: %ld", &real_uid) == 1) break;
  }
  fclose(status);
  return real_uid == 0;
}

// Binaries from before the lock file locked the anchors directory itself.
// Holding that too keeps one that starts now waiting until this change is
// done; one that holds it now is waited for when it is root's run of the
// tool, and passed over when it is anything else.
DWORD HoldOldLock(int anchors_fd, std::chrono::steady_clock::time_point until,
                  const std::function<void(pid_t)>& waiting) {
  bool told = false;
  for (;;) {
    if (flock(anchors_fd, LOCK_EX | LOCK_NB) == 0) return ERROR_SUCCESS;
    if (errno != EWOULDBLOCK && errno != EINTR) return ERROR_SUCCESS;
    const pid_t holder = FlockHolderProcess(anchors_fd);
    if (holder <= 0 || !RootsRunOfTheTool(holder)) return ERROR_SUCCESS;
    if (!told && waiting) waiting(holder);
    told = true;
    if (std::chrono::steady_clock::now() >= until) return ERROR_BUSY;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

bool AlreadyHolds(int dir_fd, const std::string& name, const AnchorFile& file) {
  UniqueFd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) != file.contents.size() || (st.st_mode & 07777) != file.mode ||
      (file.uid != static_cast<uid_t>(-1) && st.st_uid != file.uid) ||
      (file.gid != static_cast<gid_t>(-1) && st.st_gid != file.gid)) {
    return false;
  }
  std::string contents(file.contents.size() + 1, '\0');
  size_t total = 0;
  for (;;) {
    const ssize_t n = read(fd.get(), contents.data() + total, contents.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    if (total == contents.size()) break;
  }
  contents.resize(total);
  return contents == file.contents;
}

DWORD LockedAnchorDirectory::Open(UniqueFd anchors_fd, std::chrono::milliseconds patience,
                                  LockedAnchorDirectory* out, const std::function<void(pid_t)>& waiting) {
  if (!anchors_fd) return ERROR_FILE_NOT_FOUND;
  const auto started = std::chrono::steady_clock::now();
  out->fd_ = std::move(anchors_fd);
  if (DWORD code = out->OpenStaging()) return code;
  if (DWORD code = out->TakeLock(started + patience, waiting)) return code;
  if (DWORD code = HoldOldLock(out->fd(), started + patience, waiting)) return code;
  // Under the lock nothing in staging belongs to a change in progress.
  RemoveAllIn(out->staging_fd(), &out->unswept_);
  return ERROR_SUCCESS;
}

DWORD LockedAnchorDirectory::OpenStaging() {
  if (mkdirat(fd_.get(), kStagingName, 0700) != 0 && errno != EEXIST) return ErrorFromErrno(errno);
  staging_fd_.reset(openat(fd_.get(), kStagingName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staging_fd_) {
    // Something else was planted under the name: it is not ours to follow.
    if (errno != ENOTDIR && errno != ELOOP) return ErrorFromErrno(errno);
    if (unlinkat(fd_.get(), kStagingName, 0) != 0) return ErrorFromErrno(errno);
    return OpenStaging();
  }
  struct stat st;
  if (fstat(staging_fd_.get(), &st) != 0) return ErrorFromErrno(errno);
  if (!OwnedAlone(st, geteuid())) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

DWORD LockedAnchorDirectory::TakeLock(std::chrono::steady_clock::time_point until,
                                      const std::function<void(pid_t)>& waiting) {
  bool told = false;
  for (;;) {
    UniqueFd lock(openat(staging_fd(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!lock) return ErrorFromErrno(errno);
    struct stat held;
    if (fstat(lock.get(), &held) != 0) return ErrorFromErrno(errno);
    if (!S_ISREG(held.st_mode) || !OwnedAlone(held, geteuid())) return ERROR_ACCESS_DENIED;
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return ErrorFromErrno(errno);
      if (!told && waiting) waiting(FlockHolderProcess(lock.get()));
      told = true;
      if (std::chrono::steady_clock::now() >= until) return ERROR_BUSY;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A lock file taken away meanwhile locks nothing: the next run makes
    // another under the name, and locks that one.
    struct stat named;
    if (fstatat(staging_fd(), kLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameInode(named, held)) {
      lock_fd_ = std::move(lock);
      return ERROR_SUCCESS;
    }
    if (std::chrono::steady_clock::now() >= until) return ERROR_BUSY;
  }
}

// Written in place: a record cut off while being written names less, and a
// change is made only once it is whole on disk.
DWORD LockedAnchorDirectory::RecordChange(const std::string& contents, std::string* why) {
  struct stat st;
  const bool existed = fstatat(staging_fd(), kRecordName, &st, AT_SYMLINK_NOFOLLOW) == 0;
  UniqueFd fd(openat(staging_fd(), kRecordName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                     0600));
  if (!fd) return Failed("opening the record", why);
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "the record is not a file";
    return ERROR_ACCESS_DENIED;
  }
  DWORD code = ftruncate(fd.get(), 0) == 0 ? WriteAll(fd.get(), contents) : ErrorFromErrno(errno);
  if (code != ERROR_SUCCESS) *why = std::string("writing the record: ") + strerror(errno);
  // The next run finishes the change from this record: it must be on disk
  // before the anchors change, and so must its name.
  if (code == ERROR_SUCCESS && (fdatasync(fd.get()) != 0 || !fd.Close())) code = Failed("flushing the record", why);
  if (code == ERROR_SUCCESS && !existed && fsync(staging_fd()) != 0) code = Failed("flushing the record's name", why);
  // A record that may not be on disk is no promise to the next run either:
  // nothing was changed, so nothing is left to finish.
  if (code != ERROR_SUCCESS) ClearRecordedChange();
  return code;
}

namespace {

DWORD ReadRecord(int staging_fd, std::string* contents) {
  UniqueFd fd(openat(staging_fd, LockedAnchorDirectory::kRecordName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return ErrorFromErrno(errno);
  contents->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    if (n == 0) break;
    // Nothing of ours is larger: a record past that is not one.
    if (contents->size() > TKV_MAX_CERTIFICATE_FILE_SIZE) return ERROR_FILE_TOO_LARGE;
    contents->append(buffer, static_cast<size_t>(n));
  }
  // Emptied by a run cut off while it wrote the record: that change was
  // never made.
  return contents->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

}  // namespace

DWORD LockedAnchorDirectory::ReadRecordedChange(std::string* contents) const {
  return ReadRecord(staging_fd(), contents);
}

std::string PeekRecordedChange(int anchors_fd) {
  const UniqueFd staging(openat(anchors_fd, LockedAnchorDirectory::kStagingName,
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::string contents;
  if (!staging || ReadRecord(staging.get(), &contents) != ERROR_SUCCESS) contents.clear();
  return contents;
}

// Not flushed: a clear lost with the power only has the next run check the
// bundle once more.
bool LockedAnchorDirectory::ClearRecordedChange() {
  return unlinkat(staging_fd(), kRecordName, 0) == 0 || errno == ENOENT;
}

// Keeps what stands under `name` (a file or a link, as it is) under a backup
// name, so the change can be undone.
DWORD AnchorChange::BackUp(int parent_fd, const std::string& name, Undo* undo) {
  undo->parent.reset(fcntl(parent_fd, F_DUPFD_CLOEXEC, 0));
  if (!undo->parent) return ErrorFromErrno(errno);
  undo->name = name;
  if (!EntryExists(parent_fd, name)) return ERROR_SUCCESS;
  undo->backup = UnpredictableName(".bak");
  if (undo->backup.empty()) return ERROR_FUNCTION_FAILED;
  if (linkat(parent_fd, name.c_str(), staging_fd_, undo->backup.c_str(), 0) != 0) {
    return ErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

DWORD AnchorChange::Replace(int parent_fd, const std::string& name, const AnchorFile& file, std::string* why) {
  std::string temporary;
  if (StageFile(staging_fd_, "tkvcert-", file, &temporary) != ERROR_SUCCESS) {
    return Failed("writing " + name + " in staging", why);
  }
  Undo undo;
  if (BackUp(parent_fd, name, &undo) != ERROR_SUCCESS) {
    const DWORD code = Failed("keeping the old " + name, why);
    DiscardStaged(staging_fd_, temporary);
    return code;
  }
  // rename() replaces a link planted under the name; it never writes through it.
  if (renameat(staging_fd_, temporary.c_str(), parent_fd, name.c_str()) != 0) {
    const DWORD code = Failed("putting " + name + " in place", why);
    DiscardStaged(staging_fd_, temporary);
    if (!undo.backup.empty()) DiscardStaged(staging_fd_, undo.backup);
    return code;
  }
  undo_.push_back(std::move(undo));
  return fsync(parent_fd) == 0 ? ERROR_SUCCESS : Failed("flushing the directory of " + name, why);
}

DWORD AnchorChange::Remove(int parent_fd, const std::string& name, std::string* why) {
  if (!EntryExists(parent_fd, name)) {
    *why = name + ": gone";
    return ERROR_FILE_NOT_FOUND;
  }
  Undo undo;
  if (BackUp(parent_fd, name, &undo) != ERROR_SUCCESS) return Failed("keeping the old " + name, why);
  if (unlinkat(parent_fd, name.c_str(), 0) != 0) {
    const DWORD code = Failed("removing " + name, why);
    DiscardStaged(staging_fd_, undo.backup);
    return code;
  }
  undo_.push_back(std::move(undo));
  return fsync(parent_fd) == 0 ? ERROR_SUCCESS : Failed("flushing the directory of " + name, why);
}

bool AnchorChange::Commit(std::string* failure) {
  bool tidy = true;
  for (const Undo& undo : undo_) {
    if (undo.backup.empty() || unlinkat(staging_fd_, undo.backup.c_str(), 0) == 0) continue;
    if (tidy) *failure = undo.backup + ": " + strerror(errno);
    tidy = false;
  }
  undo_.clear();
  return tidy;
}

DWORD AnchorChange::Rollback(std::string* failure) {
  DWORD result = ERROR_SUCCESS;
  for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
    const int parent = it->parent.get();
    const bool put_back = (it->backup.empty()
                               ? unlinkat(parent, it->name.c_str(), 0) == 0 || errno == ENOENT
                               : renameat(staging_fd_, it->backup.c_str(), parent, it->name.c_str()) == 0) &&
                          fsync(parent) == 0;
    if (!put_back && result == ERROR_SUCCESS) {
      result = ErrorFromErrno(errno);
      *failure = it->name + ": " + strerror(errno);
    }
  }
  undo_.clear();
  return result;
}

}  // namespace tkv
