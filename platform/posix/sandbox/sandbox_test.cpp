// The seccomp filter the sandbox hands bubblewrap, loaded in a child of the
// test: each row a call that a program run for another root must not make,
// or one it must still be able to make.
#include "platform/posix/sandbox/sandbox.h"

#include <linux/filter.h>
#include <linux/keyctl.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
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
#endif
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
  UniqueFd filter;
  UniqueFd newer;
  std::string why;
  ASSERT_EQ(BuildSeccompFilter(&filter, &why), ERROR_SUCCESS) << why;
  ASSERT_EQ(BuildNewCallsFilter(&newer, &why), ERROR_SUCCESS) << why;
  const std::vector<Program> programs = {ReadProgram(filter), ReadProgram(newer)};
  for (const Call& call : kCalls) {
    EXPECT_EQ(UnderTheFilters(programs, call), call.error) << call.what;
  }
}

}  // namespace
}  // namespace tkv
