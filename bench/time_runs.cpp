// Runs commands repeatedly and prints the median, lowest and highest wall
// time of each one's runs, in seconds. Commands are started directly, not
// through a shell, so nothing but the command is timed; an optional
// preparation (a shell command) runs untimed before every run, warm-up runs
// included. Several commands take turns, one run each, so that a load that
// comes and goes on the machine weighs on all of them alike and their ratios
// stay fair.
//
//   tkv_bench_time [--runs N] [--warmup N] [--prepare 'sh command']
//       -- [NAME=value...] program args... [:: [NAME=value...] program args...]...
//   NAME=value words before a program are set in its environment only;
//   prints "<median> <min> <max>" for each command, one line each, in order;
//   fails when any run exits non-zero
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cctype>
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

struct Command {
  char* const* argv;
  std::vector<char*> env;  // environ with the command's own settings
};

bool IsSetting(const char* word) {
  const char* equals = std::strchr(word, '=');
  if (equals == nullptr || equals == word) return false;
  for (const char* c = word; c != equals; ++c) {
    if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '_') return false;
  }
  return !std::isdigit(static_cast<unsigned char>(word[0]));
}

Command Parse(char** words) {
  Command command;
  for (char** e = environ; *e != nullptr; ++e) command.env.push_back(*e);
  for (; *words != nullptr && IsSetting(*words); ++words) {
    const size_t name_length = static_cast<size_t>(std::strchr(*words, '=') - *words) + 1;
    auto same = [&](const char* e) { return std::strncmp(e, *words, name_length) == 0; };
    command.env.erase(std::remove_if(command.env.begin(), command.env.end(), same),
                      command.env.end());
    command.env.push_back(*words);
  }
  if (*words == nullptr) Die("a command has no program");
  command.env.push_back(nullptr);
  command.argv = words;
  return command;
}

int Run(char* const* argv, char* const* env, bool quiet) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // A timed command's output is not the benchmark's: a no-match removal
  // says its did-you-mean on every run.
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, env);
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
  if (Run(argv, environ, false) != 0) Die("preparation failed: " + command);
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
    Die("usage: tkv_bench_time [--runs N] [--warmup N] [--prepare CMD] -- program args... "
        "[:: program args...]...");
  }
  // Each command is a null-terminated run of argv; "::" ends one.
  std::vector<char**> starts{argv + i};
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "::") != 0) continue;
    argv[i] = nullptr;
    if (i + 1 >= argc) Die("nothing after ::");
    starts.push_back(argv + i + 1);
  }
  std::vector<Command> commands;
  for (char** start : starts) commands.push_back(Parse(start));

  std::vector<std::vector<double>> times(commands.size());
  for (int run = 0; run < warmup + runs; ++run) {
    for (size_t c = 0; c < commands.size(); ++c) {
      Prepare(prepare);
      const double start = Now();
      const int status = Run(commands[c].argv, commands[c].env.data(), true);
      const double elapsed = Now() - start;
      if (status != 0) {
        Die(std::string(commands[c].argv[0]) + " exited with status " + std::to_string(status));
      }
      if (run >= warmup) times[c].push_back(elapsed);
    }
  }
  for (std::vector<double>& t : times) {
    std::sort(t.begin(), t.end());
    const size_t n = t.size();
    const double median = n % 2 == 1 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
    std::printf("%.6f %.6f %.6f\n", median, t.front(), t.back());
  }
  return 0;
}
