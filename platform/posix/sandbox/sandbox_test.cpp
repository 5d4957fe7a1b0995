// The seccomp filter the sandbox hands bubblewrap, loaded in a child of the
// test: each row a call that a program run for another root must not make,
// or one it must still be able to make. Then the cgroups that bound its
// memory and processes.
#include "platform/posix/sandbox/sandbox.h"
#include "tests/support/ci_skip.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/keyctl.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <linux/net.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <seccomp.h>

#include <cerrno>
#include <cstddef>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace tkv {
namespace {

// A call that would make a process when let through: its child leaves at once.
long Spawning(long result) {
  if (result == 0) _exit(0);
  if (result > 0) waitpid(static_cast<pid_t>(result), nullptr, __WALL);
  return result;
}

#if defined(__x86_64__)
// A call through the i386 ABI, as a 32-bit program in the sandbox makes it.
long I386Call(long number, long a, long b) {
  long result;
  __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b) : "memory");
  return result < 0 && result > -4096 ? (errno = static_cast<int>(-result), -1) : result;
}
#endif

struct Call {
  const char* what;
  std::function<long()> make;
  int error;  // 0: let through
};

const Call kCalls[] = {
    {"keyctl", [] { return syscall(SYS_keyctl, KEYCTL_GET_KEYRING_ID, KEY_SPEC_USER_KEYRING, 0); }, EPERM},
#if defined(__x86_64__)
    {"keyctl through the i386 ABI", [] { return I386Call(288, KEYCTL_GET_KEYRING_ID, KEY_SPEC_USER_KEYRING); },
     EPERM},
#endif
    {"a user namespace", [] { return syscall(SYS_unshare, CLONE_NEWUSER); }, EPERM},
    {"clone into a network namespace",
     [] { return Spawning(syscall(SYS_clone, CLONE_NEWNET | SIGCHLD, nullptr, nullptr, nullptr, nullptr)); },
     EPERM},
    {"clone3, whose flags the filter cannot see",
     [] {
       clone_args args{};
       args.exit_signal = SIGCHLD;
       return Spawning(syscall(SYS_clone3, &args, sizeof args));
     },
     ENOSYS},
    {"TIOCSTI with high bits set", [] { return syscall(SYS_ioctl, 0, 0x100000000UL | TIOCSTI, "x"); }, EPERM},
    {"mount", [] { return syscall(SYS_mount, "none", "/", "tmpfs", 0, nullptr); }, EPERM},
    {"the new mount API", [] { return syscall(SYS_fsopen, "tmpfs", 0); }, ENOSYS},
    {"personality without address randomisation", [] { return syscall(SYS_personality, ADDR_NO_RANDOMIZE); },
     EPERM},
    {"personality of Linux itself", [] { return syscall(SYS_personality, PER_LINUX); }, 0},
    {"a plain fork", [] { return Spawning(syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr)); }, 0},
    {"io_uring, whose queued operations no filter sees",
     [] {
       char params[120] = {};
       return syscall(SYS_io_uring_setup, 1, params);
     },
     ENOSYS},
    // open_tree_attr: newer than the filter's library, which cannot name it.
    {"a call newer than libseccomp knows", [] { return syscall(467, -1, nullptr, 0, nullptr, 0); }, ENOSYS},
#if defined(__x86_64__)
    {"io_uring through the i386 ABI", [] { return I386Call(425, 1, 0); }, ENOSYS},
    {"a newer call through the i386 ABI", [] { return I386Call(467, -1, 0); }, ENOSYS},
    {"getpid through the i386 ABI", [] { return I386Call(20, 0, 0); }, 0},
    {"a vsock socket through the i386 ABI", [] { return I386Call(359, AF_VSOCK, SOCK_STREAM); }, EAFNOSUPPORT},
    {"a vsock socket through i386's socketcall",
     [] {
       // Its arguments where a 32-bit address reaches them.
       void* low = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
       if (low == MAP_FAILED) return -1L;
       const unsigned args[] = {AF_VSOCK, SOCK_STREAM, 0};
       memcpy(low, args, sizeof args);
       return I386Call(102, SYS_SOCKET, static_cast<long>(reinterpret_cast<uintptr_t>(low)));
     },
     EAFNOSUPPORT},
#endif
    {"a vsock socket", [] { return syscall(SYS_socket, AF_VSOCK, SOCK_STREAM, 0); }, EAFNOSUPPORT},
    {"a vsock socket with high bits set", [] { return syscall(SYS_socket, 0x100000000L | AF_VSOCK, SOCK_STREAM, 0); },
     EAFNOSUPPORT},
    {"a unix socket", [] { return syscall(SYS_socket, AF_UNIX, SOCK_STREAM, 0); }, 0},
    // futex_requeue (456), the newest libseccomp 2.5.4 knows: let through,
    // and its arguments refused by the kernel (Linux 6.7 and later).
    {"the newest call libseccomp knows", [] { return syscall(456, nullptr, 0, 0, 0); }, EINVAL},
};

