// The node agent: keeps a node's trust as a ConfigMap says. The ConfigMap is
// mounted as a directory; each key ending in .pem or .crt is a CA to be
// present (one certificate a key), and the key "absent" lists the SHA-256
// thumbprints of CAs to remove, one a line. The agent runs tkvcert once per
// entry with its report, removals first, says one line per CA as it goes
// (the tool's own lines after it), then sleeps on inotify until the kubelet
// swaps the ConfigMap's "..data" link, and converges again when what it
// holds changed. SIGTERM or SIGINT lets the tool's run in progress end, then
// the agent exits.
// tkvcert does the work (the node's own refresh, in its sandbox, checked,
// crash-safe); the agent only decides what to ask, and says what happened.
//
//   tkvcert-agent [--once] CONFIG_DIR
//
// Environment: TKVCERT_SYSROOT (the node's "/", passed to tkvcert),
// TKVCERT_AGENT_TOOL (default /usr/sbin/tkvcert), TKVCERT_AGENT_RESTART
// (units to restart when a bundle changed, comma-separated; none by default),
// TKVCERT_AGENT_RESTART_SPREAD (seconds over which a cluster's nodes spread
// those restarts, default 300), NODE_NAME (the node each line names, and
// where in that spread it is), TKVCERT_AGENT_SYSTEM_BUS (the node's system
// bus socket, default /host/run/dbus/system_bus_socket),
// TKVCERT_AGENT_READY (a file kept while the last convergence had no
// failure, for a readiness probe; none by default), TKVCERT_CLIENTS (passed
// to tkvcert: off, or fix; the lines of its look for clients with roots of
// their own are said once per convergence, after its CAs' lines).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include <iterator>
#include <map>
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

// SIGTERM or SIGINT: no new entry; the pipe wakes the wait for a change.
volatile sig_atomic_t stopping = 0;
int stop_pipe[2] = {-1, -1};

void OnStop(int) {
  const int saved = errno;
  stopping = 1;
  if (write(stop_pipe[1], "", 1) < 0) {
  }
  errno = saved;
}

