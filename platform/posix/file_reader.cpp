#include "platform/posix/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

DWORD ReadRegularFile(const std::string& path, size_t max_size,
                      std::vector<BYTE>* contents) {
  struct stat before;
  if (stat(path.c_str(), &before) != 0) return ErrorFromErrno(errno);
  if (DWORD code = CheckRegular(before, max_size)) return code;

  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return ErrorFromErrno(errno);
  // The path may have been swapped for something else since stat().
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0) return ErrorFromErrno(errno);
  if (DWORD code = CheckRegular(opened, max_size)) return code;

  contents->clear();
  contents->resize(max_size + 1);
  size_t total = 0;
  while (total < contents->size()) {
    const ssize_t n = read(fd.get(), contents->data() + total, contents->size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  if (total > max_size) return ERROR_FILE_TOO_LARGE;  // it grew while we read
  contents->resize(total);
  return ERROR_SUCCESS;
}

}  // namespace tkv