using Program = std::vector<sock_filter>;

Program ReadProgram(const UniqueFd& filter) {
  Program program(static_cast<size_t>(lseek(filter.get(), 0, SEEK_END)) / sizeof(sock_filter));
  if (pread(filter.get(), program.data(), program.size() * sizeof(sock_filter), 0) !=
      static_cast<ssize_t>(program.size() * sizeof(sock_filter))) {
    program.clear();
  }
  return program;
}

// The two programs the sandbox hands bubblewrap; none when one cannot be built.
std::vector<Program> BothFilters() {
  UniqueFd filter;
  UniqueFd newer;
  std::string why;
  if (BuildSeccompFilter(&filter, &why) != ERROR_SUCCESS || BuildNewCallsFilter(&newer, &why) != ERROR_SUCCESS) {
    ADD_FAILURE() << why;
    return {};
  }
  return {ReadProgram(filter), ReadProgram(newer)};
}

// The errno the call answers under the filters, 0 when it went through.
int UnderTheFilters(const std::vector<Program>& programs, const Call& call) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(255);
    for (const Program& program : programs) {
      sock_fprog loaded = {static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
      if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &loaded) != 0) _exit(255);
    }
    errno = 0;
    _exit(call.make() < 0 ? errno : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

TEST(SandboxFilterTest, BlocksWhatReachesTheHostAndLetsTheRestThrough) {
  const std::vector<Program> programs = BothFilters();
  ASSERT_EQ(programs.size(), 2u);
  for (const Call& call : kCalls) {
    EXPECT_EQ(UnderTheFilters(programs, call), call.error) << call.what;
  }
}

// What `program` answers for a call, as the kernel would run it: classic
// BPF over seccomp_data. Only the instructions a filter can hold; any other
// answers 0, which no row expects.
uint32_t Evaluate(const Program& program, const seccomp_data& data) {
  uint32_t a = 0;
  uint32_t x = 0;
  uint32_t memory[BPF_MEMWORDS] = {};
  for (size_t pc = 0; pc < program.size(); ++pc) {
    const sock_filter& in = program[pc];
    const uint32_t operand = BPF_SRC(in.code) == BPF_X ? x : in.k;
    switch (BPF_CLASS(in.code)) {
      case BPF_LD:
        if (BPF_MODE(in.code) == BPF_ABS && in.k + 4 <= sizeof data) {
          memcpy(&a, reinterpret_cast<const char*>(&data) + in.k, 4);
        } else if (BPF_MODE(in.code) == BPF_IMM) {
          a = in.k;
        } else if (BPF_MODE(in.code) == BPF_MEM && in.k < BPF_MEMWORDS) {
          a = memory[in.k];
        } else {
          return 0;
        }
        break;
      case BPF_LDX:
        x = BPF_MODE(in.code) == BPF_IMM ? in.k : in.k < BPF_MEMWORDS ? memory[in.k] : 0;
        break;
      case BPF_ST:
      case BPF_STX:
        if (in.k >= BPF_MEMWORDS) return 0;
        memory[in.k] = BPF_CLASS(in.code) == BPF_ST ? a : x;
        break;
      case BPF_ALU:
        switch (BPF_OP(in.code)) {
          case BPF_AND: a &= operand; break;
          case BPF_OR: a |= operand; break;
          case BPF_ADD: a += operand; break;
          case BPF_SUB: a -= operand; break;
          default: return 0;
        }
        break;
      case BPF_JMP: {
        bool taken = false;
        switch (BPF_OP(in.code)) {
          case BPF_JA: pc += in.k; continue;
          case BPF_JEQ: taken = a == operand; break;
          case BPF_JGT: taken = a > operand; break;
          case BPF_JGE: taken = a >= operand; break;
          case BPF_JSET: taken = (a & operand) != 0; break;
          default: return 0;
        }
        pc += taken ? in.jt : in.jf;
        break;
      }
      case BPF_RET:
        return BPF_RVAL(in.code) == BPF_A ? a : in.k;
      case BPF_MISC:
        if (BPF_MISCOP(in.code) == BPF_TAX) x = a; else a = x;
        break;
      default:
        return 0;
    }
  }
  return 0;
}

struct Architecture {
  uint32_t libseccomp;  // to resolve names
  uint32_t audit;       // as the kernel tells the filter
};

const Architecture kArchitectures[] = {
#if defined(__x86_64__)
    {SCMP_ARCH_X86_64, AUDIT_ARCH_X86_64}, {SCMP_ARCH_X86, AUDIT_ARCH_I386}, {SCMP_ARCH_X32, AUDIT_ARCH_X86_64},
#elif defined(__aarch64__)
    {SCMP_ARCH_AARCH64, AUDIT_ARCH_AARCH64}, {SCMP_ARCH_ARM, AUDIT_ARCH_ARM},
#endif
};

// What no program run for a root may call, by name, in every architecture
// the process can call in: read from the filter itself, since a probe
// without capabilities is refused by the kernel before the filter matters.
TEST(SandboxFilterTest, EveryBlockedCallIsBlockedInEveryArchitecture) {
  const std::vector<Program> programs = BothFilters();
  ASSERT_EQ(programs.size(), 2u);
  const uint64_t kHigh = 0x100000000ULL;
  struct Row {
    const char* name;
    uint64_t arg0, arg1;
    int error;  // 0: let through
  } rows[] = {
      {"keyctl", 0, 0, EPERM}, {"add_key", 0, 0, EPERM}, {"request_key", 0, 0, EPERM},
      {"ptrace", 0, 0, EPERM}, {"process_vm_readv", 0, 0, EPERM}, {"process_vm_writev", 0, 0, EPERM},
      {"perf_event_open", 0, 0, EPERM}, {"bpf", 0, 0, EPERM}, {"userfaultfd", 0, 0, EPERM},
      {"mount", 0, 0, EPERM}, {"umount", 0, 0, EPERM}, {"umount2", 0, 0, EPERM}, {"pivot_root", 0, 0, EPERM},
      {"chroot", 0, 0, EPERM}, {"unshare", 0, 0, EPERM}, {"setns", 0, 0, EPERM},
      {"uselib", 0, 0, EPERM}, {"acct", 0, 0, EPERM}, {"quotactl", 0, 0, EPERM}, {"syslog", 0, 0, EPERM},
      {"kexec_load", 0, 0, EPERM}, {"kexec_file_load", 0, 0, EPERM}, {"init_module", 0, 0, EPERM},
      {"finit_module", 0, 0, EPERM}, {"delete_module", 0, 0, EPERM},
      {"open_tree", 0, 0, ENOSYS}, {"move_mount", 0, 0, ENOSYS}, {"fsopen", 0, 0, ENOSYS},
      {"fsconfig", 0, 0, ENOSYS}, {"fsmount", 0, 0, ENOSYS}, {"fspick", 0, 0, ENOSYS},
      {"mount_setattr", 0, 0, ENOSYS}, {"io_uring_setup", 0, 0, ENOSYS}, {"io_uring_enter", 0, 0, ENOSYS},
      {"io_uring_register", 0, 0, ENOSYS}, {"clone3", 0, 0, ENOSYS},
      {"ioctl", 0, TIOCSTI, EPERM}, {"ioctl", 0, kHigh | TIOCSTI, EPERM}, {"ioctl", 0, TIOCLINUX, EPERM},
      {"ioctl", 0, TCGETS, 0}, {"ioctl", 0, kHigh | TCGETS, 0},
      {"personality", ADDR_NO_RANDOMIZE, 0, EPERM}, {"personality", READ_IMPLIES_EXEC, 0, EPERM},
      {"personality", PER_LINUX, 0, 0}, {"personality", PER_LINUX32, 0, 0},
      {"clone", CLONE_NEWNS | SIGCHLD, 0, EPERM}, {"clone", CLONE_NEWUSER, 0, EPERM},
      {"clone", CLONE_NEWPID, 0, EPERM}, {"clone", CLONE_NEWNET, 0, EPERM}, {"clone", CLONE_NEWUTS, 0, EPERM},
      {"clone", CLONE_NEWIPC, 0, EPERM}, {"clone", CLONE_NEWCGROUP, 0, EPERM}, {"clone", CLONE_NEWTIME, 0, EPERM},
      {"clone", SIGCHLD, 0, 0}, {"clone", CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_THREAD | CLONE_SIGHAND, 0, 0},
      {"socket", AF_VSOCK, 0, EAFNOSUPPORT}, {"socket", kHigh | AF_VSOCK, 0, EAFNOSUPPORT},
      {"socket", AF_UNIX, 0, 0}, {"socket", AF_INET6, 0, 0},
      // i386's socketcall: every socket it would make, for the family is in memory.
      {"socketcall", SYS_SOCKET, 0, EAFNOSUPPORT}, {"socketcall", SYS_CONNECT, 0, 0},
      {"socketcall", SYS_SOCKETPAIR, 0, 0},
      {"read", 0, 0, 0}, {"openat", 0, 0, 0}, {"execve", 0, 0, 0}, {"rename", 0, 0, 0},
  };
  for (const Architecture& arch : kArchitectures) {
    for (const Row& row : rows) {
      const int number = seccomp_syscall_resolve_name_arch(arch.libseccomp, row.name);
      if (number < 0) continue;  // not a call of this architecture
      SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.arg0) + " " + std::to_string(row.arg1) +
                   " in architecture " + std::to_string(arch.libseccomp));
      seccomp_data data{};
      data.nr = number;
      data.arch = arch.audit;
      data.args[0] = row.arg0;
      data.args[1] = row.arg1;
      const uint32_t expected = row.error ? SECCOMP_RET_ERRNO | static_cast<uint32_t>(row.error) : SECCOMP_RET_ALLOW;
      // The kernel takes the strictest answer of all the filters.
      uint32_t answer = SECCOMP_RET_ALLOW;
      for (const Program& program : programs) {
        const uint32_t one = Evaluate(program, data);
        if (one != SECCOMP_RET_ALLOW) answer = one;
      }
      EXPECT_EQ(answer, expected);
    }
  }
}

