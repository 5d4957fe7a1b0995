#include "platform/posix/base/root_directory.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "platform/posix/base/last_error.h"
#include "platform/posix/base/ownership.h"

namespace tkv {
namespace {

constexpr char kAnotherUser[] = " another user could change what the machine trusts";

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

DWORD Absolute(const std::string& path, std::string* absolute) {
  if (!path.empty() && path[0] == '/') {
    *absolute = path;
    return ERROR_SUCCESS;
  }
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return ErrorFromErrno(errno);
  *absolute = std::string(cwd) + "/" + path;
  return ERROR_SUCCESS;
}

bool SameFile(int fd, const char* path) {
  struct stat a;
  struct stat b;
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Walks `absolute` from "/" one name at a time, each looked up in the
// descriptor of the one before and none of them a link, so that what is
// checked is what is kept. Run as root, each directory a name is looked up
// in must be one where only root can change that name.
DWORD WalkFromTop(const std::string& absolute, bool check_owners, UniqueFd* out, std::string* refusal) {
  UniqueFd dir(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return ErrorFromErrno(errno);
  for (size_t start = 0; start < absolute.size();) {
    size_t end = absolute.find('/', start);
    if (end == std::string::npos) end = absolute.size();
    const std::string name = absolute.substr(start, end - start);
    const std::string walked = start > 1 ? absolute.substr(0, start - 1) : "/";
    start = end + 1;
    if (name.empty() || name == ".") continue;
    struct stat st;
    if (check_owners && fstat(dir.get(), &st) != 0) return ErrorFromErrno(errno);
    if (check_owners && !KeepsRootsNames(st)) {
      *refusal = walked + ": " + WhyNotOwnedAlone(st, 0) + " and not sticky, so" + kAnotherUser;
      return ERROR_ACCESS_DENIED;
    }
    UniqueFd next(OpenAt2(dir.get(), name, O_PATH | O_DIRECTORY, 0, RESOLVE_NO_SYMLINKS));
    if (!next && errno == ELOOP) {
      *refusal = absolute.substr(0, end) + ": a symbolic link, which could be swapped between a check and a use";
      return ERROR_ACCESS_DENIED;
    }
    if (!next) return ErrorFromErrno(errno);
    dir = std::move(next);
  }
  *out = std::move(dir);
  return ERROR_SUCCESS;
}

// The path the kernel gives an open file.
std::string PathOf(int fd) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return n <= 0 || n == sizeof path ? "" : std::string(path, static_cast<size_t>(n));
}

// As the kernel allows when it resolves a path.
constexpr int kMaxLinks = 40;

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> names;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && path.compare(start, end - start, ".") != 0) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace

DWORD RootDirectory::Open(const std::string& path, std::shared_ptr<const RootDirectory>* out,
                          std::string* refusal) {
  std::string absolute;
  if (DWORD code = Absolute(path, &absolute)) return code;
  const bool as_root = geteuid() == 0;
  auto root = std::make_shared<RootDirectory>();
  std::string ignored;
  if (refusal == nullptr) refusal = &ignored;
  if (DWORD code = WalkFromTop(absolute, as_root, &root->fd_, refusal)) return code;
  root->host_ = SameFile(root->fd(), "/");
  root->path_ = root->host_ ? "/" : absolute;
  root->checks_ownership_ = as_root && !root->host_;
  if (DWORD code = root->CheckTrusted(root->fd(), refusal)) return code;
  *out = std::move(root);
  return ERROR_SUCCESS;
}

std::string RootDirectory::DisplayPath(const std::string& relative) const {
  return host_ ? "/" + relative : path_ + "/" + relative;
}

UniqueFd RootDirectory::OpenBelow(const std::string& relative, int flags, mode_t mode) const {
  return UniqueFd(OpenAt2(fd(), relative, flags, mode, RESOLVE_IN_ROOT));
}

UniqueFd OpenBeneathWithoutLinks(int dir_fd, const std::string& relative, int flags) {
  return UniqueFd(OpenAt2(dir_fd, relative, flags, 0, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS));
}

DWORD RootDirectory::Mounts(const std::vector<RootMount>** mounts, std::string* why) const {
  if (!mounts_read_) {
    mounts_code_ = ListRootMounts(fd(), &mounts_, &mounts_why_);
    mounts_read_ = true;
  }
  *mounts = &mounts_;
  *why = mounts_why_;
  return mounts_code_;
}

DWORD RootDirectory::CheckWritable(int fd, const std::string& relative, std::string* why) const {
  if (host_) return ERROR_SUCCESS;
  const std::vector<RootMount>* mounts = nullptr;
  std::string unknown;
  if (Mounts(&mounts, &unknown) != ERROR_SUCCESS) {
    *why = path_ + ": " + unknown;
    return ERROR_ACCESS_DENIED;
  }
  const uint64_t id = MountIdOf(fd);
  for (const RootMount& mount : *mounts) {
    if (mount.id != id) continue;
    if (MountHolds(mount, relative)) return ERROR_SUCCESS;
    *why = PathOf(fd) + ": on the file system mounted at " + DisplayPath(mount.below_root) + ", which holds no " +
           relative + " of the root's";
    return ERROR_ACCESS_DENIED;
  }
  *why = PathOf(fd) + ": on a mount that is none of the root's own file systems (a kernel "
         "interface, or what is mounted at the root's run, tmp, proc, sys or dev)";
  return ERROR_ACCESS_DENIED;
}

DWORD RootDirectory::CheckTrusted(int fd, std::string* why) const {
  if (!checks_ownership_) return ERROR_SUCCESS;
  std::string owner;
  const DWORD code = CheckRootsAlone(fd, &owner);
  if (code == ERROR_ACCESS_DENIED && why != nullptr) *why = PathOf(fd) + ": " + owner + ", so" + kAnotherUser;
  return code;
}

DWORD RootDirectory::CheckTrusted(const std::string& relative, std::string* why) const {
  if (!checks_ownership_) return ERROR_SUCCESS;
  // The directories walked so far, the root's top first: ".." goes back
  // one, an absolute link back to the top.
  std::vector<UniqueFd> way;
  way.emplace_back(fcntl(fd(), F_DUPFD_CLOEXEC, 0));
  std::deque<std::string> names = Components(relative);
  for (int links = 0; !names.empty();) {
    const std::string name = names.front();
    names.pop_front();
    if (name == "..") {
      if (way.size() > 1) way.pop_back();
      continue;
    }
    const int dir = way.back().get();
    if (DWORD code = CheckTrusted(dir, why)) return code;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
      if (n <= 0 || n == sizeof target) return ErrorFromErrno(n < 0 ? errno : ENAMETOOLONG);
      if (++links > kMaxLinks) return ErrorFromErrno(ELOOP);
      if (target[0] == '/') way.resize(1);
      const std::deque<std::string> more = Components(std::string(target, static_cast<size_t>(n)));
      names.insert(names.begin(), more.begin(), more.end());
      continue;
    }
    // Root's alone, the directory keeps this name for what was looked at.
    UniqueFd next(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
    if (!S_ISDIR(st.st_mode) && !names.empty()) return ERROR_SUCCESS;  // leads nowhere
    way.push_back(std::move(next));
  }
  return CheckTrusted(way.back().get(), why);
}

}  // namespace tkv
