#include "platform/posix/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>
#include <iterator>

#include "platform/posix/complaint.h"
#include "platform/posix/stop_point.h"

#ifndef TIOCLINUX
#define TIOCLINUX 0x541C
#endif
#ifndef CLONE_NEWTIME
#define CLONE_NEWTIME 0x00000080
#endif

namespace tkv {
namespace {

// Descriptors the child needs wait up here, out of the way of the numbers
// it hands them on at.
constexpr int kParkedFds = 100;

std::string Reason(const char* what, int err) { return std::string(what) + ": " + strerror(err); }

// ---- The user namespace --------------------------------------------------

// A process that only holds the new namespace while its maps are written.
// It shares our memory, so it makes system calls only; it keeps no
// descriptor of ours but the pipe it waits on, which ends when we close it
// or die.
alignas(16) char holder_stack[16 * 1024];

int HoldNamespace(void* wait_fd_arg) {
  const int wait_fd = *static_cast<int*>(wait_fd_arg);
  syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  syscall(SYS_close_range, 0, wait_fd - 1, 0);
  syscall(SYS_close_range, wait_fd + 1, ~0U, 0);
  char byte;
  while (syscall(SYS_read, wait_fd, &byte, 1) < 0 && errno == EINTR) {
  }
  return 0;
}

bool WriteProcFile(pid_t pid, const char* name, const std::string& text) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  const UniqueFd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// ---- The seccomp filter --------------------------------------------------

struct BlockedCall {
  const char* name;
  int error;
  bool conditional = false;
  scmp_arg_cmp condition{};
};

scmp_arg_cmp ArgMaskedEquals(unsigned arg, scmp_datum_t mask, scmp_datum_t value) {
  return {arg, SCMP_CMP_MASKED_EQ, mask, value};
}

// What a program run for a root has no use for, and what the host's uid 0
// without capabilities could still reach the host with.
std::vector<BlockedCall> BlockedCalls() {
  std::vector<BlockedCall> calls = {
      // Keyrings: uid 0 finds root's own keys without any capability.
      {"keyctl", EPERM}, {"add_key", EPERM}, {"request_key", EPERM},
      // Other processes' memory, and the kernel's debugging and programmable surfaces.
      {"ptrace", EPERM}, {"process_vm_readv", EPERM}, {"process_vm_writev", EPERM},
      {"perf_event_open", EPERM}, {"bpf", EPERM}, {"userfaultfd", EPERM},
      // The mount family: the sandbox's view of files is made before it runs.
      {"mount", EPERM}, {"umount", EPERM}, {"umount2", EPERM}, {"pivot_root", EPERM},
      {"chroot", EPERM},
      // The new mount API answers "not there", so that a program falls back
      // to the old one, which answers no.
      {"open_tree", ENOSYS}, {"move_mount", ENOSYS}, {"fsopen", ENOSYS}, {"fsconfig", ENOSYS},
      {"fsmount", ENOSYS}, {"fspick", ENOSYS}, {"mount_setattr", ENOSYS},
      // Namespaces: a new user namespace would give it capabilities again.
      {"unshare", EPERM}, {"setns", EPERM},
      // clone3 passes its flags in memory, out of the filter's reach: "not
      // there" makes the C library fall back to clone, whose flags it sees.
      {"clone3", ENOSYS},
      // Old or rarely needed, and the kernel's to decide, not a refresh's.
      {"uselib", EPERM}, {"acct", EPERM}, {"quotactl", EPERM}, {"syslog", EPERM},
      {"kexec_load", EPERM}, {"kexec_file_load", EPERM}, {"init_module", EPERM},
      {"finit_module", EPERM}, {"delete_module", EPERM},
      // Pushing input into a terminal, or reading its screen. The command is
      // an int: compare its low 32 bits only, or 0x1_00005412 slips past.
      {"ioctl", EPERM, true, ArgMaskedEquals(1, 0xFFFFFFFFu, TIOCSTI)},
      {"ioctl", EPERM, true, ArgMaskedEquals(1, 0xFFFFFFFFu, TIOCLINUX)},
      // Personalities other than Linux's own (READ_IMPLIES_EXEC,
      // ADDR_NO_RANDOMIZE...) weaken what the kernel protects.
      {"personality", EPERM, true, {0, SCMP_CMP_GT, PER_LINUX32, 0}},
  };
  // One row a namespace flag: libseccomp has no "masked not equal".
  for (const scmp_datum_t flag : {CLONE_NEWNS, CLONE_NEWUSER, CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWUTS,
                                  CLONE_NEWIPC, CLONE_NEWCGROUP, CLONE_NEWTIME}) {
    calls.push_back({"clone", EPERM, true, ArgMaskedEquals(0, flag, flag)});
  }
  return calls;
}

// A 64-bit program can make the calls of the 32-bit ABIs its processor runs.
const uint32_t kCompatArchitectures[] = {
#if defined(__x86_64__)
    SCMP_ARCH_X86, SCMP_ARCH_X32,
#elif defined(__aarch64__)
    SCMP_ARCH_ARM,
#endif
    0};

// ---- The child, between fork and exec -----------------------------------

// Everything the child uses, made before it exists: from the fork to the
// exec it only makes system calls.
struct ChildPlan {
  bool idmapped = false;
  int in = -1, out = -1, err = -1;
  int alive = -1, alive_write = -1;
  int tree = -1, user_namespace = -1, filter = -1;
  std::vector<int> mount_fds;           // without idmapping: opened by us
  std::vector<const char*> below_root;  // with idmapping: opened by the child in its tree
  std::vector<char*> argv;
  std::vector<char*> envp;
};

// Where the child attaches the idmapped tree: a tmpfs of its own over /tmp,
// reachable by the namespace's root whatever the directories above the root
// allow, and where bubblewrap makes its scratch directory instead of the
// host's /tmp.
constexpr char kScratch[] = "/tmp";
constexpr char kTreeMountPoint[] = "/tmp/root";

void WriteText(int fd, const char* text) {
  ssize_t ignored = syscall(SYS_write, fd, text, strlen(text));
  (void)ignored;
}

// "tkvcert sandbox: <step> failed: <errno name>", then out.
[[noreturn]] void StepFailed(const char* step) {
  const char* name = strerrorname_np(errno);
  WriteText(2, "tkvcert sandbox: ");
  WriteText(2, step);
  WriteText(2, " failed: ");
  WriteText(2, name != nullptr ? name : "unknown error");
  WriteText(2, "\n");
  syscall(SYS_exit_group, 126);
  __builtin_unreachable();
}

// Puts `fd` at `number`, open across the exec.
void HandOn(int fd, int number, const char* step) {
  if (fd == number) {
    if (syscall(SYS_fcntl, fd, F_SETFD, 0) != 0) StepFailed(step);
  } else if (syscall(SYS_dup3, fd, number, 0) < 0) {
    StepFailed(step);
  }
}

// Closes every descriptor from `first` on: close_range where the kernel has
// it, else each one /proc lists.
void CloseFrom(int first) {
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
  const int dir = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/fd",
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir < 0) StepFailed("closing descriptors");
  alignas(8) char buffer[4096];
  for (long n; (n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0;) {
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      int fd = 0;
      for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
      if (entry->d_name[0] != '.' && fd >= first && fd != dir) syscall(SYS_close, fd);
      at += entry->d_reclen;
    }
  }
  syscall(SYS_close, dir);
}

// The root's idmapped tree at kTreeMountPoint in a mount namespace of the
// child's own, and the paths to mount opened in it, at 3 + i.
void AttachTree(const ChildPlan& plan) {
  if (syscall(SYS_unshare, CLONE_NEWNS) != 0) StepFailed("a mount namespace");
  // Nothing attached here may propagate back to the host's mounts.
  if (syscall(SYS_mount, nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    StepFailed("making mounts private");
  }
  if (syscall(SYS_mount, "tkvcert", kScratch, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=1m") != 0 ||
      syscall(SYS_mkdirat, AT_FDCWD, kTreeMountPoint, 0755) != 0) {
    StepFailed("a scratch directory");
  }
  if (syscall(SYS_move_mount, plan.tree, "", AT_FDCWD, kTreeMountPoint, MOVE_MOUNT_F_EMPTY_PATH) != 0) {
    StepFailed("attaching the idmapped root");
  }
  for (size_t i = 0; i < plan.below_root.size(); ++i) {
    open_how how{};
    how.flags = O_PATH;  // no O_CLOEXEC: bubblewrap mounts it
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, plan.tree, plan.below_root[i], &how, sizeof how);
    if (fd < 0) StepFailed("opening a path of the idmapped root");
    HandOn(static_cast<int>(fd), 3 + static_cast<int>(i), "handing on a path");
    if (fd != 3 + static_cast<long>(i)) syscall(SYS_close, fd);
  }
}

// Leaves host root's groups while still allowed to, then becomes the
// namespace's root: from here on the host's root-owned files are nobody's.
void EnterUserNamespace(const ChildPlan& plan) {
  if (syscall(SYS_setgroups, 0, nullptr) != 0) StepFailed("dropping groups");
  if (syscall(SYS_setns, plan.user_namespace, CLONE_NEWUSER) != 0) StepFailed("joining the user namespace");
  if (syscall(SYS_setresgid, 0, 0, 0) != 0 || syscall(SYS_setresuid, 0, 0, 0) != 0) {
    StepFailed("becoming the namespace's root");
  }
}

// The kernel clears a parent-death signal when the user ID changes, so it is
// set after the last change; a tool already gone by then is seen here.
void DieWithTheTool(const ChildPlan& plan) {
  StopPoint("sandbox-child-before-death-signal", plan.alive);
  if (syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) StepFailed("a parent-death signal");
  StopPoint("sandbox-child-before-parent-check", plan.alive);
  pollfd alive = {plan.alive, POLLIN, 0};
  const timespec now = {0, 0};
  if (syscall(SYS_ppoll, &alive, 1, &now, nullptr, 0) != 0) syscall(SYS_exit_group, 126);
}

[[noreturn]] void RunChild(const ChildPlan& plan) {
  syscall(SYS_close, plan.alive_write);  // the tool's alone: its end tells the child it is gone
  // Below the parked descriptors: nothing of ours or the caller's may take
  // a number we hand on.
  syscall(SYS_close_range, 3, kParkedFds - 1, 0);
  HandOn(plan.in, 0, "standard input");
  HandOn(plan.out, 1, "standard output");
  HandOn(plan.err, 2, "standard error");
  StopPoint("sandbox-child-started", plan.alive);
  const int mounts = static_cast<int>(plan.idmapped ? plan.below_root.size() : plan.mount_fds.size());
  if (plan.idmapped) {
    AttachTree(plan);
    StopPoint("sandbox-child-attached", plan.alive);
    EnterUserNamespace(plan);
  } else {
    for (int i = 0; i < mounts; ++i) HandOn(plan.mount_fds[static_cast<size_t>(i)], 3 + i, "handing on a path");
  }
  HandOn(plan.filter, 3 + mounts, "handing on the filter");
  DieWithTheTool(plan);
  CloseFrom(4 + mounts);
  syscall(SYS_execve, kSandboxProgram, plan.argv.data(), plan.envp.data());
  StepFailed("starting bubblewrap");
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

DWORD MakeUserNamespace(UniqueFd* user_namespace, std::string* why) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why = Reason("a pipe", errno);
    return ERROR_NOT_SUPPORTED;
  }
  UniqueFd wait_end(fcntl(fds[0], F_DUPFD_CLOEXEC, kParkedFds));
  UniqueFd hold_end(fds[1]);
  close(fds[0]);
  int wait_fd = wait_end.get();
  const pid_t pid = clone(HoldNamespace, holder_stack + sizeof holder_stack,
                          CLONE_VM | CLONE_NEWUSER | SIGCHLD, &wait_fd);
  if (pid < 0) {
    *why = Reason("a user namespace", errno);
    return ERROR_NOT_SUPPORTED;
  }
  StopPoint("sandbox-user-namespace-made");
  const std::string map = "0 " + std::to_string(kSandboxHostIdBase) + " " +
                          std::to_string(kSandboxIdCount) + "\n";
  DWORD code = ERROR_SUCCESS;
  if (!WriteProcFile(pid, "uid_map", map) || !WriteProcFile(pid, "setgroups", "deny\n") ||
      !WriteProcFile(pid, "gid_map", map)) {
    *why = Reason("the user namespace's id maps", errno);
    code = ERROR_NOT_SUPPORTED;
  } else {
    user_namespace->reset(open(("/proc/" + std::to_string(pid) + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC));
    if (!*user_namespace) {
      *why = Reason("the user namespace", errno);
      code = ERROR_NOT_SUPPORTED;
    }
  }
  hold_end.reset();
  while (waitpid(pid, nullptr, __WALL) < 0 && errno == EINTR) {
  }
  return code;
}

DWORD CloneIdmapped(int root_fd, int user_namespace, UniqueFd* tree, std::string* why) {
  // Not recursive: a mount left inside an image stays out of its sandbox.
  tree->reset(static_cast<int>(syscall(SYS_open_tree, root_fd, "",
                                       OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH)));
  if (!*tree) {
    *why = Reason("a clone of the root's mount", errno);
    return ERROR_NOT_SUPPORTED;
  }
  mount_attr attr{};
  attr.attr_set = MOUNT_ATTR_IDMAP | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV;
  attr.userns_fd = static_cast<uint64_t>(user_namespace);
  if (syscall(SYS_mount_setattr, tree->get(), "", AT_EMPTY_PATH, &attr, sizeof attr) != 0) {
    *why = Reason("an idmapped mount of the root", errno);
    tree->reset();
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

DWORD BuildSeccompFilter(UniqueFd* filter, std::string* why) {
  const std::unique_ptr<void, void (*)(scmp_filter_ctx)> context(seccomp_init(SCMP_ACT_ALLOW),
                                                                   seccomp_release);
  if (!context) {
    *why = "a seccomp filter: libseccomp failed";
    return ERROR_NOT_SUPPORTED;
  }
  int failed = 0;
  for (const uint32_t* arch = kCompatArchitectures; *arch != 0; ++arch) {
    const int rc = seccomp_arch_add(context.get(), *arch);
    if (rc != 0 && rc != -EEXIST) failed = rc;
  }
  for (const BlockedCall& call : BlockedCalls()) {
    const int number = seccomp_syscall_resolve_name(call.name);
    if (number == __NR_SCMP_ERROR) continue;  // not on this architecture
    const int rc = call.conditional
                       ? seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(call.error), number, 1, call.condition)
                       : seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(call.error), number, 0);
    if (rc != 0) failed = rc;
  }
  filter->reset(memfd_create("tkvcert-seccomp", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (failed != 0 || !*filter || seccomp_export_bpf(context.get(), filter->get()) != 0 ||
      fcntl(filter->get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    *why = failed != 0 ? Reason("a seccomp filter", -failed) : Reason("a seccomp filter", errno);
    filter->reset();
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

DWORD StartInSandbox(const Sandbox& sandbox, const std::vector<std::string>& argv, int in, int out,
                     int err, SandboxedProcess* started) {
  const SandboxSession& session = *sandbox.session;
  std::vector<UniqueFd> parked;
  auto park = [&parked](int fd) {
    parked.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, kParkedFds));
    return parked.back().get();
  };
  ChildPlan plan;
  plan.idmapped = session.mode == SandboxMode::kUserNamespace;
  UniqueFd tree;
  if (plan.idmapped) {
    std::string why;
    // A tree serves one program: attached in a mount namespace that then
    // dies, it is gone.
    if (DWORD code = CloneIdmapped(sandbox.root.get(), session.user_namespace.get(), &tree, &why)) {
      Complain("the sandbox chosen for this command cannot be made now: " + why);
      return code;
    }
    plan.tree = park(tree.get());
    plan.user_namespace = park(session.user_namespace.get());
    for (const SandboxMount& mount : sandbox.mounts) {
      plan.below_root.push_back(mount.below_root.empty() ? "." : mount.below_root.c_str());
    }
  } else {
    for (const SandboxMount& mount : sandbox.mounts) plan.mount_fds.push_back(park(mount.fd.get()));
  }
  // Every bubblewrap reads the filter from its start; the offset is shared.
  if (lseek(session.filter.get(), 0, SEEK_SET) != 0) return ERROR_FUNCTION_FAILED;
  plan.filter = park(session.filter.get());
  plan.in = park(in);
  plan.out = park(out);
  plan.err = park(err);
  int alive[2];
  if (pipe2(alive, O_CLOEXEC) != 0) return ERROR_FUNCTION_FAILED;
  UniqueFd alive_read(alive[0]);
  started->alive.reset(alive[1]);
  plan.alive = park(alive_read.get());
  plan.alive_write = started->alive.get();
  for (const UniqueFd& fd : parked) {
    if (!fd) return ERROR_FUNCTION_FAILED;
  }

  std::vector<std::string> line = {kSandboxProgram};
  line.insert(line.end(), sandbox.options.begin(), sandbox.options.end());
  line.insert(line.end(), {"--seccomp", std::to_string(3 + sandbox.mounts.size()), "--chdir", "/", "--"});
  line.insert(line.end(), argv.begin(), argv.end());
  std::vector<std::string> environment(std::begin(kProgramEnvironment), std::end(kProgramEnvironment));
  plan.argv = CStrings(line);
  plan.envp = CStrings(environment);

  // Like fork, without the C library's handlers: a PID namespace whose first
  // process becomes bubblewrap, so that when it dies, with the tool, the
  // kernel ends everything else in the sandbox too.
  const long pid = syscall(SYS_clone, SIGCHLD | CLONE_NEWPID, nullptr, nullptr, nullptr, nullptr);
  if (pid < 0) return ERROR_FUNCTION_FAILED;
  if (pid == 0) RunChild(plan);
  started->pid = static_cast<pid_t>(pid);
  StopPoint("sandbox-started");
  return ERROR_SUCCESS;
}

}  // namespace tkv
