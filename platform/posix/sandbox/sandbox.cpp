#include "platform/posix/sandbox/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <linux/net.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <iterator>

#include "platform/posix/base/errno_name.h"
#include "platform/posix/base/kernel_api.h"
#include "platform/posix/base/stop_point.h"

#ifndef TIOCLINUX
#define TIOCLINUX 0x541C
#endif
#ifndef CLONE_NEWTIME
#define CLONE_NEWTIME 0x00000080
#endif

namespace tkv {
namespace {

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
      // A second way to make system calls, out of the filter's sight: an
      // operation queued through io_uring is never seen here.
      {"io_uring_setup", ENOSYS}, {"io_uring_enter", ENOSYS}, {"io_uring_register", ENOSYS},
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
      // vsock reaches the hypervisor's agents, past the sandbox's network
      // namespace. The family is an int: its low 32 bits only.
      {"socket", EAFNOSUPPORT, true, ArgMaskedEquals(0, 0xFFFFFFFFu, AF_VSOCK)},
      // A 32-bit x86 program's socketcall keeps the family in memory, out
      // of the filter's sight: every socket it would make is refused (a
      // refresh needs none), its other operations are not. libseccomp 2.5
      // adds this itself for the row above; said here, it holds without.
      {"socketcall", EAFNOSUPPORT, true, {0, SCMP_CMP_EQ, SYS_SOCKET, 0}},
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

// ---- Calls newer than libseccomp knows ------------------------------------

// On x86_64 a call with this bit set is x32's.
constexpr uint32_t kX32Bit = 0x40000000;
// x32's own calls: the kernel numbers them from 512, and adds no more there.
constexpr int kX32OwnFirst = 512;
constexpr int kX32OwnScanFrom = 600;

// The highest number libseccomp knows for `arch` from `from` down to `to`
// (with x32's bit added for x32); -1 for none.
int HighestKnown(uint32_t arch, int from, int to) {
  for (int n = from; n >= to; --n) {
    const int number = arch == SCMP_ARCH_X32 ? static_cast<int>(kX32Bit | static_cast<uint32_t>(n)) : n;
    if (char* name = seccomp_syscall_resolve_num_arch(arch, number)) {
      free(name);
      return n;
    }
  }
  return -1;
}

sock_filter Statement(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter Jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) { return BPF_JUMP(code, k, jt, jf); }

constexpr uint32_t kNotThere = SECCOMP_RET_ERRNO | ENOSYS;

// For one architecture, the call number loaded: above `highest`, "not there".
std::vector<sock_filter> AboveHighest(uint32_t highest) {
  return {Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          Jump(BPF_JMP | BPF_JGT | BPF_K, highest, 0, 1),
          Statement(BPF_RET | BPF_K, kNotThere),
          Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
}

#if defined(__x86_64__)
// x86_64's, and x32's, told apart by the bit: each above what is known of it.
std::vector<sock_filter> X86_64AboveHighest(uint32_t highest, uint32_t x32_highest, uint32_t x32_own_highest) {
  return {Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          Jump(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 3),
          Jump(BPF_JMP | BPF_JGT | BPF_K, kX32Bit | x32_own_highest, 3, 0),
          Jump(BPF_JMP | BPF_JGE | BPF_K, kX32Bit | kX32OwnFirst, 3, 0),
          Jump(BPF_JMP | BPF_JGT | BPF_K, kX32Bit | x32_highest, 1, 2),
          Jump(BPF_JMP | BPF_JGT | BPF_K, highest, 0, 1),
          Statement(BPF_RET | BPF_K, kNotThere),
          Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
}
#endif

// The program: for each architecture the process can call in, its check;
// any other is left to the main filter, which kills it.
std::vector<sock_filter> NewCallsProgram() {
  std::vector<std::pair<uint32_t, std::vector<sock_filter>>> checks;
#if defined(__x86_64__)
  checks.emplace_back(AUDIT_ARCH_X86_64,
                      X86_64AboveHighest(static_cast<uint32_t>(HighestKnown(SCMP_ARCH_X86_64, kX32OwnFirst - 1, 0)),
                                         static_cast<uint32_t>(HighestKnown(SCMP_ARCH_X32, kX32OwnFirst - 1, 0)),
                                         static_cast<uint32_t>(HighestKnown(SCMP_ARCH_X32, kX32OwnScanFrom, kX32OwnFirst))));
  checks.emplace_back(AUDIT_ARCH_I386, AboveHighest(static_cast<uint32_t>(HighestKnown(SCMP_ARCH_X86, kX32OwnFirst - 1, 0))));
#elif defined(__aarch64__)
  checks.emplace_back(AUDIT_ARCH_AARCH64, AboveHighest(static_cast<uint32_t>(HighestKnown(SCMP_ARCH_AARCH64, 1023, 0))));
  checks.emplace_back(AUDIT_ARCH_ARM, AboveHighest(static_cast<uint32_t>(HighestKnown(SCMP_ARCH_ARM, 1023, 0))));
#else
  const uint32_t native = seccomp_arch_native();
  checks.emplace_back(native, AboveHighest(static_cast<uint32_t>(HighestKnown(native, 1023, 0))));
#endif
  std::vector<sock_filter> program = {Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch))};
  for (const auto& [arch, check] : checks) {
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, static_cast<uint8_t>(check.size())));
    program.insert(program.end(), check.begin(), check.end());
  }
  program.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return program;
}

