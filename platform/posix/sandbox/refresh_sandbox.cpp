#include "platform/posix/sandbox/refresh_sandbox.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <utility>

#include "platform/posix/base/last_error.h"
#include "platform/posix/sandbox/refresh_command.h"

namespace tkv {
namespace {

// A refresh writes lists of names there, not bundles: enough for a store of
// a hundred thousand certificates, and not the machine's memory.
constexpr char kTmpSize[] = "67108864";

// The initial PID namespace, as every kernel numbers it.
constexpr char kInitialPidNamespace[] = "pid:[4026531836]";

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

void Mount(Sandbox* sandbox, const std::string& below_root, bool writable, const std::string& target) {
  const int number = 3 + static_cast<int>(sandbox->mounts.size());
  Add(sandbox, {writable ? "--bind-fd" : "--ro-bind-fd", std::to_string(number), target});
  sandbox->mounts.push_back({below_root});
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

void Start(std::shared_ptr<const SandboxSession> session, Sandbox* sandbox) {
  sandbox->session = std::move(session);
  sandbox->options = BaseOptions();
}

bool HasCapability(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  // Where the kernel cannot say, the calls that need it will.
  if (syscall(SYS_capget, &header, data) != 0) return true;
  return (data[capability / 32].effective & (1U << (capability % 32))) != 0;
}

// Where a container's rules, which no system call of ours can read, may
// refuse bubblewrap's own steps: "" when none is in force.
std::string Confinement() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 8, "Seccomp:") == 0 && line.find_first_of("12") != std::string::npos) {
      return "a seccomp filter";
    }
  }
  char ns[64] = {};
  const ssize_t n = readlink("/proc/self/ns/pid", ns, sizeof ns - 1);
  if (n > 0 && std::string(ns, static_cast<size_t>(n)) != kInitialPidNamespace) {
    return "a PID namespace of its own";
  }
  return "";
}

// The root's file systems as shown: the root's own writable, those that
// hold what the refresh reads or writes, each writable where it holds a
// directory the refresh writes; no other.
DWORD ShownMounts(const RootDirectory& root, const std::vector<std::string>& written,
                  const std::vector<std::string>& read, std::vector<ShownMount>* shown, std::string* why) {
  const std::vector<RootMount>* mounts = nullptr;
  if (DWORD code = root.Mounts(&mounts, why)) return code;
  std::vector<std::string> needed = written;
  needed.insert(needed.end(), read.begin(), read.end());
  for (const RootMount& mount : NeededMounts(*mounts, needed)) {
    ShownMount one;
    one.below_root = mount.below_root;
    one.top = mount.below_root.empty() ? UniqueFd(fcntl(root.fd(), F_DUPFD_CLOEXEC, 0))
                                       : OpenBeneathWithoutLinks(root.fd(), mount.below_root, O_PATH);
    if (!one.top || MountIdOf(one.top.get()) != mount.id) {
      *why = root.DisplayPath(mount.below_root) + " changed while the sandbox was being made";
      return ERROR_NOT_SUPPORTED;
    }
    one.writable = mount.below_root.empty() ||
                   std::any_of(written.begin(), written.end(),
                               [&mount](const std::string& dir) { return MountHolds(mount, dir); });
    shown->push_back(std::move(one));
  }
  return ERROR_SUCCESS;
}

// A program run the way this command will run the root's: the host's
// `true`, with the root read-only beside it. What bubblewrap meets of a
// container's rules shows here, before any change.
DWORD TryRunning(std::shared_ptr<const SandboxSession> session, std::string* why) {
  std::string program;
  for (const char* candidate : {"/usr/bin/true", "/bin/true"}) {
    if (access(candidate, X_OK) == 0 && program.empty()) program = candidate;
  }
  if (program.empty()) {
    *why = "no /usr/bin/true to try one with";
    return ERROR_NOT_SUPPORTED;
  }
  Sandbox trial;
  Start(std::move(session), &trial);
  HostPrograms(&trial);
  Add(&trial, {"--dev", "/dev"});
  Proc(&trial);
  Tmp(&trial);
  Mount(&trial, "", false, "/root");
  const RefreshOutcome outcome = RunRefreshCommand({program}, trial, -1, std::chrono::seconds(30));
  if (outcome.code == ERROR_SUCCESS) return ERROR_SUCCESS;
  const std::string said = outcome.errors.substr(0, outcome.errors.find('\n'));
  *why = !said.empty() ? said
         : outcome.code == ERROR_TIMEOUT ? "a trial run did not end"
                                         : "a trial run failed with status " + std::to_string(outcome.exit_status);
  return ERROR_NOT_SUPPORTED;
}

