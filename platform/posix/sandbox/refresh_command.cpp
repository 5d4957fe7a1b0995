#include "platform/posix/sandbox/refresh_command.h"

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

#include "platform/posix/base/unique_fd.h"

namespace tkv {
namespace {

constexpr size_t kMaxKeptOutput = 64 * 1024;
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


// This machine's own refresh: it inherits the lock, so that the store stays
// locked while it runs even if the tool is killed.
pid_t StartOnHost(const std::vector<std::string>& argv, int in, int out, int err, int lock_fd) {
  UniqueFd parked_lock;
  if (lock_fd >= 0) {
    parked_lock.reset(fcntl(lock_fd, F_DUPFD_CLOEXEC, kParkedFds));
    if (!parked_lock) return -1;
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> env(std::begin(kProgramEnvironment), std::end(kProgramEnvironment));
  std::vector<char*> c_args = CStrings(args);
  std::vector<char*> c_env = CStrings(env);
  // Everything is prepared before: the child only makes system calls until
  // it execs, so it can share our memory instead of copying its mappings.
  const pid_t pid = vfork();
  if (pid != 0) return pid;
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
  // dup2 leaves the copy open across exec, as it must be.
  if (parked_lock && dup2(parked_lock.get(), 3) < 0) _exit(127);
  // Nothing else of ours or the caller's reaches it.
  syscall(SYS_close_range, parked_lock ? 4 : 3, ~0U, 0);
  if (chdir("/") != 0) _exit(127);
  execve(c_args[0], c_args.data(), c_env.data());
  _exit(127);
}

}  // namespace

RefreshOutcome RunRefreshCommand(const std::vector<std::string>& argv, const Sandbox& sandbox,
                                 int lock_fd, std::chrono::milliseconds limit,
                                 const std::string& input) {
  RefreshOutcome outcome;
  outcome.code = ERROR_FUNCTION_FAILED;
  if (limit.count() <= 0) {
    outcome.code = ERROR_TIMEOUT;
    return outcome;
  }
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

  pid_t pid = -1;
  SandboxedProcess sandboxed;  // its `alive` stays open until the sandbox is reaped
  if (sandbox.empty()) {
    pid = StartOnHost(argv, input_fd.get(), out_write.get(), error_write.get(), lock_fd);
  } else if (DWORD code = StartInSandbox(sandbox, argv, input_fd.get(), out_write.get(),
                                         error_write.get(), &sandboxed, &outcome.errors)) {
    outcome.code = code;
    return outcome;
  } else {
    pid = sandboxed.pid;
  }
  if (pid < 0) return outcome;
  out_write.reset();
  error_write.reset();

  Stream streams[2] = {{out_read.get(), &outcome.output}, {error_read.get(), &outcome.errors}};
  if (!WaitReading(pid, streams, limit)) {
    // A sandbox's PID namespace ends with its first process.
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

void PassOnOutput(Command& command, const std::string& program, const RefreshOutcome& outcome) {
  // Named by the program that said it: not the tool's own word.
  const std::string who = program.substr(program.rfind('/') + 1) + ": ";
  std::vector<std::string> failures;
  for (size_t at = 0; at < outcome.output.size();) {
    size_t end = outcome.output.find('\n', at);
    if (end == std::string::npos) end = outcome.output.size();
    if (outcome.output.compare(at, 3, "E: ") == 0) failures.push_back(outcome.output.substr(at, end - at));
    at = end + 1;
  }
  if (outcome.code == ERROR_SUCCESS && failures.empty()) return;
  for (size_t at = 0; at < outcome.errors.size();) {
    size_t end = outcome.errors.find('\n', at);
    if (end == std::string::npos) end = outcome.errors.size();
    if (end > at) command.Complain(who + outcome.errors.substr(at, end - at));
    at = end + 1;
  }
  // A hook's: the bundle decides. Said once a command, however often the
  // hook fails: Debian's refresh runs it, then the store tells it of removals.
  for (const std::string& line : failures) {
    if (command.FirstTime(line)) command.Warn(who + line);
  }
}

}  // namespace tkv
