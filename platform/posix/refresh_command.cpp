#include "platform/posix/refresh_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
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
// Descriptors handed to the child wait above the numbers they are handed at.
constexpr int kParkedFds = 100;

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> CommandLine(const std::vector<std::string>& argv, const Sandbox& sandbox) {
  if (sandbox.empty()) return argv;
  std::vector<std::string> line = {kSandboxProgram};
  line.insert(line.end(), sandbox.options.begin(), sandbox.options.end());
  line.insert(line.end(), {"--chdir", "/", "--"});
  line.insert(line.end(), argv.begin(), argv.end());
  return line;
}

// Reads what is there; false at the end of the output.
bool ReadSome(int fd, std::string* kept) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n < 0) return errno == EINTR;
  if (n == 0) return false;
  const size_t room = kMaxKeptErrorOutput - kept->size();
  kept->append(buffer, std::min(room, static_cast<size_t>(n)));
  return true;
}

int ExitedStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool HasExited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Waits for the child to exit, keeping its standard error, and stops at
// its exit even if something it left behind still holds the pipe open.
// False when the time limit came first.
bool WaitReading(pid_t pid, int error_fd, std::chrono::milliseconds limit, std::string* errors) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const UniqueFd exit_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  bool reading = true;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // Without pidfds (old kernels), look at the child now and then.
    const int tick = exit_fd ? static_cast<int>(std::min<long long>(left.count(), 60000)) : 20;
    pollfd fds[2] = {{reading ? error_fd : -1, POLLIN, 0}, {exit_fd.get(), POLLIN, 0}};
    const int ready = poll(fds, 2, tick);
    if (ready < 0 && errno != EINTR) return false;
    if (fds[0].revents != 0) reading = ReadSome(error_fd, errors);
    if (exit_fd ? fds[1].revents != 0 : HasExited(pid)) break;
  }
  // What it wrote before it exited is in the pipe already.
  fcntl(error_fd, F_SETFL, O_NONBLOCK);
  while (ReadSome(error_fd, errors)) {
  }
  return true;
}

}  // namespace

RefreshOutcome RunRefreshCommand(const std::vector<std::string>& argv, const Sandbox& sandbox,
                                 int lock_fd, std::chrono::milliseconds limit) {
  RefreshOutcome outcome;
  outcome.code = ERROR_FUNCTION_FAILED;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return outcome;
  UniqueFd error_read(pipe_fds[0]);
  UniqueFd error_write(pipe_fds[1]);
  UniqueFd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null_fd) return outcome;
  // A sandboxed refresh dies with the tool, and must see nothing of ours:
  // only the host's own is given the lock.
  std::vector<UniqueFd> handed;
  for (const UniqueFd& fd : sandbox.mounts) handed.emplace_back(fcntl(fd.get(), F_DUPFD_CLOEXEC, kParkedFds));
  if (sandbox.empty() && lock_fd >= 0) handed.emplace_back(fcntl(lock_fd, F_DUPFD_CLOEXEC, kParkedFds));
  for (const UniqueFd& fd : handed) {
    if (!fd) return outcome;
  }

  std::vector<std::string> args = CommandLine(argv, sandbox);
  std::vector<std::string> env(std::begin(kRefreshEnvironment), std::end(kRefreshEnvironment));
  std::vector<char*> c_args = CStrings(args);
  std::vector<char*> c_env = CStrings(env);

  // Everything is prepared before: the child only makes system calls until
  // it execs, so it can share our memory instead of copying its mappings.
  const pid_t pid = vfork();
  if (pid < 0) return outcome;
  if (pid == 0) {
    if (dup2(null_fd.get(), 0) < 0 || dup2(null_fd.get(), 1) < 0 ||
        dup2(error_write.get(), 2) < 0) {
      _exit(127);
    }
    // dup2 leaves the copy open across exec, as it must be.
    for (size_t i = 0; i < handed.size(); ++i) {
      if (dup2(handed[i].get(), 3 + static_cast<int>(i)) < 0) _exit(127);
    }
    if (chdir("/") != 0) _exit(127);
    execve(c_args[0], c_args.data(), c_env.data());
    _exit(127);
  }
  error_write.reset();

  if (!WaitReading(pid, error_read.get(), limit, &outcome.errors)) {
    // In a sandbox, its PID namespace ends with it.
    kill(pid, SIGKILL);
    ExitedStatus(pid);
    outcome.code = ERROR_TIMEOUT;
    return outcome;
  }
  const int status = ExitedStatus(pid);
  outcome.code = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ERROR_SUCCESS : ERROR_FUNCTION_FAILED;
  return outcome;
}

}  // namespace tkv
