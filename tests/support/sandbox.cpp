#include "tests/support/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tkv::testing {
namespace {

// The caller's settings of the tool (TKVCERT_BROWSERS=off in an admin's
// shell, a sandbox mode) would reach every run a test makes, however it
// starts the tool: they are cleared as the test process starts, and each
// test sets what it means to. The tests' own (TKVCERT_E2E_*,
// TKVCERT_TRACE_*) stay.
[[maybe_unused]] const bool kCallersToolSettingsCleared = [] {
  std::vector<std::string> names;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name(*entry, strcspn(*entry, "="));
    if (name.rfind("TKVCERT_", 0) == 0 && name.rfind("TKVCERT_E2E_", 0) != 0 && name.rfind("TKVCERT_TRACE_", 0) != 0) {
      names.push_back(name);
    }
  }
  for (const std::string& name : names) unsetenv(name.c_str());
  return true;
}();

void MakeDirs(const std::string& path) {
  std::string partial;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      partial = path.substr(0, i);
      mkdir(partial.c_str(), 0755);
    }
  }
}

// Reads the child's output until it has exited. Not until end of file: a
// daemon it starts (Wine's server) may hold the pipes open long after.
int ReadUntilExit(pid_t pid, int out_fd, int err_fd, std::string* out, std::string* err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  char buffer[4096];
  int status = 0;
  bool exited = false;
  for (;;) {
    const int ready = poll(fds, 2, exited ? 0 : 20);
    bool read_any = false;
    for (int i = 0; ready > 0 && i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(n));
        read_any = true;
      }
    }
    if (exited && !read_any) break;
    if (fds[0].fd < 0 && fds[1].fd < 0 && !exited) {
      waitpid(pid, &status, 0);
      break;
    }
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
  }
  close(out_fd);
  close(err_fd);
  return status;
}

}  // namespace

Sandbox::Sandbox() {
  chmod(root().c_str(), 0755);
  for (const char* dir : {"/usr/local/share/ca-certificates", "/usr/share/ca-certificates",
                          "/etc/ssl/certs", "/files"}) {
    MakeDirs(root() + dir);
  }
  WriteFile(root() + "/etc/ca-certificates.conf", std::string());
}

std::string Sandbox::Put(const std::string& name, const std::string& contents) const {
  const std::string path = root() + "/files/" + name;
  WriteFile(path, contents);
  chmod(path.c_str(), 0644);
  return path;
}

std::string Sandbox::Put(const std::string& name, const Bytes& contents) const {
  return Put(name, Text(contents));
}

void Sandbox::PlaceAnchor(const std::string& name, const std::string& contents) const {
  WriteFile(anchors_dir() + "/" + name, contents);
}

std::vector<std::pair<std::string, std::string>> Sandbox::Snapshot() const {
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : AnchorNames()) {
    // A failed refresh leaves the record of its change for the next run to
    // refresh again: the store's bookkeeping, not part of what it holds.
    if (name == ".tkvcert-staging/change-in-progress") continue;
    files.emplace_back(name, ReadFile(anchors_dir() + "/" + name));
  }
  return files;
}

