#include "platform/posix/base/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/posix/base/last_error.h"
#include "platform/posix/base/unique_fd.h"

namespace tkv {
namespace {

// errno says the cause too, for the admin's line.
DWORD CheckRegular(const struct stat& st, size_t max_size) {
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return ERROR_ACCESS_DENIED;
  }
  if (!S_ISREG(st.st_mode)) return ERROR_NOT_SUPPORTED;
  if (static_cast<unsigned long long>(st.st_size) > max_size) {
    errno = EFBIG;
    return ERROR_FILE_TOO_LARGE;
  }
  return ERROR_SUCCESS;
}

// Sized from fstat(), one byte over, so that a single read usually gets the
// whole file and shows that it ends there. A file that grows meanwhile is
// still read whole, up to the limit; one that fstat() cannot size (some
// pseudo-files say 0) is read to the end. `st` is the opened file's.
DWORD ReadOpened(int fd, const struct stat& st, size_t max_size, std::vector<BYTE>* contents) {
  if (DWORD code = CheckRegular(st, max_size)) return code;

  const size_t expected = static_cast<size_t>(st.st_size);
  const size_t limit = max_size + 1;
  contents->resize(expected + 1);
  size_t total = 0;
  for (;;) {
    const size_t wanted = contents->size() - total;
    const ssize_t n = read(fd, contents->data() + total, wanted);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total == expected && static_cast<size_t>(n) < wanted) break;
    if (total < contents->size()) continue;
    if (contents->size() == limit) break;
    contents->resize(std::min(limit, contents->size() * 2));
  }
  if (total > max_size) {  // it grew while we read
    errno = EFBIG;
    return ERROR_FILE_TOO_LARGE;
  }
  contents->resize(total);
  return ERROR_SUCCESS;
}

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Opens for reading the very file that `located` (an O_PATH descriptor)
// refers to, whatever its path names by now. Only /proc can do that; without
// it the file is refused rather than opened again by its path, which is what
// would let a swapped-in FIFO or device be opened.
UniqueFd ReopenForReading(int located, DWORD* code) {
  char proc_path[32];
  snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", located);
  UniqueFd fd(open(proc_path, kReadFlags));
  if (fd) return fd;
  if (errno == EACCES || errno == EPERM) {
    *code = ERROR_ACCESS_DENIED;  // the file's own permissions
  } else if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
    *code = ERROR_NOT_SUPPORTED;  // no /proc here
  } else {
    *code = ErrorFromErrno(errno);
  }
  return fd;
}

}  // namespace

// The path is resolved once, to a descriptor that opens nothing (O_PATH
// does not run a FIFO's or device's open), and everything after looks at that
// descriptor: a path swapped for a link to a FIFO between a check and an open
// cannot make this open the FIFO.
DWORD ReadRegularFile(const std::string& path, size_t max_size,
                      std::vector<BYTE>* contents) {
  UniqueFd located(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!located) return ErrorFromErrno(errno);
  return ReadLocatedFile(located.get(), max_size, contents);
}

DWORD ReadLocatedFile(int located, size_t max_size, std::vector<BYTE>* contents) {
  struct stat before;
  if (fstat(located, &before) != 0) return ErrorFromErrno(errno);
  if (DWORD code = CheckRegular(before, max_size)) return code;

  DWORD code = ERROR_SUCCESS;
  UniqueFd fd = ReopenForReading(located, &code);
  if (!fd) return code;
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0) return ErrorFromErrno(errno);
  if (opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
    return ERROR_NOT_SUPPORTED;  // not what was looked at: /proc is not the kernel's
  }
  return ReadOpened(fd.get(), opened, max_size, contents);
}

DWORD ReadOpenedFile(int fd, size_t max_size, std::vector<BYTE>* contents) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ErrorFromErrno(errno);
  return ReadOpened(fd, st, max_size, contents);
}

}  // namespace tkv