TEST(SandboxLimitsTest, MemoryIsTheLowerOfTwoGibibytesAndHalfTheMachine) {
  const uint64_t kGiB = uint64_t{1} << 30;
  const struct {
    uint64_t machine, bound;
  } rows[] = {{24 * kGiB, 2 * kGiB}, {4 * kGiB, 2 * kGiB}, {3 * kGiB, 3 * kGiB / 2}, {kGiB, kGiB / 2}};
  for (const auto& row : rows) EXPECT_EQ(SandboxMemoryBound(row.machine), row.bound) << row.machine;
}

// cgroup v2: limits only for what is delegated, over a directory that
// stands for one.
TEST(SandboxLimitsTest, SetsOnlyWhatCgroupV2Delegates) {
  using Limits = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* subtree_control;  // nullptr: no such file
    bool processes;
    Limits limits;
  } rows[] = {
      {"cpu io memory pids\n", true, {{"memory.max", "1000"}, {"pids.max", "1024"}}},
      {"cpu io memory pids\n", false, {{"memory.max", "1000"}}},
      {"memory", false, {{"memory.max", "1000"}}},
      {"cpu pids\n", false, {}},
      {"cpu pids\n", true, {{"pids.max", "1024"}}},
      {"cpu hugetlb.memory\n", true, {}},
      {"", true, {}},
      {nullptr, true, {}},
  };
  char dir[] = "/tmp/tkv-cgroup-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string control = std::string(dir) + "/cgroup.subtree_control";
  for (const auto& row : rows) {
    unlink(control.c_str());
    if (row.subtree_control != nullptr) std::ofstream(control) << row.subtree_control;
    const UniqueFd fd(open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(DelegatedLimits(fd.get(), row.processes, 1000), row.limits)
        << (row.subtree_control ? row.subtree_control : "none") << row.processes;
  }
  unlink(control.c_str());
  rmdir(dir);
}

