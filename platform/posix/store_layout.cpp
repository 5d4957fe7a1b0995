#include "platform/posix/store_layout.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/last_error.h"
#include "platform/posix/refresh_command.h"

namespace tkv {
namespace {

// Searched in the root first, so an image refreshes with its own tool, then
// on the host. Never PATH: the tool runs as root.
const char* const kProgramDirs[] = {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"};

std::string UnderRoot(const std::string& root, const std::string& path) {
  return root == "/" ? path : root + path;
}

// Inside another root the certificate directories are given relative to
// etc/ssl/certs, where Debian's tool works, so that the links it makes
// resolve inside the image as well.
std::vector<std::string> DebianOptions(const std::string& root) {
  const bool host = root == "/";
  return {"--certsconf", UnderRoot(root, "/etc/ca-certificates.conf"),
          "--certsdir", host ? "/usr/share/ca-certificates" : "../../../usr/share/ca-certificates",
          "--localcertsdir",
          host ? "/usr/local/share/ca-certificates" : "../../../usr/local/share/ca-certificates",
          "--etccertsdir", UnderRoot(root, "/etc/ssl/certs"),
          "--hooksdir", UnderRoot(root, "/etc/ca-certificates/update.d")};
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Replaces the bundle with an empty one, atomically, as the refresh would.
DWORD WriteEmptyBundle(const std::string& bundle) {
  const std::string temporary = bundle + ".tkvcert-empty";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return ERROR_FUNCTION_FAILED;
  const bool written = fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  close(fd);
  if (!written || rename(temporary.c_str(), bundle.c_str()) != 0) {
    unlink(temporary.c_str());
    return ERROR_FUNCTION_FAILED;
  }
  return ERROR_SUCCESS;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A refresh that runs inside the root must be found there; one that takes
// the root's directories may also be the host's.
std::string FindProgram(const std::string& root, const StoreLayout& layout) {
  for (const std::string& base : {root, std::string("/")}) {
    for (const char* dir : kProgramDirs) {
      const std::string candidate = UnderRoot(base, std::string(dir) + layout.refresh_program);
      if (IsExecutableFile(candidate)) return candidate;
    }
    if (base == "/" || !layout.refresh_takes_directories) break;
  }
  return "";
}

}  // namespace

const std::vector<StoreLayout>& StoreLayouts() {
  // Debian's and openSUSE's refresh share a name; Debian's configuration
  // file tells them apart.
  static const std::vector<StoreLayout> layouts = {
      {"Debian, Ubuntu", "/usr/local/share/ca-certificates", ".crt", "/etc/ca-certificates.conf",
       "update-ca-certificates", nullptr, true, "/etc/ssl/certs/ca-certificates.crt"},
      {"Fedora, RHEL", "/etc/pki/ca-trust/source/anchors", "", nullptr, "update-ca-trust",
       "extract", false, nullptr},
      {"Arch", "/etc/ca-certificates/trust-source/anchors", "", nullptr, "update-ca-trust",
       nullptr, false, nullptr},
      {"openSUSE, SLES", "/etc/pki/trust/anchors", "", nullptr, "update-ca-certificates",
       nullptr, false, nullptr},
  };
  return layouts;
}

std::string SystemRoot() {
  const char* configured = getenv("TKVCERT_SYSROOT");
  if (configured == nullptr || configured[0] == '\0') return "/";
  char resolved[PATH_MAX];
  if (realpath(configured, resolved) == nullptr) return configured;  // fails to locate later
  return resolved;
}

DWORD LocateStore(const std::string& root, StoreLocation* location) {
  if (!IsDirectory(root)) return ERROR_FILE_NOT_FOUND;
  for (const StoreLayout& layout : StoreLayouts()) {
    const std::string anchors = UnderRoot(root, layout.anchors_dir);
    if (!IsDirectory(anchors)) continue;
    if (layout.marker != nullptr && !Exists(UnderRoot(root, layout.marker))) continue;
    const std::string program = FindProgram(root, layout);
    if (program.empty()) continue;
    *location = StoreLocation{&layout, root, anchors, program};
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD PlanRefresh(const StoreLocation& location, RefreshCommand* command) {
  const StoreLayout& layout = *location.layout;
  const bool inside_root = location.root != "/" && !layout.refresh_takes_directories;
  if (inside_root && geteuid() != 0) return ERROR_PRIVILEGE_NOT_HELD;
  command->chroot_dir = inside_root ? location.root : "";
  // Inside the root the program is named as the root sees it.
  command->argv = {inside_root ? location.refresh_path.substr(location.root.size())
                               : location.refresh_path};
  if (layout.refresh_argument != nullptr) command->argv.push_back(layout.refresh_argument);
  if (layout.refresh_takes_directories) {
    const std::vector<std::string> options = DebianOptions(location.root);
    command->argv.insert(command->argv.end(), options.begin(), options.end());
  }
  return ERROR_SUCCESS;
}

DWORD RefreshStore(const StoreLocation& location, int lock_fd) {
  const StoreLayout& layout = *location.layout;
  std::string bundle;
  struct stat before;
  bool had_bundle = false;
  if (layout.stale_bundle != nullptr) {
    bundle = UnderRoot(location.root, layout.stale_bundle);
    had_bundle = lstat(bundle.c_str(), &before) == 0 && S_ISREG(before.st_mode);
  }
  RefreshCommand command;
  if (DWORD code = PlanRefresh(location, &command)) return code;
  if (DWORD code = RunRefreshCommand(command.argv, command.chroot_dir, lock_fd)) return code;
  // Removing the last certificate would otherwise leave it trusted.
  struct stat after;
  if (had_bundle && lstat(bundle.c_str(), &after) == 0 && SameFile(before, after) &&
      after.st_size > 0) {
    return WriteEmptyBundle(bundle);
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
