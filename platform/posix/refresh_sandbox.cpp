#include "platform/posix/refresh_sandbox.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/last_error.h"

namespace tkv {
namespace {

// What every sandbox is, before what it shows.
std::vector<std::string> BaseOptions() {
  // A mount namespace comes with every sandbox. No user namespace: run as
  // root, one would add nothing to dropping every capability.
  return {"--unshare-ipc", "--unshare-pid", "--unshare-net", "--unshare-uts", "--unshare-cgroup-try",
          "--die-with-parent", "--new-session", "--cap-drop", "ALL",
          "--clearenv", "--setenv", "PATH", "/usr/sbin:/usr/bin:/sbin:/bin",
          "--setenv", "LC_ALL", "C"};
}

void Mount(Sandbox* sandbox, UniqueFd fd, bool writable, const std::string& target) {
  const int number = 3 + static_cast<int>(sandbox->mounts.size());
  sandbox->options.insert(sandbox->options.end(),
                          {writable ? "--bind-fd" : "--ro-bind-fd", std::to_string(number), target});
  sandbox->mounts.push_back(std::move(fd));
}

void PrivateSystemDirs(Sandbox* sandbox) {
  sandbox->options.insert(sandbox->options.end(),
                          {"--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"});
}

// The host's /bin, /sbin and /lib* are links into /usr on a merged system
// and directories elsewhere: shown as they are.
void HostPrograms(Sandbox* sandbox) {
  sandbox->options.insert(sandbox->options.end(), {"--ro-bind", "/usr", "/usr"});
  for (const char* dir : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
    struct stat st;
    if (lstat(dir, &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlink(dir, target, sizeof target - 1);
      if (n <= 0) continue;
      sandbox->options.insert(sandbox->options.end(),
                              {"--symlink", std::string(target, static_cast<size_t>(n)), dir});
    } else if (S_ISDIR(st.st_mode)) {
      sandbox->options.insert(sandbox->options.end(), {"--ro-bind", dir, dir});
    }
  }
}

}  // namespace

bool SandboxAvailable() { return access(kSandboxProgram, X_OK) == 0; }

DWORD PlanImageSandbox(const RootDirectory& root, Sandbox* sandbox) {
  sandbox->options = BaseOptions();
  UniqueFd top(fcntl(root.fd(), F_DUPFD_CLOEXEC, 0));
  if (!top) return ErrorFromErrno(errno);
  Mount(sandbox, std::move(top), true, "/");
  // Mount points are made only where the image has them: an image is not
  // given directories of ours.
  const std::pair<const char*, std::vector<std::string>> system_dirs[] = {
      {"dev", {"--dev", "/dev"}}, {"proc", {"--proc", "/proc"}}, {"tmp", {"--tmpfs", "/tmp"}}};
  for (const auto& [dir, options] : system_dirs) {
    if (!OpenBeneathWithoutLinks(root.fd(), dir, O_PATH | O_DIRECTORY)) continue;
    sandbox->options.insert(sandbox->options.end(), options.begin(), options.end());
  }
  return ERROR_SUCCESS;
}

DWORD PlanHostToolSandbox(const RootDirectory& root, const std::vector<LentPath>& lent,
                          const std::string& empty_dir, Sandbox* sandbox) {
  sandbox->options = BaseOptions();
  HostPrograms(sandbox);
  PrivateSystemDirs(sandbox);
  sandbox->options.insert(sandbox->options.end(), {"--dir", "/etc"});
  for (const LentPath& path : lent) {
    const std::string target = "/" + path.relative;
    UniqueFd fd = root.OpenBelow(path.relative, O_PATH);
    if (!fd && errno == ENOENT && path.optional) {
      sandbox->options.insert(sandbox->options.end(), {"--dir", target});
      continue;
    }
    if (!fd) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    if (DWORD code = root.CheckTrusted(fd.get())) return code;
    Mount(sandbox, std::move(fd), path.writable, target);
  }
  if (!empty_dir.empty()) sandbox->options.insert(sandbox->options.end(), {"--dir", "/" + empty_dir});
  return ERROR_SUCCESS;
}

}  // namespace tkv
