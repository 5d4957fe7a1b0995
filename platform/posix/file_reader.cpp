#include "platform/posix/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/last_error.h"
#include "platform/posix/unique_fd.h"

namespace tkv {
namespace {

DWORD CheckRegular(const struct stat& st, size_t max_size) {
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!S_ISREG(st.st_mode)) return ERROR_NOT_SUPPORTED;
  if (static_cast<unsigned long long>(st.st_size) > max_size) return ERROR_FILE_TOO_LARGE;
  return ERROR_SUCCESS;
}

// Sized from fstat(), one byte over, so that a single read usually gets the
// whole file and shows that it ends there. A file that grows meanwhile is
// still read whole, up to the limit; one that fstat() cannot size (some
// pseudo-files say 0) is read to the end.
DWORD ReadOpened(int fd, size_t max_size, std::vector<BYTE>* contents) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ErrorFromErrno(errno);
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
  if (total > max_size) return ERROR_FILE_TOO_LARGE;  // it grew while we read
  contents->resize(total);
  return ERROR_SUCCESS;
}

UniqueFd OpenForReading(const std::string& path) {
  return UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

}  // namespace

DWORD ReadRegularFile(const std::string& path, size_t max_size,
                      std::vector<BYTE>* contents) {
  struct stat before;
  if (stat(path.c_str(), &before) != 0) return ErrorFromErrno(errno);
  if (DWORD code = CheckRegular(before, max_size)) return code;
  return ReadListedRegularFile(path, max_size, contents);
}

DWORD ReadListedRegularFile(const std::string& path, size_t max_size,
                            std::vector<BYTE>* contents) {
  UniqueFd fd = OpenForReading(path);
  if (!fd) return ErrorFromErrno(errno);
  // The path may have been swapped for something else since it was looked at.
  return ReadOpened(fd.get(), max_size, contents);
}

}  // namespace tkv