// A sealed memory file holding `bytes`, as bubblewrap reads a filter.
DWORD SealedFile(const void* bytes, size_t size, UniqueFd* file) {
  file->reset(memfd_create("tkvcert-seccomp", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!*file || write(file->get(), bytes, size) != static_cast<ssize_t>(size) ||
      fcntl(file->get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    file->reset();
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

// ---- The child, between fork and exec -----------------------------------

// Everything the child uses, made before it exists: from the fork to the
// exec it only makes system calls.
struct ChildPlan {
  bool user_namespace_mode = false;
  int in = -1, out = -1, err = -1;
  int alive = -1, alive_write = -1;
  std::vector<int> trees;               // the root's mounts, cloned; its own first
  std::vector<const char*> tree_places;  // where each goes below the root
  int user_namespace = -1;
  std::vector<const char*> below_root;  // paths bubblewrap mounts, opened in the attached root
  std::vector<int> filters;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

// Where the child attaches the root: a tmpfs of its own over /tmp,
// reachable by the namespace's root whatever the directories above the root
// allow, and where bubblewrap makes its scratch directory instead of the
// host's /tmp.
constexpr char kScratch[] = "/tmp";
constexpr char kTreeMountPoint[] = "/tmp/root";

void WriteText(int fd, const char* text) {
  ssize_t ignored = syscall(SYS_write, fd, text, strlen(text));
  (void)ignored;
}

// "tkvcert sandbox: <step> failed: <errno name>", then out; "errno <n>"
// for a value without a name, in digits written by hand: nothing here may
// take a lock.
[[noreturn]] void StepFailed(const char* step) {
  const int value = errno;
  const char* name = ErrnoName(value);
  char number[12];
  if (name == nullptr) {
    char* at = number + sizeof number;
    *--at = '\0';
    unsigned rest = static_cast<unsigned>(value);
    do {
      *--at = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0);
    name = at;
  }
  WriteText(2, "tkvcert sandbox: ");
  WriteText(2, step);
  WriteText(2, " failed: ");
  if (name != nullptr && name[0] >= '0' && name[0] <= '9') WriteText(2, "errno ");
  WriteText(2, name);
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

long OpenInTree(int tree, const char* below_root, uint64_t resolve) {
  open_how how{};
  how.flags = O_PATH;  // no O_CLOEXEC: bubblewrap mounts it
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS | resolve;
  return syscall(SYS_openat2, tree, below_root, &how, sizeof how);
}

// The root's clones at kTreeMountPoint in a mount namespace of the child's
// own, each at its place (never through a link), and the paths to mount
// opened in it, at 3 + i. A /proc of the child's own PID namespace first:
// bubblewrap reads /proc/<pid>/ns of its own processes, which a container's
// /proc does not show.
void AttachTrees(const ChildPlan& plan) {
  if (syscall(SYS_unshare, CLONE_NEWNS) != 0) StepFailed("a mount namespace");
  // Nothing attached here may propagate back to the host's mounts.
  if (syscall(SYS_mount, nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    StepFailed("making mounts private");
  }
  // Where this cannot be, the /proc there serves as it does on a host.
  syscall(SYS_mount, "proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
  if (syscall(SYS_mount, "tkvcert", kScratch, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=1m") != 0 ||
      syscall(SYS_mkdirat, AT_FDCWD, kTreeMountPoint, 0755) != 0) {
    StepFailed("a scratch directory");
  }
  const int root = plan.trees[0];
  if (syscall(SYS_move_mount, root, "", AT_FDCWD, kTreeMountPoint, MOVE_MOUNT_F_EMPTY_PATH) != 0) {
    StepFailed("attaching the root");
  }
  for (size_t i = 1; i < plan.trees.size(); ++i) {
    const long place = OpenInTree(root, plan.tree_places[i], RESOLVE_NO_SYMLINKS);
    if (place < 0 || syscall(SYS_move_mount, plan.trees[i], "", place, "",
                             MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
      StepFailed("attaching a file system of the root");
    }
    syscall(SYS_close, place);
  }
  for (size_t i = 0; i < plan.below_root.size(); ++i) {
    const long fd = OpenInTree(root, plan.below_root[i], 0);
    if (fd < 0) StepFailed("opening a path of the root");
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

// At most `value`, hard and soft; never above what the tool was given.
void Limit(int resource, rlim_t value) {
  rlimit limit{};
  if (syscall(SYS_prlimit64, 0, resource, nullptr, &limit) != 0) StepFailed("limiting the sandbox");
  if (limit.rlim_max > value) limit.rlim_max = value;
  limit.rlim_cur = limit.rlim_max;
  if (syscall(SYS_prlimit64, 0, resource, &limit, nullptr) != 0) StepFailed("limiting the sandbox");
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
  AttachTrees(plan);
  StopPoint("sandbox-child-attached", plan.alive);
  if (plan.user_namespace_mode) {
    EnterUserNamespace(plan);
    // Counted for the namespace's root, a block of host ids of its own.
    Limit(RLIMIT_NPROC, kSandboxProcesses);
  }
  Limit(RLIMIT_FSIZE, kSandboxFileSize);
  const int mounts = static_cast<int>(plan.below_root.size());
  for (size_t i = 0; i < plan.filters.size(); ++i) {
    HandOn(plan.filters[i], 3 + mounts + static_cast<int>(i), "handing on a filter");
  }
  DieWithTheTool(plan);
  CloseFrom(3 + mounts + static_cast<int>(plan.filters.size()));
  syscall(SYS_execve, kSandboxProgram, plan.argv.data(), plan.envp.data());
  StepFailed("starting bubblewrap");
}

// A root of many file systems needs a descriptor for each above the parked
// ones: as many as the tool may have, for as long as it runs.
void RoomForParkedDescriptors(size_t mounts) {
  const rlim_t needed = static_cast<rlim_t>(kParkedFds + mounts + 64);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) return;
  limit.rlim_cur = std::min(needed, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

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

DWORD CloneMount(int top_fd, bool writable, int user_namespace, UniqueFd* tree, std::string* why) {
  // Not recursive: a mount left inside an image stays out of its sandbox.
  tree->reset(static_cast<int>(syscall(SYS_open_tree, top_fd, "",
                                       OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH)));
  if (!*tree) {
    *why = Reason("a clone of a mount of the root", errno);
    return ERROR_NOT_SUPPORTED;
  }
  mount_attr attr{};
  attr.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | (writable ? 0 : MOUNT_ATTR_RDONLY);
  if (user_namespace >= 0) {
    attr.attr_set |= MOUNT_ATTR_IDMAP;
    attr.userns_fd = static_cast<uint64_t>(user_namespace);
  }
  if (syscall(SYS_mount_setattr, tree->get(), "", AT_EMPTY_PATH, &attr, sizeof attr) != 0) {
    *why = Reason(user_namespace >= 0 ? "an idmapped mount of the root" : "a mount of the root", errno);
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

DWORD BuildNewCallsFilter(UniqueFd* filter, std::string* why) {
  const std::vector<sock_filter> program = NewCallsProgram();
  if (SealedFile(program.data(), program.size() * sizeof(sock_filter), filter) != ERROR_SUCCESS) {
    *why = Reason("a seccomp filter", errno);
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

DWORD StartInSandbox(const Sandbox& sandbox, const std::vector<std::string>& argv, int in, int out,
                     int err, SandboxedProcess* started, std::string* failure) {
  const SandboxSession& session = *sandbox.session;
  std::vector<UniqueFd> parked;
  auto park = [&parked](int fd) {
    parked.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, kParkedFds));
    return parked.back().get();
  };
  ChildPlan plan;
  plan.user_namespace_mode = session.mode == SandboxMode::kUserNamespace;
  RoomForParkedDescriptors(session.mounts.size());
  // Clones serve one program: attached in a mount namespace that then
  // dies, they are gone.
  for (const ShownMount& mount : session.mounts) {
    UniqueFd tree;
    std::string why;
    const int user_namespace = mount.idmapped ? session.user_namespace.get() : -1;
    if (DWORD code = CloneMount(mount.top.get(), mount.writable, user_namespace, &tree, &why)) {
      *failure = "the sandbox chosen for this command cannot be made now: " + why;
      return code;
    }
    plan.trees.push_back(park(tree.get()));
    plan.tree_places.push_back(mount.below_root.c_str());
  }
  if (plan.user_namespace_mode) plan.user_namespace = park(session.user_namespace.get());
  for (const SandboxMount& mount : sandbox.mounts) {
    plan.below_root.push_back(mount.below_root.empty() ? "." : mount.below_root.c_str());
  }
  std::vector<std::string> line = {kSandboxProgram};
  line.insert(line.end(), sandbox.options.begin(), sandbox.options.end());
  for (size_t i = 0; i < session.filters.size(); ++i) {
    // Every bubblewrap reads a filter from its start; the offset is shared.
    if (lseek(session.filters[i].get(), 0, SEEK_SET) != 0) return ERROR_FUNCTION_FAILED;
    plan.filters.push_back(park(session.filters[i].get()));
    line.insert(line.end(), {"--add-seccomp-fd", std::to_string(3 + sandbox.mounts.size() + i)});
  }
  line.insert(line.end(), {"--chdir", "/", "--"});
  line.insert(line.end(), argv.begin(), argv.end());
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