// Each mount cloned as a program's sandbox will clone it. Only what the
// refresh writes is idmapped: a read-only clone is shown as it is, so that
// root-only files on it are nobody's inside, not the sandbox root's.
DWORD TryClones(SandboxSession* session, std::string* why) {
  for (ShownMount& mount : session->mounts) {
    UniqueFd tree;
    mount.idmapped = session->mode == SandboxMode::kUserNamespace && mount.writable;
    const int user_namespace = mount.idmapped ? session->user_namespace.get() : -1;
    if (CloneMount(mount.top.get(), mount.writable, user_namespace, &tree, why) != ERROR_SUCCESS) {
      return ERROR_NOT_SUPPORTED;
    }
  }
  return ERROR_SUCCESS;
}

DWORD TryMode(const std::shared_ptr<SandboxSession>& session, SandboxMode mode, std::string* why) {
  session->mode = mode;
  session->user_namespace.reset();
  if (mode == SandboxMode::kUserNamespace) {
    if (DWORD code = MakeUserNamespace(&session->user_namespace, why)) return code;
  } else if (!HasCapability(CAP_NET_ADMIN)) {
    // Without a user namespace of its own, bubblewrap sets up the loopback
    // of the sandbox's network namespace with this process's capabilities.
    // Where the id maps were what failed, granting those is the better way.
    *why = !HasCapability(CAP_SETUID) || !HasCapability(CAP_SETGID)
               ? "this process lacks CAP_SETUID or CAP_SETGID, which a user namespace's id maps need (grant "
                 "both: podman or docker: --cap-add SETUID --cap-add SETGID; Kubernetes: "
                 "securityContext.capabilities.add)"
               : "this process lacks CAP_NET_ADMIN, which a sandbox as uid 0 needs (grant it, or let a user "
                 "namespace be made)";
    return ERROR_NOT_SUPPORTED;
  }
  if (DWORD code = TryClones(session.get(), why)) return code;
  const std::string confinement = Confinement();
  if (confinement.empty()) return ERROR_SUCCESS;
  // No system call of ours can read such rules: a program tells.
  if (TryRunning(session, why) == ERROR_SUCCESS) return ERROR_SUCCESS;
  *why += " (tried, as this process runs under " + confinement + ")";
  return ERROR_NOT_SUPPORTED;
}

constexpr char kNoSandbox[] = "no sandbox can be made here for another root's programs: ";

}  // namespace

DWORD ChooseSandbox(const Command& command, const RootDirectory& root, const std::vector<std::string>& written,
                    const std::vector<std::string>& read, std::shared_ptr<const SandboxSession>* chosen) {
  if (DWORD code = CheckSandboxSetting(command)) return code;
  const std::string& asked = command.settings().sandbox;
  if (!HasCapability(CAP_SYS_ADMIN)) {
    command.Complain(std::string(kNoSandbox) +
             "this process lacks CAP_SYS_ADMIN, which making one needs; in a container, grant it "
             "(podman or docker: --cap-add SYS_ADMIN; Kubernetes: securityContext.capabilities.add "
             "SYS_ADMIN, SETUID and SETGID)");
    return ERROR_NOT_SUPPORTED;
  }
  auto session = std::make_shared<SandboxSession>();
  std::string why;
  for (DWORD (*build)(UniqueFd*, std::string*) : {BuildSeccompFilter, BuildNewCallsFilter}) {
    session->filters.emplace_back();
    if (build(&session->filters.back(), &why) != ERROR_SUCCESS) {
      command.Complain(kNoSandbox + why);
      return ERROR_NOT_SUPPORTED;
    }
  }
  if (ShownMounts(root, written, read, &session->mounts, &why) != ERROR_SUCCESS) {
    command.Complain(kNoSandbox + why);
    return ERROR_NOT_SUPPORTED;
  }
  bool ready = false;
  if (asked != "proc-masks") {
    ready = TryMode(session, SandboxMode::kUserNamespace, &why) == ERROR_SUCCESS;
    if (!ready && asked == "userns") {
      command.Complain("TKVCERT_SANDBOX=userns, and no user namespace can be made here: " + why);
      return ERROR_NOT_SUPPORTED;
    }
    if (!ready) {
      command.Complain("another root's programs run as uid 0 without capabilities, with /proc masked: "
               "no user namespace can be made here: " + why);
    }
  }
  if (!ready && TryMode(session, SandboxMode::kProcMasks, &why) != ERROR_SUCCESS) {
    command.Complain(kNoSandbox + why);
    return ERROR_NOT_SUPPORTED;
  }
  // The kernel counts processes per user, never uid 0's: only a cgroup
  // bounds the fallback's. Memory, a cgroup bounds in both.
  const bool as_host_root = session->mode == SandboxMode::kProcMasks;
  std::string why_not;
  session->limits.MakeCgroups(as_host_root, &why_not);
  const bool processes = !as_host_root || session->limits.bounds_processes();
  const bool memory = session->limits.bounds_memory();
  if (!processes || !memory) {
    command.Complain(std::string("another root's programs run with their ") +
                     (!processes && !memory ? "processes and memory" : !processes ? "processes" : "memory") +
                     " unbounded: no cgroup for it can be made here (" + why_not + ")");
  }
  *chosen = std::move(session);
  return ERROR_SUCCESS;
}

