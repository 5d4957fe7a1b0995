#include "platform/posix/refresh_sandbox.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <utility>

#include "platform/posix/complaint.h"
#include "platform/posix/last_error.h"
#include "platform/posix/refresh_command.h"

namespace tkv {
namespace {

// A refresh writes lists of names there, not bundles: enough for a store of
// a hundred thousand certificates, and not the machine's memory.
constexpr char kTmpSize[] = "67108864";

// What every sandbox is, before what it shows. No user namespace of
// bubblewrap's own: the tool has made the one it runs in.
std::vector<std::string> BaseOptions() {
  return {"--unshare-ipc", "--unshare-pid", "--unshare-net", "--unshare-uts", "--unshare-cgroup-try",
          "--die-with-parent", "--new-session", "--cap-drop", "ALL",
          "--clearenv", "--setenv", "PATH", "/usr/sbin:/usr/bin:/sbin:/bin",
          "--setenv", "LC_ALL", "C"};
}

void Add(Sandbox* sandbox, std::initializer_list<std::string> options) {
  sandbox->options.insert(sandbox->options.end(), options);
}

void Mount(Sandbox* sandbox, const std::string& below_root, UniqueFd fd, bool writable,
           const std::string& target) {
  const int number = 3 + static_cast<int>(sandbox->mounts.size());
  Add(sandbox, {writable ? "--bind-fd" : "--ro-bind-fd", std::to_string(number), target});
  sandbox->mounts.push_back({below_root, std::move(fd)});
}

bool HostHas(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A private /proc. As the host's uid 0 it shows what would reach the host:
// runc's defaults make what reaches the kernel's settings read-only and hide
// what shows other users' doings. A user namespace's root can write none of
// the host's settings, only those of the sandbox's own namespaces: /proc/sys
// read-only keeps even those.
void Proc(Sandbox* sandbox) {
  Add(sandbox, {"--proc", "/proc"});
  if (sandbox->session->mode == SandboxMode::kUserNamespace) {
    Add(sandbox, {"--ro-bind", "/proc/sys", "/proc/sys"});
    return;
  }
  for (const char* name : {"asound", "bus", "fs", "irq", "sys", "sysrq-trigger"}) {
    const std::string path = std::string("/proc/") + name;
    if (HostHas(path)) Add(sandbox, {"--ro-bind", path, path});
  }
  for (const char* name : {"kcore", "keys", "latency_stats", "timer_list", "timer_stats", "sched_debug"}) {
    const std::string path = std::string("/proc/") + name;
    if (HostHas(path)) Add(sandbox, {"--ro-bind", "/dev/null", path});
  }
  for (const char* name : {"acpi", "scsi"}) {
    const std::string path = std::string("/proc/") + name;
    if (HostHas(path)) Add(sandbox, {"--tmpfs", path, "--remount-ro", path});
  }
}

void Tmp(Sandbox* sandbox) { Add(sandbox, {"--size", kTmpSize, "--tmpfs", "/tmp"}); }

// The host's /bin, /sbin and /lib* are links into /usr on a merged system
// and directories elsewhere: shown as they are.
void HostPrograms(Sandbox* sandbox) {
  Add(sandbox, {"--ro-bind", "/usr", "/usr"});
  for (const char* dir : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
    struct stat st;
    if (lstat(dir, &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlink(dir, target, sizeof target - 1);
      if (n <= 0) continue;
      Add(sandbox, {"--symlink", std::string(target, static_cast<size_t>(n)), dir});
    } else if (S_ISDIR(st.st_mode)) {
      Add(sandbox, {"--ro-bind", dir, dir});
    }
  }
}

void Start(const RootDirectory& root, std::shared_ptr<const SandboxSession> session, Sandbox* sandbox) {
  sandbox->session = std::move(session);
  sandbox->root.reset(fcntl(root.fd(), F_DUPFD_CLOEXEC, 0));
  sandbox->options = BaseOptions();
}

// A program run the way this command will run the root's: the host's
// `true`, with the root read-only beside it. What the kernel, bubblewrap or
// a container around us refuses shows here, before any change.
DWORD TryRunning(const RootDirectory& root, std::shared_ptr<const SandboxSession> session, std::string* why) {
  std::string program;
  for (const char* candidate : {"/usr/bin/true", "/bin/true"}) {
    if (access(candidate, X_OK) == 0 && program.empty()) program = candidate;
  }
  if (program.empty()) {
    *why = "no /usr/bin/true to try one with";
    return ERROR_NOT_SUPPORTED;
  }
  Sandbox trial;
  Start(root, std::move(session), &trial);
  HostPrograms(&trial);
  Add(&trial, {"--dev", "/dev"});
  Proc(&trial);
  Tmp(&trial);
  Mount(&trial, "", UniqueFd(fcntl(root.fd(), F_DUPFD_CLOEXEC, 0)), false, "/root");
  const RefreshOutcome outcome =
      RunRefreshCommand({program}, trial, -1, std::chrono::seconds(30));
  if (outcome.code == ERROR_SUCCESS) return ERROR_SUCCESS;
  const std::string said = outcome.errors.substr(0, outcome.errors.find('\n'));
  *why = !said.empty() ? said
         : outcome.code == ERROR_TIMEOUT ? "a trial run did not end"
                                         : "a trial run failed with status " + std::to_string(outcome.exit_status);
  return ERROR_NOT_SUPPORTED;
}

DWORD TryUserNamespace(const RootDirectory& root, const std::shared_ptr<SandboxSession>& session,
                       std::string* why) {
  session->mode = SandboxMode::kUserNamespace;
  if (DWORD code = MakeUserNamespace(&session->user_namespace, why)) return code;
  UniqueFd tree;
  if (DWORD code = CloneIdmapped(root.fd(), session->user_namespace.get(), &tree, why)) return code;
  return TryRunning(root, session, why);
}

DWORD ChooseSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession>* chosen) {
  const char* value = getenv("TKVCERT_SANDBOX");
  const std::string asked = value != nullptr ? value : "";
  if (!asked.empty() && asked != "userns" && asked != "proc-masks") {
    Complain("TKVCERT_SANDBOX is \"" + asked + "\"; it must be userns or proc-masks");
    return ERROR_NOT_SUPPORTED;
  }
  auto session = std::make_shared<SandboxSession>();
  std::string why;
  if (BuildSeccompFilter(&session->filter, &why) != ERROR_SUCCESS) {
    Complain("no sandbox can be made here for another root's programs: " + why);
    return ERROR_NOT_SUPPORTED;
  }
  if (asked != "proc-masks") {
    if (TryUserNamespace(root, session, &why) == ERROR_SUCCESS) {
      *chosen = std::move(session);
      return ERROR_SUCCESS;
    }
    if (asked == "userns") {
      Complain("TKVCERT_SANDBOX=userns, and no user namespace can be made here: " + why);
      return ERROR_NOT_SUPPORTED;
    }
    Complain("another root's programs run as uid 0 without capabilities, with /proc masked: "
             "no user namespace can be made here: " + why);
    session->user_namespace.reset();
  }
  session->mode = SandboxMode::kProcMasks;
  if (TryRunning(root, session, &why) != ERROR_SUCCESS) {
    Complain("no sandbox can be made here for another root's programs: " + why);
    return ERROR_NOT_SUPPORTED;
  }
  *chosen = std::move(session);
  return ERROR_SUCCESS;
}

}  // namespace

bool SandboxAvailable() { return access(kSandboxProgram, X_OK) == 0; }

DWORD CommandSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession>* session) {
  // A command works on one root; a process that opens several (a test) has
  // each tried once.
  static std::map<std::pair<dev_t, ino_t>, std::pair<DWORD, std::shared_ptr<const SandboxSession>>> chosen;
  struct stat st;
  if (fstat(root.fd(), &st) != 0) return ErrorFromErrno(errno);
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  auto found = chosen.find(key);
  if (found == chosen.end()) {
    std::shared_ptr<const SandboxSession> made;
    const DWORD code = ChooseSandbox(root, &made);
    found = chosen.emplace(key, std::make_pair(code, std::move(made))).first;
  }
  *session = found->second.second;
  return found->second.first;
}

DWORD PlanImageSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession> session,
                       Sandbox* sandbox) {
  Start(root, std::move(session), sandbox);
  UniqueFd top(fcntl(root.fd(), F_DUPFD_CLOEXEC, 0));
  if (!top) return ErrorFromErrno(errno);
  Mount(sandbox, "", std::move(top), true, "/");
  // Mount points are made only where the image has them: an image is not
  // given directories of ours.
  auto has = [&root](const char* dir) {
    return static_cast<bool>(OpenBeneathWithoutLinks(root.fd(), dir, O_PATH | O_DIRECTORY));
  };
  if (has("dev")) Add(sandbox, {"--dev", "/dev"});
  if (has("proc")) Proc(sandbox);
  if (has("tmp")) Tmp(sandbox);
  return ERROR_SUCCESS;
}

DWORD PlanHostToolSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession> session,
                          const std::vector<LentPath>& lent, const std::string& empty_dir,
                          Sandbox* sandbox) {
  Start(root, std::move(session), sandbox);
  HostPrograms(sandbox);
  Add(sandbox, {"--dev", "/dev"});
  Proc(sandbox);
  Tmp(sandbox);
  Add(sandbox, {"--dir", "/etc"});
  for (const LentPath& path : lent) {
    const std::string target = "/" + path.relative;
    UniqueFd fd = root.OpenBelow(path.relative, O_PATH);
    if (!fd && errno == ENOENT && path.optional) {
      Add(sandbox, {"--dir", target});
      continue;
    }
    if (!fd) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    if (DWORD code = root.CheckTrusted(fd.get())) return code;
    Mount(sandbox, path.relative, std::move(fd), path.writable, target);
  }
  if (!empty_dir.empty()) Add(sandbox, {"--dir", "/" + empty_dir});
  return ERROR_SUCCESS;
}

}  // namespace tkv
