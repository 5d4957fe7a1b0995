#include "platform/posix/root_directory.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/last_error.h"

namespace tkv {
namespace {

bool RunAsRoot() { return geteuid() == 0; }

// Others may add names to a sticky directory (/tmp), but not rename or
// remove the ones root owns there.
bool SafeAncestor(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == 0 &&
         ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// Each prefix of the path as given: a link on the way that another user
// made (say /tmp/img -> /) would hand them the choice of root.
DWORD CheckLinksOnTheWay(const std::string& path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    struct stat st;
    if (!prefix.empty() && lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        st.st_uid != 0) {
      return ERROR_ACCESS_DENIED;
    }
    if (slash == std::string::npos) return ERROR_SUCCESS;
  }
}

DWORD CheckAncestors(const std::string& resolved) {
  for (size_t slash = 0; slash != std::string::npos && slash < resolved.size();
       slash = resolved.find('/', slash + 1)) {
    const std::string ancestor = slash == 0 ? "/" : resolved.substr(0, slash);
    struct stat st;
    if (stat(ancestor.c_str(), &st) != 0) return ErrorFromErrno(errno);
    if (!SafeAncestor(st)) return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

int OpenAt2(int dir_fd, const std::string& relative, int flags, mode_t mode, uint64_t resolve) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
  how.resolve = resolve | RESOLVE_NO_MAGICLINKS;
  const char* name = relative.empty() ? "." : relative.c_str();
  for (int attempt = 0;; ++attempt) {
    const long fd = syscall(SYS_openat2, dir_fd, name, &how, sizeof how);
    // A rename elsewhere during the lookup: the kernel asks for a retry.
    if (fd < 0 && errno == EAGAIN && attempt < 16) continue;
    return static_cast<int>(fd);
  }
}

}  // namespace

bool OwnedByRootAlone(const struct stat& st) {
  return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

DWORD RootDirectory::Open(const std::string& path, std::shared_ptr<const RootDirectory>* out) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return ErrorFromErrno(errno);
    absolute = std::string(cwd) + "/" + absolute;
  }
  const bool image = absolute.find_first_not_of('/') != std::string::npos;
  if (image && RunAsRoot()) {
    if (DWORD code = CheckLinksOnTheWay(absolute)) return code;
  }
  char resolved[PATH_MAX];
  if (realpath(absolute.c_str(), resolved) == nullptr) return ErrorFromErrno(errno);

  auto root = std::make_shared<RootDirectory>();
  root->path_ = resolved;
  root->fd_.reset(open(resolved, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root->fd_) return ErrorFromErrno(errno);
  if (!root->is_host() && RunAsRoot()) {
    if (DWORD code = CheckAncestors(root->path_)) return code;
    struct stat st;
    if (fstat(root->fd(), &st) != 0) return ErrorFromErrno(errno);
    if (!OwnedByRootAlone(st)) return ERROR_ACCESS_DENIED;
  }
  *out = std::move(root);
  return ERROR_SUCCESS;
}

std::string RootDirectory::HostPath(const std::string& relative) const {
  return is_host() ? "/" + relative : path_ + "/" + relative;
}

UniqueFd RootDirectory::OpenBelow(const std::string& relative, int flags, mode_t mode) const {
  return UniqueFd(OpenAt2(fd(), relative, flags, mode, RESOLVE_IN_ROOT));
}

UniqueFd RootDirectory::OpenBelowWithoutLinks(const std::string& relative, int flags) const {
  return OpenBeneathWithoutLinks(fd(), relative, flags);
}

UniqueFd OpenBeneathWithoutLinks(int dir_fd, const std::string& relative, int flags) {
  return UniqueFd(OpenAt2(dir_fd, relative, flags, 0, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS));
}

DWORD RootDirectory::CheckDirectoriesTrusted(const std::string& relative) const {
  if (is_host() || !RunAsRoot()) return ERROR_SUCCESS;
  for (size_t slash = relative.find('/');; slash = relative.find('/', slash + 1)) {
    const UniqueFd fd = OpenBelow(relative.substr(0, slash), O_PATH);
    if (!fd) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return ErrorFromErrno(errno);
    if (!OwnedByRootAlone(st)) return ERROR_ACCESS_DENIED;
    if (slash == std::string::npos) return ERROR_SUCCESS;
  }
}

}  // namespace tkv
