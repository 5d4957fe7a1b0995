// Runs a command repeatedly and prints the median, lowest and highest wall
// time of its runs, in seconds. The command is started directly, not through
// a shell, so nothing but the command is timed; an optional preparation
// (a shell command) runs untimed before each run, warm-up runs included.
//
//   tkv_bench_time [--runs N] [--warmup N] [--prepare 'sh command'] -- program args...
//   prints "<median> <min> <max>"; fails when any run exits non-zero
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "tkv_bench_time: %s\n", what.c_str());
  std::exit(2);
}

int Run(char* const* argv, bool quiet) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) Die(std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned));
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) Die("waitpid");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Prepare(const std::string& command) {
  if (command.empty()) return;
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                  const_cast<char*>(command.c_str()), nullptr};
  if (Run(argv, false) != 0) Die("preparation failed: " + command);
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 10;
  int warmup = 2;
  std::string prepare;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) Die("missing value for " + arg);
    if (arg == "--runs") {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--warmup") {
      warmup = std::atoi(argv[++i]);
    } else if (arg == "--prepare") {
      prepare = argv[++i];
    } else {
      Die("unknown option " + arg);
    }
  }
  if (i >= argc || runs < 1 || warmup < 0) {
    Die("usage: tkv_bench_time [--runs N] [--warmup N] [--prepare CMD] -- program args...");
  }
  char* const* command = argv + i;

  std::vector<double> times;
  for (int run = 0; run < warmup + runs; ++run) {
    Prepare(prepare);
    const double start = Now();
    const int status = Run(command, true);
    const double elapsed = Now() - start;
    if (status != 0) Die(std::string(command[0]) + " exited with status " + std::to_string(status));
    if (run >= warmup) times.push_back(elapsed);
  }
  std::sort(times.begin(), times.end());
  const size_t n = times.size();
  const double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  std::printf("%.6f %.6f %.6f\n", median, times.front(), times.back());
  return 0;
}
