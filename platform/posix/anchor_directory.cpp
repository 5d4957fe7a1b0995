#include "platform/posix/anchor_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/posix/last_error.h"

namespace tkv {
namespace {

std::string UnpredictableName(const char* suffix) {
  unsigned char random[12];
  // The kernel's generator: OpenSSL's would first seed itself, which costs
  // more than the rest of an install.
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return "";
  char text[sizeof random * 2 + 1];
  size_t length = 0;
  if (OPENSSL_buf2hexstr_ex(text, sizeof text, &length, random, sizeof random, '\0') != 1) {
    return "";
  }
  return std::string("tkvcert-") + text + suffix;
}

DWORD WriteAll(int fd, const std::string& contents) {
  size_t written = 0;
  while (written < contents.size()) {
    const ssize_t n = write(fd, contents.data() + written, contents.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    written += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

// A new file under an unpredictable name, written and flushed to disk.
DWORD WriteTemporary(int staging_fd, const std::string& contents, std::string* name) {
  *name = UnpredictableName(".tmp");
  if (name->empty()) return ERROR_FUNCTION_FAILED;
  UniqueFd fd(openat(staging_fd, name->c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return ErrorFromErrno(errno);
  DWORD code = WriteAll(fd.get(), contents);
  if (code == ERROR_SUCCESS && fchmod(fd.get(), 0644) != 0) code = ErrorFromErrno(errno);
  if (code == ERROR_SUCCESS && fsync(fd.get()) != 0) code = ErrorFromErrno(errno);
  if (code != ERROR_SUCCESS) unlinkat(staging_fd, name->c_str(), 0);
  return code;
}

void RemoveAllIn(int dir_fd) {
  const int listing_fd = dup(dir_fd);
  if (listing_fd < 0) return;
  DIR* dir = fdopendir(listing_fd);
  if (dir == nullptr) {
    close(listing_fd);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      unlinkat(dir_fd, entry->d_name, 0);
    }
  }
  closedir(dir);
}

bool Exists(int dir_fd, const std::string& name) {
  struct stat st;
  return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

DWORD LockedAnchorDirectory::Open(const std::string& path, std::chrono::milliseconds patience,
                                  LockedAnchorDirectory* out) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return ErrorFromErrno(errno);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return ErrorFromErrno(errno);
    if (std::chrono::steady_clock::now() >= deadline) return ERROR_BUSY;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  out->fd_ = std::move(fd);
  return out->OpenStaging();
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
  // Under the lock nothing in staging belongs to a change in progress.
  RemoveAllIn(staging_fd_.get());
  return ERROR_SUCCESS;
}

AnchorChange::~AnchorChange() { Rollback(); }

// Keeps what stands under `name` (a file or a link, as it is) under a backup
// name, so the change can be undone.
DWORD AnchorChange::BackUp(const std::string& name, Undo* undo) {
  undo->name = name;
  if (!Exists(dir_fd_, name)) return ERROR_SUCCESS;
  undo->backup = UnpredictableName(".bak");
  if (undo->backup.empty()) return ERROR_FUNCTION_FAILED;
  if (linkat(dir_fd_, name.c_str(), staging_fd_, undo->backup.c_str(), 0) != 0) {
    return ErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

DWORD AnchorChange::Replace(const std::string& name, const std::string& contents) {
  std::string temporary;
  if (DWORD code = WriteTemporary(staging_fd_, contents, &temporary)) return code;
  Undo undo;
  if (DWORD code = BackUp(name, &undo)) {
    unlinkat(staging_fd_, temporary.c_str(), 0);
    return code;
  }
  // rename() replaces a link planted under the name; it never writes through it.
  if (renameat(staging_fd_, temporary.c_str(), dir_fd_, name.c_str()) != 0) {
    const DWORD code = ErrorFromErrno(errno);
    unlinkat(staging_fd_, temporary.c_str(), 0);
    if (!undo.backup.empty()) unlinkat(staging_fd_, undo.backup.c_str(), 0);
    return code;
  }
  undo_.push_back(undo);
  fsync(dir_fd_);
  return ERROR_SUCCESS;
}

DWORD AnchorChange::Remove(const std::string& name) {
  if (!Exists(dir_fd_, name)) return ERROR_FILE_NOT_FOUND;
  Undo undo;
  if (DWORD code = BackUp(name, &undo)) return code;
  if (unlinkat(dir_fd_, name.c_str(), 0) != 0) {
    const DWORD code = ErrorFromErrno(errno);
    unlinkat(staging_fd_, undo.backup.c_str(), 0);
    return code;
  }
  undo_.push_back(undo);
  fsync(dir_fd_);
  return ERROR_SUCCESS;
}

void AnchorChange::Commit() {
  for (const Undo& undo : undo_) {
    if (!undo.backup.empty()) unlinkat(staging_fd_, undo.backup.c_str(), 0);
  }
  undo_.clear();
}

void AnchorChange::Rollback() {
  for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
    if (it->backup.empty()) {
      unlinkat(dir_fd_, it->name.c_str(), 0);
    } else {
      renameat(staging_fd_, it->backup.c_str(), dir_fd_, it->name.c_str());
    }
  }
  if (!undo_.empty()) fsync(dir_fd_);
  undo_.clear();
}

}  // namespace tkv