namespace {

std::vector<std::string> ListDir(const std::string& path, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    // The store's lock stays once made: bookkeeping, not something it holds.
    if (prefix + name == ".tkvcert-staging/lock") continue;
    if (entry->d_type == DT_DIR) {
      // The store's own staging area counts by what it holds.
      for (const std::string& inner : ListDir(path + "/" + name, prefix + name + "/")) {
        names.push_back(inner);
      }
    } else {
      names.push_back(prefix + name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> Sandbox::AnchorNames() const { return ListDir(anchors_dir(), ""); }

std::vector<std::string> Sandbox::ListFiles(const std::string& dir) { return ListDir(dir, ""); }

int Sandbox::BundleCount() const {
  struct stat st;
  if (stat(bundle().c_str(), &st) != 0) return 0;
  const std::string text = ReadFile(bundle());
  int count = 0;
  for (size_t at = text.find("-----BEGIN CERTIFICATE-----"); at != std::string::npos;
       at = text.find("-----BEGIN CERTIFICATE-----", at + 1)) {
    ++count;
  }
  return count;
}

void Sandbox::BreakRefresh() const {
  const std::string certs = root() + "/etc/ssl/certs";
  std::string command = "rm -rf '" + certs + "'";
  if (system(command.c_str()) != 0) throw std::runtime_error("cannot remove " + certs);
  WriteFile(certs, std::string("not a directory\n"));
}

namespace {

// TKVCERT_E2E_WINE_DIR names the Windows build; its Wine prefix is beside it.
const std::string& WineBuildDir() {
  static const std::string dir = [] {
    const char* value = getenv("TKVCERT_E2E_WINE_DIR");
    if (value == nullptr || value[0] == '\0') return std::string();
    setenv("WINEPREFIX", (std::string(value) + "/wineprefix").c_str(), 0);
    setenv("WINEDEBUG", "-all", 0);
    return std::string(value);
  }();
  return dir;
}

std::string WineExe() { return WineBuildDir() + "/tkvcert.exe"; }

}  // namespace

bool OnWine() { return !WineBuildDir().empty(); }

std::string WineProbe() { return OnWine() ? WineBuildDir() + "/name_probe.exe" : ""; }

namespace {

// Wine names a Unix path through its drive Z:.
std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

std::string WithUnixLineEnds(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

RunResult SpawnOnce(const char* program, const std::vector<std::string>& argv,
                    const RunOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.as_nobody && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                              setresuid(65534, 65534, 65534) != 0)) {
      _exit(125);
    }
    if (options.leaked_fd >= 0 && (dup2(options.leaked_fd, 9) < 0 || fcntl(9, F_SETFD, 0) != 0)) _exit(124);
    if (!options.sysroot.empty()) setenv("TKVCERT_SYSROOT", options.sysroot.c_str(), 1);
    std::vector<char*> c_argv;
    for (const std::string& a : argv) c_argv.push_back(const_cast<char*>(a.c_str()));
    c_argv.push_back(nullptr);
    execvp(program, c_argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  const int status = ReadUntilExit(pid, out_pipe[0], err_pipe[0], &result.out, &result.err);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

// Now and then Wine cannot start at all: something already sits where it
// must map its shared page, and it gives up before running any Windows
// code. Nothing was done, so the run is tried again rather than failed.
bool WineFailedToStart(const char* program, const RunResult& result) {
  return std::string(program) == "wine" &&
         result.err.find("failed to map the shared user data") != std::string::npos;
}

RunResult Spawn(const char* program, const std::vector<std::string>& argv,
                const RunOptions& options) {
  RunResult result = SpawnOnce(program, argv, options);
  for (int retry = 0; retry < 3 && WineFailedToStart(program, result); ++retry) {
    result = SpawnOnce(program, argv, options);
  }
  return result;
}

}  // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const char* name, const std::string& value)
    : name_(name) {
  if (const char* old = getenv(name)) {
    was_set_ = true;
    old_value_ = old;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (was_set_) setenv(name_.c_str(), old_value_.c_str(), 1);
  else unsetenv(name_.c_str());
}

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv;
  if (OnWine()) argv = {"wine", WineExe()};
  else argv = {"tkvcert"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result = Spawn(OnWine() ? "wine" : TKVCERT_BINARY, argv, options);
  result.raw_out = result.out;
  if (OnWine()) result.out = WithUnixLineEnds(result.out);
  return result;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd) {
  RunOptions options;
  options.cwd = cwd;
  return Spawn(argv[0].c_str(), argv, options);
}

std::string UsageText() {
  const std::string name = OnWine() ? WindowsPath(WineExe()) : "tkvcert";
  return name + " TKV proxy certificate management utility.\nUsage:\n" +
         "- " + name + " /install <filename>\n\tInstall TKV CA certificate to trust store\n" +
         "- " + name + " /uninstall <subject>\n\tRemove TKV CA certificate from trust store\n";
}

}  // namespace tkv::testing
