#include "platform/posix/refresh_command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/posix/unique_fd.h"

namespace tkv {
namespace {

// The refresh runs as root and runs other programs and hooks: nothing of the
// caller's environment (PATH, BASH_ENV, LD_PRELOAD, OPENSSL_CONF, TMPDIR...)
// may choose what they run or read.
const char* const kRefreshEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
constexpr size_t kMaxKeptErrorOutput = 64 * 1024;

std::vector<std::string> RefreshEnvironment() {
  return std::vector<std::string>(std::begin(kRefreshEnvironment), std::end(kRefreshEnvironment));
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string DrainPipe(int fd) {
  std::string kept;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t room = kMaxKeptErrorOutput - kept.size();
    kept.append(buffer, std::min(room, static_cast<size_t>(n)));
  }
  return kept;
}

}  // namespace

DWORD RunRefreshCommand(const std::vector<std::string>& argv, const std::string& chroot_dir,
                        int lock_fd) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return ERROR_FUNCTION_FAILED;
  UniqueFd error_read(pipe_fds[0]);
  UniqueFd error_write(pipe_fds[1]);
  UniqueFd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null_fd) return ERROR_FUNCTION_FAILED;

  std::vector<std::string> args = argv;
  std::vector<std::string> env = RefreshEnvironment();
  std::vector<char*> c_args = CStrings(args);
  std::vector<char*> c_env = CStrings(env);

  // Everything is prepared before: the child only makes system calls until
  // it execs, so it can share our memory instead of copying its mappings.
  const pid_t pid = vfork();
  if (pid < 0) return ERROR_FUNCTION_FAILED;
  if (pid == 0) {
    if (dup2(null_fd.get(), 0) < 0 || dup2(null_fd.get(), 1) < 0 ||
        dup2(error_write.get(), 2) < 0) {
      _exit(127);
    }
    // A plain dup is not closed on exec: the lock goes with the refresh.
    if (lock_fd >= 0 && dup(lock_fd) < 0) _exit(127);
    if (!chroot_dir.empty() && chroot(chroot_dir.c_str()) != 0) _exit(127);
    if (chdir("/") != 0) _exit(127);
    execve(c_args[0], c_args.data(), c_env.data());
    _exit(127);
  }
  error_write.reset();

  const std::string errors = DrainPipe(error_read.get());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ERROR_SUCCESS;
  if (!errors.empty()) {
    ssize_t ignored = write(2, errors.data(), errors.size());
    (void)ignored;
  }
  return ERROR_FUNCTION_FAILED;
}

}  // namespace tkv