std::string CgroupLine(const std::string& controller) {
  std::ifstream lines("/proc/self/cgroup");
  for (std::string line; std::getline(lines, line);) {
    if (line.find(":" + controller + ":") != std::string::npos) return line;
  }
  return "";
}

// The tool joins the memory cgroup once, so each program it then starts is
// born there; once the command's sandboxes are done it leaves, and the
// cgroup is gone.
TEST(SandboxLimitsTest, EveryProgramIsBornInTheMemoryCgroupAndTheToolLeavesIt) {
  const std::string before = CgroupLine("memory");
  if (before.empty()) TKV_SKIP("no cgroup v1 memory hierarchy here");
  std::string in_cgroup;
  {
    SandboxLimits limits;
    std::string why;
    limits.MakeCgroups(false, &why);
    if (!limits.bounds_memory()) TKV_SKIP(std::string("no memory cgroup can be made here: ") + why);
    EXPECT_FALSE(limits.bounds_processes());
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    if (child == 0) {
      const std::string line = CgroupLine("memory");
      _exit(write(pipe_fds[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    char buffer[512];
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    close(pipe_fds[0]);
    waitpid(child, nullptr, 0);
    in_cgroup = std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    EXPECT_EQ(in_cgroup.rfind(before + "/tkvcert-", 0), 0u) << in_cgroup;
    const std::string path = in_cgroup.substr(in_cgroup.find(":/") + 1);
    std::ifstream limit("/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes");
    uint64_t bytes = 0;
    const uint64_t machine = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    if (limit >> bytes) {
      EXPECT_EQ(bytes, SandboxMemoryBound(machine));
    }
  }
  EXPECT_EQ(CgroupLine("memory"), before);
  const std::string path = in_cgroup.substr(in_cgroup.find(":/") + 1);
  EXPECT_NE(access(("/sys/fs/cgroup/memory" + path).c_str(), F_OK), 0) << path;
}

}  // namespace
}  // namespace tkv
