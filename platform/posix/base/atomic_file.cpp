#include "platform/posix/base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/base/unpredictable_name.h"

namespace tkv {
namespace {

DWORD FillIn(int fd, const NewFile& file) {
  if (DWORD code = WriteAll(fd, file.contents)) return code;
  if ((file.uid != static_cast<uid_t>(-1) || file.gid != static_cast<gid_t>(-1)) &&
      fchown(fd, file.uid, file.gid) != 0) {
    return ErrorFromErrno(errno);
  }
  if (fchmod(fd, file.mode) != 0 || fsync(fd) != 0) return ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

// What a run killed midway left. One that cannot be removed is only a name
// no reader reads, taken up again by the next write of the same kind.
void RemoveLeftovers(int dir_fd, const std::string& prefix) {
  for (const std::string& name : EntryNames(dir_fd)) {
    if (name.compare(0, prefix.size(), prefix) == 0) DiscardStaged(dir_fd, name);
  }
}

}  // namespace

DWORD WriteAll(int fd, const std::string& contents) {
  for (size_t written = 0; written < contents.size();) {
    const ssize_t n = write(fd, contents.data() + written, contents.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    written += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

DWORD StageFile(int stage_fd, const std::string& prefix, const NewFile& file, std::string* staged) {
  const std::string suffix = UnpredictableHex();
  if (suffix.empty()) return ERROR_FUNCTION_FAILED;
  *staged = prefix + suffix;
  UniqueFd fd(openat(stage_fd, staged->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600));
  if (!fd) return ErrorFromErrno(errno);
  DWORD code = FillIn(fd.get(), file);
  // Closed before it is renamed in: a watcher of the destination hears of
  // the file once, complete.
  if (!fd.Close() && code == ERROR_SUCCESS) code = ErrorFromErrno(errno);
  if (code != ERROR_SUCCESS) {
    const KeepErrors failure;
    DiscardStaged(stage_fd, *staged);
  }
  return code;
}

DWORD WriteAtomically(int stage_fd, const std::string& prefix, int dest_fd, const std::string& name,
                      const NewFile& file) {
  RemoveLeftovers(stage_fd, prefix);
  std::string staged;
  if (DWORD code = StageFile(stage_fd, prefix, file, &staged)) return code;
  if (renameat(stage_fd, staged.c_str(), dest_fd, name.c_str()) != 0) {
    const DWORD code = ErrorFromErrno(errno);
    const KeepErrors failure;
    DiscardStaged(stage_fd, staged);
    return code;
  }
  // In place, and not yet for good until its directory is on disk too.
  return fsync(dest_fd) == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
}

void DiscardStaged(int stage_fd, const std::string& staged) {
  // Nothing reads a staged name: one that cannot be removed is left for the
  // next write of its kind, or the next lock of the store, to remove.
  static_cast<void>(unlinkat(stage_fd, staged.c_str(), 0));
}

}  // namespace tkv