// Without SA_RESTART, so that a wait returns to look at the flag; the tool's
// run is not signalled (it is in a process group of its own), and its change
// is crash-safe anyway.
bool HandleStop() {
  if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

// Text from a certificate or the ConfigMap: one log line whatever it holds,
// read in the order it is written (no control, no bidirectional override);
// quotes escaped too where the text is shown between quotes.
std::string Shown(const std::string& text, bool quoted = true) {
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
    } else if (byte < 0x20 || byte == 0x7f || (quoted && (byte == '"' || byte == '\\'))) {
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
  json report;                     // null when the tool wrote none
  std::vector<std::string> said;  // its standard error, line by line
};

// One run of a program with `env`, in a process group of its own (a
// terminal's ^C is the agent's to handle); its report read from descriptor 3
// when asked for, its standard error kept for the agent to write after the
// line it belongs to, its standard output dropped.
Run RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool report) {
  Run run;
  int report_fds[2] = {-1, -1};
  int error_fds[2] = {-1, -1};
  if ((report && pipe2(report_fds, O_CLOEXEC) != 0) || pipe2(error_fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, error_fds[1], 2);
  if (report) posix_spawn_file_actions_adddup2(&actions, report_fds[1], 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (report) close(report_fds[1]);
  close(error_fds[1]);
  std::string text, errors;
  pollfd open_ends[2] = {{error_fds[0], POLLIN, 0}, {report ? report_fds[0] : -1, POLLIN, 0}};
  std::string* into[2] = {&errors, &text};
  while (spawned == 0 && (open_ends[0].fd >= 0 || open_ends[1].fd >= 0)) {
    if (poll(open_ends, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (open_ends[i].fd < 0 || open_ends[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(open_ends[i].fd, buffer, sizeof buffer);
      if (n > 0) into[i]->append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) open_ends[i].fd = -1;
    }
  }
  if (report) close(report_fds[0]);
  close(error_fds[0]);
  if (spawned != 0) {
    run.said.push_back("tkvcert-agent: cannot run " + argv[0] + ": " + strerror(spawned));
    return run;
  }
  std::stringstream lines(errors);
  for (std::string line; std::getline(lines, line);) run.said.push_back(line);
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
  for (const char* name : {"TKVCERT_SYSROOT", "TKVCERT_BROWSERS", "TKVCERT_SANDBOX", "TKVCERT_CLIENTS"}) {
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

// What the directory holds, names and bytes: an event that changed none of
// it (the start's own, a kubelet's resync) converges nothing again.
std::string Contents(const std::string& dir, const Wanted& wanted) {
  std::string contents;
  for (const std::string& file : wanted.present) {
    std::ifstream in(dir + "/" + file, std::ios::binary);
    contents += file + '\0' + std::string(std::istreambuf_iterator<char>(in), {}) + '\0';
  }
  std::ifstream absent(dir + "/absent", std::ios::binary);
  return contents + "absent" + '\0' + std::string(std::istreambuf_iterator<char>(absent), {});
}

// A log line, written as it happens, naming the node (a DaemonSet's pods'
// lines are read together, kubectl logs -l ... --prefix).
void SayLine(const std::string& node, const std::string& line) {
  printf("%s: %s\n", node.c_str(), line.c_str());
  fflush(stdout);
}

struct Agent {
  std::string config;
  std::string tool = Setting("TKVCERT_AGENT_TOOL", "/usr/sbin/tkvcert");
  std::string node;
  std::string ready = Setting("TKVCERT_AGENT_READY", "");
  std::map<std::string, std::string> managed;  // the CAs the last convergence kept present: SHA-256, name
  // The tool looks for clients with roots of their own after each change:
  // its lines, kept to be said once when the convergence ends.
  mutable std::vector<std::string> clients;

  void Say(const std::string& line) const { SayLine(node, line); }
  // The tool's lines under the CA's, as it said them (it escapes its own),
  // but for those of its look for clients.
  void SayAfter(const Run& run) const {
    const json said = run.report.is_object() ? run.report.value("clients_said", json::array()) : json::array();
    std::vector<std::string> looked;
    for (const json& line : said) {
      if (!line.is_string()) continue;
      looked.push_back("tkvcert: " + line.get<std::string>());
      if (std::find(clients.begin(), clients.end(), looked.back()) == clients.end()) clients.push_back(looked.back());
    }
    for (const std::string& line : run.said) {
      if (std::find(looked.begin(), looked.end(), line) == looked.end()) Say("  " + Shown(line, false));
    }
  }
  void SayClients() const {
    for (const std::string& line : clients) Say("clients: " + Shown(line, false));
    clients.clear();
  }

  // The readiness probe's file: there while the node's trust is as listed.
  void Ready(bool converged) const {
    if (ready.empty()) return;
    if (!converged) {
      unlink(ready.c_str());
      return;
    }
    const std::string temporary = ready + ".new";
    std::ofstream(temporary) << "converged\n";
    rename(temporary.c_str(), ready.c_str());
  }

  bool Absent(const std::string& sha256, int* failures) const {
    const Run run = RunProgram({tool, "/uninstall", sha256}, ToolEnvironment("TKVCERT_UNINSTALL_BY=sha256"), true);
    if (run.status != 0) {
      Say("absent " + sha256 + " failed: " + Shown(Why(run)));
      SayAfter(run);
      ++*failures;
      return false;
    }
    const json removed = run.report.value("removed", json::array());
    const std::string name = removed.empty() ? "" : removed[0].value("name", "");
    Say("absent " + sha256 + (removed.empty() ? ": not trusted" : " \"" + Shown(name) + "\": removed"));
    SayAfter(run);
    return Changed(run);
  }

  bool Present(const std::string& file, std::map<std::string, std::string>* present, int* failures) const {
    const Run run = RunProgram({tool, "/install", config + "/" + file}, ToolEnvironment(""), true);
    if (run.status != 0) {
      Say("present " + Shown(file) + " failed: " + Shown(Why(run)));
      SayAfter(run);
      ++*failures;
      return false;
    }
    const json certificate = run.report.value("certificate", json::object());
    const std::string sha256 = certificate.value("sha256", "?");
    const std::string name = certificate.value("name", "");
    (*present)[sha256] = name;
    Say("present " + Shown(sha256) + " \"" + Shown(name) + "\" from " + Shown(file) + ": " +
        (Changed(run) ? "changed" : "unchanged"));
    SayAfter(run);
    return Changed(run);
  }

  // One convergence, removals first (a compromised CA goes before any
  // install's refresh), a line per CA as it goes; whether any bundle
  // changed. A stop ends it between two entries.
  bool Converge(const Wanted& wanted, int* failures) {
    Say("converging: " + std::to_string(wanted.present.size()) + " present, " +
        std::to_string(wanted.absent.size()) + " absent");
    bool changed = false;
    for (const std::string& line : wanted.malformed) {
      Say("absent \"" + Shown(line) + "\" ignored: not a SHA-256 thumbprint (64 hexadecimal digits)");
      ++*failures;
    }
    size_t left = wanted.absent.size() + wanted.present.size();
    for (const std::string& sha256 : wanted.absent) {
      if (stopping) break;
      changed = Absent(sha256, failures) || changed;
      --left;
    }
    std::map<std::string, std::string> present;
    for (const std::string& file : wanted.present) {
      if (stopping) break;
      changed = Present(file, &present, failures) || changed;
      --left;
    }
    SayClients();
    if (stopping) {
      Say("stopping: " + std::to_string(left) + " entries not run");
      return changed;
    }
    for (const auto& [sha256, name] : managed) {
      if (present.count(sha256) == 0 &&
          std::find(wanted.absent.begin(), wanted.absent.end(), sha256) == wanted.absent.end()) {
        Say(sha256 + " \"" + Shown(name) + "\" no longer managed: it stays trusted; list it under absent to remove it");
      }
    }
    managed = present;
    Say(std::string("converged") + (*failures == 0 ? "" : " with " + std::to_string(*failures) + " failure(s)"));
    Ready(*failures == 0);
    return changed;
  }

  // containerd and the kubelet read the roots when they start: the units
  // asked for restart through the node's systemd, on its own bus, at this
  // node's place in the spread, so that a cluster's runtimes do not all
  // restart at once. A stop during the wait asks for none.
  void Restart() const {
    const std::string units = Setting("TKVCERT_AGENT_RESTART", "");
    if (units.empty()) return;
    const long spread = std::max(0L, strtol(Setting("TKVCERT_AGENT_RESTART_SPREAD", "300").c_str(), nullptr, 10));
    const unsigned long delay = spread == 0 ? 0 : std::hash<std::string>()(Setting("NODE_NAME", "")) % spread;
    Say("the bundle changed: restarting " + Shown(units) + " in " + std::to_string(delay) + " s");
    pollfd stop{stop_pipe[0], POLLIN, 0};
    if (poll(&stop, 1, static_cast<int>(delay * 1000)) != 0 || stopping) return;
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
      Say("restart " + Shown(unit) + ": " + (run.status == 0 ? "asked of systemd" : "failed (dbus-send said why)"));
      SayAfter(run);
    }
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

// Sleeps until the watch sees a change (a burst of events is one) or a stop.
void WaitForChange(int watch) {
  char buffer[4096];
  pollfd waiting[2] = {{watch, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
  while (!stopping && poll(waiting, 2, -1) < 0 && errno == EINTR) {
  }
  do {
    if (stopping || (read(watch, buffer, sizeof buffer) < 0 && errno != EINTR)) break;
  } while (poll(waiting, 1, 500) > 0);
}

std::string NodeName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return Shown(Setting("NODE_NAME", host[0] != '\0' ? host : "?"));
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
  agent.node = NodeName();
  if (!HandleStop()) {
    fprintf(stderr, "tkvcert-agent: cannot handle SIGTERM: %s\n", strerror(errno));
    return 1;
  }
  agent.Ready(false);  // a restarted container's emptyDir keeps the last one's
  const int watch = once ? -1 : WatchConfig(agent.config);
  if (!once && watch < 0) return 1;
  std::string converged;
  int failures = 0;
  for (;;) {
    const Wanted wanted = ReadConfig(agent.config);
    const std::string contents = Contents(agent.config, wanted);
    if (contents != converged || failures != 0) {
      failures = 0;
      if (agent.Converge(wanted, &failures) && !stopping) agent.Restart();
      converged = contents;
    }
    if (once) return failures == 0 && !stopping ? 0 : 1;
    if (!stopping) WaitForChange(watch);
    if (stopping) {
      agent.Say("stopped");
      return 0;
    }
  }
}