bool SandboxAvailable() { return access(kSandboxProgram, X_OK) == 0; }

DWORD CheckSandboxSetting(const Command& command) {
  const std::string& asked = command.settings().sandbox;
  if (asked.empty() || asked == "userns" || asked == "proc-masks") return ERROR_SUCCESS;
  command.Complain("TKVCERT_SANDBOX is \"" + asked + "\"; it must be userns or proc-masks");
  return ERROR_NOT_SUPPORTED;
}

DWORD CheckRootShowable(const Command& command, const RootDirectory& root, const std::vector<std::string>& written) {
  const std::vector<RootMount>* mounts = nullptr;
  std::string why;
  if (root.Mounts(&mounts, &why) != ERROR_SUCCESS) {
    command.Complain("refusing " + root.path() + ": its file systems cannot be shown to a sandbox: " + why);
    return ERROR_NOT_SUPPORTED;
  }
  for (const std::string& dir : written) {
    const UniqueFd fd = root.OpenBelow(dir, O_PATH);
    if (!fd) continue;  // made by the refresh, in a directory it writes
    const uint64_t id = MountIdOf(fd.get());
    const auto on = std::find_if(mounts->begin(), mounts->end(), [id](const RootMount& m) { return m.id == id; });
    if (on != mounts->end() && MountHolds(*on, dir)) continue;
    command.Complain("refusing " + root.path() + ": its refresh writes " + root.DisplayPath(dir) + ", which is on " +
                     (on == mounts->end() ? std::string("a file system that a sandbox never shows")
                                          : "the file system mounted at " + root.DisplayPath(on->below_root) +
                                                ", which a sandbox shows read-only") +
                     "; nothing was changed");
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

DWORD PlanImageSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession> session,
                       Sandbox* sandbox) {
  Start(std::move(session), sandbox);
  Mount(sandbox, "", true, "/");
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

DWORD CheckLentPaths(const RootDirectory& root, const std::vector<LentPath>& lent) {
  for (const LentPath& path : lent) {
    const UniqueFd fd = root.OpenBelow(path.relative, O_PATH);
    if (!fd && errno == ENOENT && path.optional) continue;
    if (!fd) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    if (DWORD code = root.CheckTrusted(fd.get())) return code;
  }
  return ERROR_SUCCESS;
}

DWORD PlanHostToolSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession> session,
                          const std::vector<LentPath>& lent, const std::string& empty_dir,
                          Sandbox* sandbox) {
  if (DWORD code = CheckLentPaths(root, lent)) return code;
  Start(std::move(session), sandbox);
  HostPrograms(sandbox);
  Add(sandbox, {"--dev", "/dev"});
  Proc(sandbox);
  Tmp(sandbox);
  Add(sandbox, {"--dir", "/etc"});
  for (const LentPath& path : lent) {
    const std::string target = "/" + path.relative;
    if (!root.OpenBelow(path.relative, O_PATH)) {
      Add(sandbox, {"--dir", target});  // optional, and missing
      continue;
    }
    Mount(sandbox, path.relative, path.writable, target);
  }
  if (!empty_dir.empty()) Add(sandbox, {"--dir", "/" + empty_dir});
  return ERROR_SUCCESS;
}

}  // namespace tkv
