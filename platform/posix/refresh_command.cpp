#include "platform/posix/refresh_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
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
constexpr size_t kMaxKeptOutput = 64 * 1024;
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
  const size_t room = kMaxKeptOutput - kept->size();
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

struct Stream {
  int fd;
  std::string* kept;
  bool open = true;
};

// Waits for the child to exit, keeping what it writes, and stops at its
// exit even if something it left behind still holds its output open.
// False when the time limit came first.
bool WaitReading(pid_t pid, Stream (&streams)[2], std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const UniqueFd exit_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // Without pidfds (old kernels), look at the child now and then.
    const int tick = exit_fd ? static_cast<int>(std::min<long long>(left.count(), 60000)) : 20;
    pollfd fds[3] = {{streams[0].open ? streams[0].fd : -1, POLLIN, 0},
                     {streams[1].open ? streams[1].fd : -1, POLLIN, 0},
                     {exit_fd.get(), POLLIN, 0}};
    if (poll(fds, 3, tick) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents != 0) streams[i].open = ReadSome(streams[i].fd, streams[i].kept);
    }
    if (exit_fd ? fds[2].revents != 0 : HasExited(pid)) break;
  }
  // What it wrote before it exited is in the pipes already.
  for (Stream& stream : streams) {
    fcntl(stream.fd, F_SETFL, O_NONBLOCK);
    while (stream.open && ReadSome(stream.fd, stream.kept)) {
    }
  }
  return true;
}

// What the child reads: `input`, from a file of its own, so that writing it
// never waits on the child.
UniqueFd InputFile(const std::string& input) {
  if (input.empty()) return UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd fd(static_cast<int>(syscall(SYS_memfd_create, "tkvcert-input", MFD_CLOEXEC)));
  if (!fd || write(fd.get(), input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
      lseek(fd.get(), 0, SEEK_SET) != 0) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace

RefreshOutcome RunRefreshCommand(const std::vector<std::string>& argv, const Sandbox& sandbox,
                                 int lock_fd, std::chrono::milliseconds limit,
                                 const std::string& input) {
  RefreshOutcome outcome;
  outcome.code = ERROR_FUNCTION_FAILED;
  int out_fds[2];
  int error_fds[2];
  if (pipe2(out_fds, O_CLOEXEC) != 0) return outcome;
  UniqueFd out_read(out_fds[0]);
  UniqueFd out_write(out_fds[1]);
  if (pipe2(error_fds, O_CLOEXEC) != 0) return outcome;
  UniqueFd error_read(error_fds[0]);
  UniqueFd error_write(error_fds[1]);
  UniqueFd input_fd = InputFile(input);
  if (!input_fd) return outcome;
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
    if (dup2(input_fd.get(), 0) < 0 || dup2(out_write.get(), 1) < 0 ||
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
  out_write.reset();
  error_write.reset();

  Stream streams[2] = {{out_read.get(), &outcome.output}, {error_read.get(), &outcome.errors}};
  if (!WaitReading(pid, streams, limit)) {
    // In a sandbox, its PID namespace ends with it.
    kill(pid, SIGKILL);
    ExitedStatus(pid);
    outcome.code = ERROR_TIMEOUT;
    return outcome;
  }
  const int status = ExitedStatus(pid);
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.code = outcome.exit_status == 0 ? ERROR_SUCCESS : ERROR_FUNCTION_FAILED;
  return outcome;
}

}  // namespace tkv
