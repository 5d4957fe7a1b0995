// The node agent: keeps a node's trust as a ConfigMap says. The ConfigMap is
// mounted as a directory; each key ending in .pem or .crt is a CA to be
// present (one certificate a key), and the key "absent" lists the SHA-256
// thumbprints of CAs to remove, one a line. The agent runs tkvcert once per
// entry with its report, says one line per CA, then sleeps on inotify until
// the kubelet swaps the ConfigMap's "..data" link, and converges again.
// tkvcert does the work (the node's own refresh, in its sandbox, checked,
// crash-safe); the agent only decides what to ask, and says what happened.
//
//   tkvcert-agent [--once] CONFIG_DIR
//
// Environment: TKVCERT_SYSROOT (the node's "/", passed to tkvcert),
// TKVCERT_AGENT_TOOL (default /usr/sbin/tkvcert), TKVCERT_AGENT_RESTART
// (units to restart when a bundle changed, comma-separated; none by default),
// TKVCERT_AGENT_RESTART_SPREAD (seconds over which a cluster's nodes spread
// those restarts, default 300), NODE_NAME (where in that spread this node
// is), TKVCERT_AGENT_SYSTEM_BUS (the node's system bus socket, default
// /host/run/dbus/system_bus_socket).
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace {

using nlohmann::json;

std::string Setting(const char* name, const std::string& fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// Text from a certificate or the ConfigMap: one log line whatever it holds,
// read in the order it is written (no control, no bidirectional override).
std::string Shown(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const unsigned char second = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const unsigned char third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
    char escaped[8];
    if (byte == 0xe2 && ((second == 0x80 && third >= 0xaa && third <= 0xae) ||
                         (second == 0x81 && third >= 0xa6 && third <= 0xa9))) {
      snprintf(escaped, sizeof escaped, "\\u%04x", 0x2000 + ((second & 0x3f) << 6) + (third & 0x3f));
      shown += escaped;
      i += 2;
    } else if (byte < 0x20 || byte == 0x7f || byte == '"' || byte == '\\') {
      snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

struct Run {
  int status = -1;
  json report;  // null when the tool wrote none
};

// One run of a program with `env`, its report read from descriptor 3 when
// asked for; its standard error is the agent's (the tool's causes reach the
// pod's log as the tool said them), its standard output dropped.
Run RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool report) {
  Run run;
  int pipe_fds[2] = {-1, -1};
  if (report && pipe2(pipe_fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (report) posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 3);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  std::string text;
  if (report) {
    close(pipe_fds[1]);
    char buffer[4096];
    ssize_t n;
    while (spawned == 0 && ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
      if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
  }
  if (spawned != 0) {
    fprintf(stderr, "tkvcert-agent: cannot run %s: %s\n", argv[0].c_str(), strerror(spawned));
    return run;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.report = json::parse(text, nullptr, false);
  if (run.report.is_discarded()) run.report = nullptr;
  return run;
}

// The tool's environment: nothing of the agent's but what it is there for.
std::vector<std::string> ToolEnvironment(const std::string& extra) {
  std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", "TKVCERT_REPORT=3"};
  for (const char* name : {"TKVCERT_SYSROOT", "TKVCERT_BROWSERS", "TKVCERT_SANDBOX"}) {
    if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  if (!extra.empty()) env.push_back(extra);
  return env;
}

std::string Why(const Run& run) {
  if (run.report.is_null()) return "tkvcert wrote no report (exit status " + std::to_string(run.status) + ")";
  const json error = run.report.value("error", json::object());
  std::string why = error.value("message", "exit status " + std::to_string(run.status));
  if (error.contains("last_error")) why += " (LastError " + error["last_error"].get<std::string>() + ")";
  const json messages = run.report.value("messages", json::array());
  if (!messages.empty()) why += ": " + messages.back().get<std::string>();
  return why;
}

bool Changed(const Run& run) {
  const json changed = run.report.value("changed", json::object());
  return changed.value("anchors", false) || changed.value("bundle", false);
}

std::string Thumbprint(const std::string& line) {
  std::string hex;
  for (const char c : line) {
    if (c == '#') break;
    if (c == ':' || isspace(static_cast<unsigned char>(c))) continue;
    hex += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return hex;
}

struct Wanted {
  std::vector<std::string> present;  // file names in the config directory
  std::vector<std::string> absent;   // SHA-256, upper-case hexadecimal
  std::vector<std::string> malformed;
};

Wanted ReadConfig(const std::string& dir) {
  Wanted wanted;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      const auto ends = [&](const char* suffix) {
        return name.size() > strlen(suffix) && name.compare(name.size() - strlen(suffix), std::string::npos, suffix) == 0;
      };
      if (name[0] != '.' && (ends(".pem") || ends(".crt"))) wanted.present.push_back(name);
    }
    closedir(d);
  }
  std::sort(wanted.present.begin(), wanted.present.end());
  std::ifstream absent(dir + "/absent");
  for (std::string line; std::getline(absent, line);) {
    const std::string hex = Thumbprint(line);
    if (hex.empty()) continue;
    const bool valid = hex.size() == 64 && std::all_of(hex.begin(), hex.end(), [](char c) { return isxdigit(c); });
    (valid ? wanted.absent : wanted.malformed).push_back(valid ? hex : line);
  }
  return wanted;
}

struct Agent {
  std::string config;
  std::string tool = Setting("TKVCERT_AGENT_TOOL", "/usr/sbin/tkvcert");
  std::set<std::string> managed;  // the SHA-256 of the CAs the last convergence kept present

  // One convergence: a line per CA; whether any bundle changed.
  bool Converge(int* failures) {
    const Wanted wanted = ReadConfig(config);
    printf("converging: %zu present, %zu absent\n", wanted.present.size(), wanted.absent.size());
    bool changed = false;
    std::set<std::string> present;
    for (const std::string& file : wanted.present) {
      const Run run = RunProgram({tool, "/install", config + "/" + file}, ToolEnvironment(""), true);
      const json certificate = run.report.is_null() ? json::object() : run.report.value("certificate", json::object());
      if (run.status != 0) {
        printf("present %s failed: %s\n", Shown(file).c_str(), Shown(Why(run)).c_str());
        ++*failures;
        continue;
      }
      const std::string sha256 = certificate.value("sha256", "?");
      present.insert(sha256);
      changed = changed || Changed(run);
      printf("present %s \"%s\" from %s: %s\n", Shown(sha256).c_str(), Shown(certificate.value("name", "")).c_str(),
             Shown(file).c_str(),
             Changed(run) ? "changed" : "unchanged");
    }
    for (const std::string& line : wanted.malformed) {
      printf("absent \"%s\" ignored: not a SHA-256 thumbprint (64 hexadecimal digits)\n", Shown(line).c_str());
      ++*failures;
    }
    for (const std::string& sha256 : wanted.absent) {
      const Run run = RunProgram({tool, "/uninstall", sha256}, ToolEnvironment("TKVCERT_UNINSTALL_BY=sha256"), true);
      if (run.status != 0) {
        printf("absent %s failed: %s\n", sha256.c_str(), Shown(Why(run)).c_str());
        ++*failures;
        continue;
      }
      const bool removed = !run.report.value("removed", json::array()).empty();
      changed = changed || Changed(run);
      printf("absent %s: %s\n", sha256.c_str(), removed ? "removed" : "not trusted");
    }
    for (const std::string& sha256 : managed) {
      if (present.count(sha256) == 0 &&
          std::find(wanted.absent.begin(), wanted.absent.end(), sha256) == wanted.absent.end()) {
        printf("%s no longer managed: it stays trusted; list it under absent to remove it\n", sha256.c_str());
      }
    }
    managed = present;
    printf("converged%s\n", *failures == 0 ? "" : (" with " + std::to_string(*failures) + " failure(s)").c_str());
    fflush(stdout);
    return changed;
  }

  // containerd and the kubelet read the roots when they start: the units
  // asked for restart through the node's systemd, on its own bus, at this
  // node's place in the spread, so that a cluster's runtimes do not all
  // restart at once.
  void Restart() const {
    const std::string units = Setting("TKVCERT_AGENT_RESTART", "");
    if (units.empty()) return;
    const long spread = std::max(0L, strtol(Setting("TKVCERT_AGENT_RESTART_SPREAD", "300").c_str(), nullptr, 10));
    const unsigned long delay = spread == 0 ? 0 : std::hash<std::string>()(Setting("NODE_NAME", "")) % spread;
    printf("the bundle changed: restarting %s in %lu s\n", units.c_str(), delay);
    fflush(stdout);
    sleep(static_cast<unsigned>(delay));
    const std::string bus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" +
                            Setting("TKVCERT_AGENT_SYSTEM_BUS", "/host/run/dbus/system_bus_socket");
    std::stringstream list(units);
    for (std::string unit; std::getline(list, unit, ',');) {
      if (unit.empty()) continue;
      if (unit.find('.') == std::string::npos) unit += ".service";
      const Run run = RunProgram({"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.systemd1",
                                  "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager.RestartUnit",
                                  "string:" + unit, "string:replace"},
                                 {"PATH=/usr/bin:/bin", bus}, false);
      printf("restart %s: %s\n", unit.c_str(), run.status == 0 ? "asked of systemd" : "failed (dbus-send said why)");
    }
    fflush(stdout);
  }
};

// A watch on the directory, made before the first convergence, so that a
// change during one is not missed: the kubelet swaps "..data"; a directory
// edited by hand changes its files.
int WatchConfig(const std::string& dir) {
  const int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_CLOSE_WRITE |
                                                        IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
    fprintf(stderr, "tkvcert-agent: cannot watch %s: %s\n", dir.c_str(), strerror(errno));
    return -1;
  }
  return fd;
}

// Sleeps until the watch sees a change; a burst of events is one.
void WaitForChange(int watch) {
  char buffer[4096];
  pollfd waiting{watch, POLLIN, 0};
  while (poll(&waiting, 1, -1) < 0 && errno == EINTR) {
  }
  do {
    if (read(watch, buffer, sizeof buffer) < 0 && errno != EINTR) break;
  } while (poll(&waiting, 1, 500) > 0);
}

}  // namespace

int main(int argc, char** argv) {
  const bool once = argc == 3 && strcmp(argv[1], "--once") == 0;
  if (argc != 2 && !once) {
    fprintf(stderr, "Usage: tkvcert-agent [--once] CONFIG_DIR\n");
    return 2;
  }
  Agent agent;
  agent.config = argv[argc - 1];
  const int watch = once ? -1 : WatchConfig(agent.config);
  if (!once && watch < 0) return 1;
  for (;;) {
    int failures = 0;
    if (agent.Converge(&failures)) agent.Restart();
    if (once) return failures == 0 ? 0 : 1;
    WaitForChange(watch);
  }
}
