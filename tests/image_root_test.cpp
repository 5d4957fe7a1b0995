// What the tool reports must be what clients trust, and an image root must
// be handled inside the image. Every case here could, if the tool were
// wrong, write to this machine's own trust store: so the whole binary runs
// in a private mount namespace, with copies of the host's trust directories
// mounted over the real ones, and each case checks that those copies did
// not change.
#include <fcntl.h>
#include <glob.h>
#include <linux/keyctl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/cert/anchor_format.h"
#include "tests/support/ci_skip.h"
#include "tests/support/reported_run.h"
#include "tests/support/sandbox.h"

namespace tkv::testing {
namespace {

const char* const kHostTrustDirs[] = {"/etc/ssl/certs", "/usr/local/share/ca-certificates",
                                      "/etc/ca-certificates"};

void Shell(const std::string& command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

// Sets up the private namespace once per test process (ctest runs each
// case in a process of its own).
class PrivateHostStore : public ::testing::Environment {
 public:
  static bool ready() { return ready_; }

  void SetUp() override {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    for (const char* dir : kHostTrustDirs) {
      struct stat st;
      if (stat(dir, &st) != 0) continue;
      const std::string copy = copies_.path() + dir;
      if (system(("mkdir -p '" + copy + "' && cp -a '" + dir + "/.' '" + copy + "/'").c_str()) != 0 ||
          mount(copy.c_str(), dir, nullptr, MS_BIND, nullptr) != 0) {
        return;
      }
    }
    ready_ = true;
  }

 private:
  static inline bool ready_ = false;
  TempDir copies_;
};

const auto* const kPrivateHostStore = ::testing::AddGlobalTestEnvironment(new PrivateHostStore);

// Every entry below the host's trust directories, with link targets and
// file contents, so that any change shows.
std::string HostTrustState() {
  std::string state;
  for (const char* dir : kHostTrustDirs) {
    for (const std::string& name : Sandbox::ListFiles(dir)) {
      const std::string path = std::string(dir) + "/" + name;
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      state += path + (n >= 0 ? " -> " + std::string(target, static_cast<size_t>(n))
                              : " = " + ReadFile(path)) + "\n";
    }
  }
  return state;
}

std::string Imported(const std::string& file) { return "Done importing [" + file + "]\n"; }
std::string Removal(const std::string& name) {
  return "Removing certificate : " + name + " \nThe certificate has been removed.\nDone removing [" +
         name + "]\n";
}
std::string Failed(const std::string& message, const std::string& code) {
  return "Error : " + message + "\nLastError: " + code + "\n";
}

// A root with Debian's layout and no refresh program of its own: the host's
// tool serves it. `conf` is its etc/ca-certificates.conf.
void MakeBareRoot(const std::string& root, const std::string& conf = "") {
  Shell("mkdir -p '" + root + "/usr/local/share/ca-certificates' '" + root +
        "/usr/share/ca-certificates' '" + root + "/etc/ssl/certs' '" + root + "/files'");
  WriteFile(root + "/etc/ca-certificates.conf", conf);
}

// A root with a refresh of its own: the static stub, which works on "/".
void MakeImageRoot(const std::string& root, const char* marker, const std::string& stub_conf = "") {
  MakeBareRoot(root);
  if (marker != nullptr) WriteFile(root + marker, std::string());
  Shell("mkdir -p '" + root + "/usr/sbin' && cp '" REFRESH_STUB "' '" + root +
        "/usr/sbin/update-ca-certificates'");
  WriteFile(root + "/refresh-stub.conf", stub_conf);
}

struct Ca {
  std::string name;
  std::string file;  // below the root's files/
};

Ca PutCa(const std::string& root, const std::string& name, long serial = 1) {
  const std::string file = "ca-" + std::to_string(std::hash<std::string>()(name + std::to_string(serial))) + ".pem";
  WriteFile(root + "/files/" + file, ToPem(MakeCertificate(name, serial)));
  return {name, file};
}

RunResult Install(const std::string& root, const Ca& ca) {
  return RunTool({"/install", ca.file}, {root, false, root + "/files"});
}
RunResult Uninstall(const std::string& root, const std::string& name) {
  return RunTool({"/uninstall", name}, {root, false, root + "/files"});
}

bool BundleTrusts(const std::string& root, const Ca& ca) {
  const std::string bundle = root + "/etc/ssl/certs/ca-certificates.crt";
  return RunProgram({"openssl", "verify", "-CAfile", bundle, root + "/files/" + ca.file}).status == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Links in a directory below the root that lead nowhere, as the root sees
// them: an absolute target is inside the root.
std::vector<std::string> DanglingLinks(const std::string& root, const std::string& dir) {
  std::vector<std::string> dangling;
  for (const std::string& name : Sandbox::ListFiles(root + dir)) {
    const std::string path = root + dir + "/" + name;
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n <= 0) continue;
    const std::string to(target, static_cast<size_t>(n));
    const std::string resolved = to[0] == '/' ? root + to : root + dir + "/" + to;
    struct stat st;  // one step: a hash link names a link beside it
    if (lstat(resolved.c_str(), &st) != 0) dangling.push_back(name);
  }
  return dangling;
}

// Runs argv with the root's trust directories where clients look for them,
// so that links made for the root resolve as they would in it.
RunResult InRootView(const std::string& root, std::vector<std::string> argv) {
  std::vector<std::string> line = {"bwrap", "--ro-bind", "/", "/"};
  for (const char* dir : {"/etc/ssl/certs", "/usr/local/share/ca-certificates"}) {
    line.insert(line.end(), {"--ro-bind", root + dir, dir});
  }
  line.insert(line.end(), {"--dev", "/dev", "--"});
  line.insert(line.end(), argv.begin(), argv.end());
  return RunProgram(line);
}

bool HasSetUidFile(const std::string& dir) {
  return system(("test -z \"$(find '" + dir + "' -perm -4000 2>/dev/null)\"").c_str()) != 0;
}

// A user of the test's own, who plays the attacker; removed at exit.
class ThrowawayUser {
 public:
  ThrowawayUser() : name_("tkvatk" + std::to_string(getpid())) {
    RemoveStale();
    // useradd takes a lock on the user database; another test may hold it.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (system(("useradd -M -N -s /usr/sbin/nologin " + name_ + " 2>/dev/null").c_str()) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const passwd* entry = getpwnam(name_.c_str());
    uid_ = entry != nullptr ? entry->pw_uid : 0;
  }
  ~ThrowawayUser() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (system(("userdel " + name_ + " 2>/dev/null").c_str()) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    RemoveStale();
  }
  bool ready() const { return uid_ != 0; }
  const std::string& name() const { return name_; }

  // Those of runs that were killed before they could remove theirs.
  static void RemoveStale() {
    std::vector<std::string> stale;
    setpwent();
    while (const passwd* entry = getpwent()) {
      const std::string name = entry->pw_name;
      if (name.compare(0, 6, "tkvatk") != 0 || name.size() == 6) continue;
      const pid_t pid = static_cast<pid_t>(atol(name.c_str() + 6));
      if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    endpwent();
    for (const std::string& name : stale) {
      if (system(("userdel " + name + " 2>/dev/null").c_str()) != 0) continue;
    }
  }
  std::string owns(const std::string& path) const {
    return "chown -h " + std::to_string(uid_) + " '" + path + "'";
  }

 private:
  std::string name_;
  uid_t uid_ = 0;
};

const ThrowawayUser& Attacker() {
  static const ThrowawayUser* user = new ThrowawayUser;
  static const int removed_at_exit = atexit([] { delete user; });
  (void)removed_at_exit;
  return *user;
}

// A certificate only root may read, on the host outside any root: no
// bundle may ever hold it.
std::string RootOnlySecret(const std::string& dir) {
  const std::string secret = dir + "/secret.pem";
  WriteFile(secret, ToPem(MakeCertificate("Host Secret")));
  Shell("chmod 600 '" + secret + "'");
  return secret;
}

bool AnyBundleHolds(const std::string& dir, const std::string& cert) {
  const std::string find = "find '" + dir + "' -name '*.crt' -path '*etc/ssl/certs*' -type f";
  const RunResult bundles = RunProgram({"sh", "-c", find});
  for (size_t at = 0, end; at < bundles.out.size(); at = end + 1) {
    end = bundles.out.find('\n', at);
    const std::string bundle = bundles.out.substr(at, end - at);
    if (RunProgram({"openssl", "verify", "-CAfile", bundle, cert}).status == 0) return true;
  }
  return false;
}

// Starts the tool on the root in a process group of its own, with its
// output thrown away: a test kills the group midway, as timeout, Ctrl-C and
// systemd do.
pid_t StartToolInGroup(const std::string& root, const std::vector<std::string>& args,
                       const char* stop_at = nullptr, int notify_fd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    setenv("TKVCERT_SYSROOT", root.c_str(), 1);
    if (stop_at != nullptr) {
      if (dup2(notify_fd, 150) < 0) _exit(126);
      setenv("TKVCERT_STOP_AT", stop_at, 1);
      setenv("TKVCERT_STOP_FD", "150", 1);
    }
    if (chdir((root + "/files").c_str()) != 0) _exit(126);
    std::vector<char*> argv = {const_cast<char*>("tkvcert")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(stop_at != nullptr ? STOP_POINTS_BINARY : TKVCERT_BINARY, argv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

// Runs the stop-point build of the tool and kills it, with its group, where
// it stops at `point`: whether it got there.
bool KilledAt(const std::string& root, const char* point, const std::vector<std::string>& args) {
  int notify[2];
  if (pipe2(notify, O_CLOEXEC) != 0) return false;
  const pid_t pid = StartToolInGroup(root, args, point, notify[1]);
  close(notify[1]);
  pollfd stopped = {notify[0], POLLIN, 0};
  char name[128] = {};
  const bool there = poll(&stopped, 1, 10000) == 1 && read(notify[0], name, sizeof name - 1) > 0;
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(notify[0]);
  return there;
}

// A CA of the root's distribution set, at `file` below usr/share/ca-certificates,
// and in files/ to install.
Ca PutDistributionCa(const std::string& root, const std::string& name, const std::string& file) {
  const Ca ca = PutCa(root, name);
  Shell("mkdir -p \"$(dirname '" + root + "/usr/share/ca-certificates/" + file + "')\" && cp '" + root + "/files/" +
        ca.file + "' '" + root + "/usr/share/ca-certificates/" + file + "'");
  return ca;
}

// Where the tool keeps `ca` among the root's anchors.
std::string AnchorOf(const std::string& root, const Ca& ca) {
  const Bytes der = ParseAnchorFile(FromText(ReadFile(root + "/files/" + ca.file)))[0].der;
  return root + "/usr/local/share/ca-certificates/" + AnchorFileName(der);
}

// An Alpine image whose conf chooses one CA of its set, "Dist CA", which a
// first change has put in the bundle; no file when that change failed.
Ca AlpineWithDistributionCa(const std::string& root) {
  MakeImageRoot(root, "/etc/alpine-release");
  WriteFile(root + "/etc/ca-certificates.conf", std::string("local/Dist_CA.crt\n"));
  const Ca dist = PutDistributionCa(root, "Dist CA", "local/Dist_CA.crt");
  return Install(root, PutCa(root, "Trigger CA")).status == 0 ? dist : Ca{};
}

// Whether the root's bundle trusts a leaf that `ca` issued.
bool TrustsLeafOf(const std::string& root, const Ca& ca) {
  const std::string files = root + "/files/";
  WriteFile(files + "leaf.key", PrivateKeyPem());
  WriteFile(files + "leaf.csr", ToPem(MakeCsr("Leaf of " + ca.name), "CERTIFICATE REQUEST"));
  if (RunProgram({"openssl", "x509", "-req", "-in", files + "leaf.csr", "-CA", files + ca.file, "-CAkey",
                  files + "leaf.key", "-set_serial", "77", "-days", "30", "-out", files + "leaf.pem"})
          .status != 0) {
    return false;
  }
  return RunProgram({"openssl", "verify", "-no-CApath", "-no-CAstore", "-CAfile",
                     root + "/etc/ssl/certs/ca-certificates.crt", files + "leaf.pem"})
             .status == 0;
}

// A key in root's user keyring, as an admin's session may leave one there;
// unlinked when it goes.
class RootUserKey {
 public:
  RootUserKey()
      : description_("tkvcert-probe-" + std::to_string(getpid()) + "-" + std::to_string(++made_)),
        id_(syscall(SYS_add_key, "user", description_.c_str(), "not yours", 9, KEY_SPEC_USER_KEYRING)) {}
  ~RootUserKey() {
    if (id_ >= 0) syscall(SYS_keyctl, KEYCTL_UNLINK, id_, KEY_SPEC_USER_KEYRING);
  }
  RootUserKey(const RootUserKey&) = delete;
  RootUserKey& operator=(const RootUserKey&) = delete;
  bool ready() const { return id_ >= 0; }
  const std::string& description() const { return description_; }

 private:
  static inline int made_ = 0;
  std::string description_;
  long id_;
};

// Seen only in this process's private mount namespace, while it lives.
class BindMountOver {
 public:
  BindMountOver(const std::string& from, const std::string& to)
      : to_(to), done_(mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0) {}
  ~BindMountOver() {
    if (done_) umount2(to_.c_str(), MNT_DETACH);
  }
  BindMountOver(const BindMountOver&) = delete;
  BindMountOver& operator=(const BindMountOver&) = delete;
  bool done() const { return done_; }

 private:
  std::string to_;
  bool done_;
};

// The tool with a descriptor of the host's "/" left open in it.
RunResult RunLeakingHostRoot(const std::string& root, const std::vector<std::string>& args) {
  const int host = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  RunOptions options{root, false, root + "/files"};
  options.leaked_fd = host;
  const RunResult r = RunTool(args, options);
  close(host);
  return r;
}

// What the refresh stub's probe reports when nothing of the host reached it.
const char kProbedNothing[] =
    "ok descriptors\nok proc-sys\nok sysrq-trigger\nok keyctl-search\nok proc-keys\nok tiocsti\nok io_uring\n"
    "ok new-calls\n";

// This process's children, as /proc lists them.
std::vector<pid_t> Children() {
  std::vector<pid_t> children;
  const std::string listed = ReadFile("/proc/self/task/" + std::to_string(getpid()) + "/children");
  for (size_t at = 0; at < listed.size();) {
    const size_t end = listed.find(' ', at);
    children.push_back(static_cast<pid_t>(std::stol(listed.substr(at, end - at))));
    at = end == std::string::npos ? listed.size() : end + 1;
  }
  return children;
}

// Runs the stop-point build of the tool on `root`, with its standard output
// and error a pipe of ours, as `tkvcert ... | cat` gives them; kills it where
// it stops at `point` in its `launch`-th sandbox (with `point` null: once
// the refresh, which marks its start, runs); and says what outlived it, if
// anything, three seconds on: a process, or one holding that pipe. The
// refresh must take longer, or a sandbox that outlived the tool until its
// refresh ended would pass.
std::string WhatOutlivesTheTool(const std::string& root, const char* point, int launch,
                                const std::string& file) {
  int notify[2];
  int caller[2];
  if (pipe2(notify, O_CLOEXEC) != 0 || pipe2(caller, O_CLOEXEC) != 0) return "no pipes";
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // what the tool leaves comes to us
  const pid_t tool = fork();
  if (tool == 0) {
    if (dup2(notify[1], 150) < 0 || dup2(caller[1], 1) < 0 || dup2(caller[1], 2) < 0) _exit(126);
    setenv("TKVCERT_SYSROOT", root.c_str(), 1);
    setenv("TKVCERT_STOP_AT", point != nullptr ? point : "", 1);
    setenv("TKVCERT_STOP_LAUNCH", std::to_string(launch).c_str(), 1);
    setenv("TKVCERT_STOP_FD", "150", 1);
    if (chdir((root + "/files").c_str()) != 0) _exit(126);
    execl(STOP_POINTS_BINARY, "tkvcert", "/install", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(notify[1]);
  close(caller[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string problem;
  if (point != nullptr) {
    pollfd stopped = {notify[0], POLLIN, 0};
    char name[128] = {};
    if (poll(&stopped, 1, 10000) != 1 || read(notify[0], name, sizeof name - 1) <= 0) {
      problem = "it never stopped there";
    }
  } else {
    while (!Exists(root + "/refresh.log.running") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!Exists(root + "/refresh.log.running")) problem = "its refresh never ran";
  }
  kill(tool, SIGKILL);
  waitpid(tool, nullptr, 0);
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::vector<pid_t> left;
  do {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    left = Children();
    if (!left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (!left.empty() && std::chrono::steady_clock::now() < bound);
  for (const pid_t pid : left) {
    const std::string name = ReadFile("/proc/" + std::to_string(pid) + "/comm");
    problem += " process " + std::to_string(pid) + " (" + name.substr(0, name.find('\n')) + ") is left;";
    kill(pid, SIGKILL);
  }
  while (waitpid(-1, nullptr, left.empty() ? WNOHANG : 0) > 0) {
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  // Every writer of its pipe gone: end of file, at once.
  pollfd output = {caller[0], POLLIN, 0};
  bool ended = false;
  char buffer[4096];
  while (!ended && poll(&output, 1, 500) == 1) ended = read(caller[0], buffer, sizeof buffer) <= 0;
  if (!ended) problem += " its caller's pipe is held;";
  close(notify[0]);
  close(caller[0]);
  return problem;
}

// Each row runs in a cgroup made for it, the test process with it, so that
// the tool and all it starts are in it too (the tool's sandboxes make their
// own below it): what they leave is counted there, not by name across the
// machine, where an admin's refresh or another test run's would count as
// well. cgroup v1's pids hierarchy, else v2's unified one.
const char kRowCgroupPrefix[] = "tkv-image-root-";
std::string row_cgroup;   // "" when there is none
std::string home_cgroup;  // where this process was before

// Ends every process in a cgroup and below it, and removes them.
void RemoveCgroup(const std::string& dir) {
  const std::string procs = "find '" + dir + "' -name cgroup.procs -exec cat {} + 2>/dev/null";
  for (int attempt = 0; attempt < 100 && Exists(dir); ++attempt) {
    if (system(("kill -9 $(" + procs + ") 2>/dev/null; find '" + dir + "' -depth -type d -exec rmdir {} + "
                "2>/dev/null").c_str()) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

void MakeRowCgroup() {
  for (const std::string hierarchy : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup"}) {
    if (!Exists(hierarchy + "/cgroup.procs")) continue;
    glob_t stale;  // of runs killed before they could remove theirs
    if (glob((hierarchy + "/" + kRowCgroupPrefix + "*").c_str(), 0, nullptr, &stale) == 0) {
      for (size_t i = 0; i < stale.gl_pathc; ++i) {
        const std::string path = stale.gl_pathv[i];
        if (kill(atoi(path.c_str() + path.rfind('-') + 1), 0) != 0 && errno == ESRCH) RemoveCgroup(path);
      }
      globfree(&stale);
    }
    std::ifstream lines("/proc/self/cgroup");
    for (std::string line; std::getline(lines, line);) {
      if (line.find(hierarchy == "/sys/fs/cgroup" ? "0::" : ":pids:") == std::string::npos) continue;
      home_cgroup = hierarchy + line.substr(line.find(':', line.find(':') + 1) + 1);
    }
    row_cgroup = hierarchy + "/" + kRowCgroupPrefix + std::to_string(getpid());
    Shell("mkdir '" + row_cgroup + "'");
    WriteFile(row_cgroup + "/cgroup.procs", std::to_string(getpid()));
    return;
  }
}

// The processes in the row's cgroup and below it, this one aside.
std::vector<pid_t> RowProcesses() {
  std::vector<pid_t> found;
  for (const std::string& name : row_cgroup.empty() ? std::vector<std::string>{} : Sandbox::ListFiles(row_cgroup)) {
    if (name.find("cgroup.procs") == std::string::npos) continue;
    std::ifstream procs(row_cgroup + "/" + name);
    for (pid_t pid; procs >> pid;) {
      if (pid != getpid()) found.push_back(pid);
    }
  }
  return found;
}

// Whether processes are still in the row's cgroup a while after the tool ended.
bool ProcessesLeft() {
  for (int attempt = 0; attempt < 300 && !RowProcesses().empty(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !RowProcesses().empty();
}

// Takes this process back where it was and removes the row's cgroup,
// ending what is left in it: those processes, named.
std::string LeaveRowCgroup() {
  if (row_cgroup.empty()) return "";
  WriteFile(home_cgroup + "/cgroup.procs", std::to_string(getpid()));
  std::string left;
  for (const pid_t pid : ProcessesLeft() ? RowProcesses() : std::vector<pid_t>{}) {
    std::string name;  // none when it ended meanwhile
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    left += " " + std::to_string(pid) + " (" + name + ")";
  }
  RemoveCgroup(row_cgroup);
  row_cgroup.clear();
  return left;
}

// The most processes the row's cgroup held at once while `run` ran.
int MostProcessesDuring(const std::function<void()>& run) {
  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::thread sampler([&] {
    while (!done) {
      most = std::max(most.load(), static_cast<int>(RowProcesses().size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  run();
  done = true;
  sampler.join();
  return most;
}

// Starts the stop-point build of the tool installing `file` into `root`:
// at `point` it writes the point's name to `notify` and goes on once `go`
// has a byte or is closed. Its standard output and error are `out` and `err`.
pid_t StartStopping(const std::string& root, const char* point, const std::string& file, int notify, int go,
                    int out, int err) {
  const pid_t tool = fork();
  if (tool == 0) {
    if (dup2(notify, 150) < 0 || dup2(go, 151) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    setenv("TKVCERT_SYSROOT", root.c_str(), 1);
    setenv("TKVCERT_STOP_AT", point, 1);
    setenv("TKVCERT_STOP_FD", "150", 1);
    setenv("TKVCERT_STOP_GO_FD", "151", 1);
    if (chdir((root + "/files").c_str()) != 0) _exit(126);
    execl(STOP_POINTS_BINARY, "tkvcert", "/install", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return tool;
}

struct FaultCase {
  const char* fault;
  std::function<void(const std::string& dir)> run;  // `dir`: an empty directory of the case's own
};

const FaultCase kFaults[] = {
    {"a refresh killed midway leaves a bundle the next one appends to",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeBareRoot(root);
       const Ca a = PutCa(root, "Leftover A");
       const Ca b = PutCa(root, "Leftover B");
       ASSERT_EQ(Install(root, a).status, 0);
       ASSERT_EQ(Install(root, b).status, 0);
       Shell("cp '" + root + "/etc/ssl/certs/ca-certificates.crt' '" + root +
             "/etc/ssl/certs/ca-certificates.crt.new'");
       const RunResult r = Uninstall(root, "Leftover A");
       EXPECT_EQ(r.out, Removal("Leftover A"));
       EXPECT_EQ(r.status, 0);
       EXPECT_FALSE(BundleTrusts(root, a));
       EXPECT_TRUE(BundleTrusts(root, b));
     }},
    // The real thing behind the first row: killed with its whole process
    // group, as timeout, Ctrl-C and systemd kill it.
    {"a refresh killed with its group keeps a removed CA trusted",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeBareRoot(root);
       const Ca a = PutCa(root, "Killed Group A");
       const Ca b = PutCa(root, "Killed Group B");
       ASSERT_EQ(Install(root, a).status, 0);
       ASSERT_EQ(Install(root, b).status, 0);
       const std::string leftover = root + "/etc/ssl/certs/ca-certificates.crt.new";
       bool killed_midway = false;
       for (int attempt = 0; attempt < 40 && !killed_midway; ++attempt) {
         const Ca c = PutCa(root, "Killed Group C", attempt + 1);
         const pid_t pid = StartToolInGroup(root, {"/install", c.file});
         const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         while (!Exists(leftover) && std::chrono::steady_clock::now() < deadline &&
                waitpid(pid, nullptr, WNOHANG) == 0) {
           std::this_thread::sleep_for(std::chrono::microseconds(200));
         }
         kill(-pid, SIGKILL);
         waitpid(pid, nullptr, 0);
         killed_midway = Exists(leftover);
       }
       ASSERT_TRUE(killed_midway) << "no kill landed inside the refresh";
       const RunResult r = Uninstall(root, "Killed Group A");
       EXPECT_EQ(r.out, Removal("Killed Group A"));
       EXPECT_EQ(r.status, 0);
       EXPECT_FALSE(BundleTrusts(root, a));
       EXPECT_TRUE(BundleTrusts(root, b));
     }},
    {"an image's own refresh runs on the host (a Debian image)",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       const Ca ca = PutCa(root, "Image CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_EQ(r.status, 0);
       EXPECT_TRUE(BundleTrusts(root, ca));  // the image's bundle, made inside the image
     }},
    {"an image's own refresh runs on the host (Alpine: no options, works on /)",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/alpine-release");
       const Ca ca = PutCa(root, "Alpine CA");
       EXPECT_EQ(Install(root, ca).status, 0);
       EXPECT_TRUE(BundleTrusts(root, ca));
       const RunResult r = Uninstall(root, "Alpine CA");
       EXPECT_EQ(r.out, Removal("Alpine CA"));
       EXPECT_FALSE(BundleTrusts(root, ca));
       // The image still has a bundle: it was rebuilt inside it, not emptied.
       EXPECT_TRUE(Exists(root + "/etc/ssl/certs/ca-certificates.crt"));
     }},
    {"an image's hooks run on the host",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeBareRoot(root);
       const std::string hooks = root + "/etc/ca-certificates/update.d";
       Shell("mkdir -p '" + hooks + "'");
       WriteFile(hooks + "/record", std::string("#!/bin/sh\ntouch /etc/ssl/certs/HOOK-RAN\n"));
       Shell("chmod 755 '" + hooks + "/record'");
       const Ca ca = PutCa(root, "Hooked CA");
       EXPECT_EQ(Install(root, ca).status, 0);
       EXPECT_TRUE(BundleTrusts(root, ca));
       EXPECT_FALSE(Exists("/etc/ssl/certs/HOOK-RAN"));
     }},
    {"a root path with a space or a command substitution is handed to a shell",
     [](const std::string& dir) {
       // The shell would split the path and clear dangling links here.
       Shell("mkdir -p '" + dir + "/img/etc/ssl/certs' && ln -s /nowhere '" + dir + "/img/victim'");
       for (const std::string& root : {dir + "/img root", dir + "/img$(touch PWNED)"}) {
         SCOPED_TRACE(root);
         MakeBareRoot(root);
         const Ca ca = PutCa(root, "Named CA");
         const RunResult r = Install(root, ca);
         EXPECT_EQ(r.out, Imported(ca.file));
         EXPECT_EQ(r.status, 0) << r.err;
         EXPECT_TRUE(BundleTrusts(root, ca));
       }
       EXPECT_TRUE(Exists(dir + "/img/victim"));
       EXPECT_EQ(system(("test -z \"$(find '" + dir + "' / -maxdepth 1 -name PWNED)\"").c_str()), 0);
     }},
    {"a root another user owns points the refresh at the host",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeBareRoot(root, "mozilla/ISRG_Root_X1.crt\n");
       Shell("rm -rf '" + root + "/etc/ssl/certs' && ln -s /etc/ssl/certs '" + root + "/etc/ssl/certs'");
       Shell("chown -R 1000:1000 '" + root + "' && chown -h 1000:1000 '" + root + "/etc/ssl/certs'");
       const Ca ca = PutCa(root, "Planted CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Failed("Failed to open store", "0x5") + Imported(ca.file));
       EXPECT_EQ(r.status, 1);
       EXPECT_EQ(r.err, "tkvcert: refusing " + root + ": owned by uid 1000 (mode 0755), so another user "
                        "could change what the machine trusts\n");
     }},
    {"a root that is a link to / is the host",
     [](const std::string& dir) {
       const std::string files = dir + "/files";
       Shell("mkdir -p '" + files + "' && ln -s / '" + dir + "/root' && chown -h 1000:1000 '" + dir + "/root'");
       Shell("ln -s / '" + dir + "/roots-link'");
       WriteFile(files + "/ca.pem", ToPem(MakeCertificate("Redirected CA")));
       for (const char* link : {"/root", "/roots-link"}) {
         const RunResult r = RunTool({"/install", "ca.pem"}, {dir + link, false, files});
         EXPECT_EQ(r.out, Failed("Failed to open store", "0x5") + Imported("ca.pem"));
         EXPECT_EQ(r.status, 1);
         EXPECT_EQ(r.err, "tkvcert: refusing " + dir + link + ": a symbolic link, which could be swapped "
                          "between a check and a use\n");
       }
     }},
    {"a link inside a bare root leads the host's tool onto the host",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeBareRoot(root);
       // Inside the root the link means ROOT/srv/certs; the host would write /srv/certs.
       const bool host_had_srv_certs = Exists("/srv/certs");
       Shell("rm -rf '" + root + "/etc/ssl/certs' && mkdir -p '" + root + "/srv/certs' && ln -s /srv/certs '" +
             root + "/etc/ssl/certs'");
       const Ca ca = PutCa(root, "Linked CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_EQ(RunProgram({"openssl", "verify", "-CAfile", root + "/srv/certs/ca-certificates.crt",
                             root + "/files/" + ca.file}).status, 0);
       EXPECT_EQ(Exists("/srv/certs"), host_had_srv_certs);
     }},
    {"a link in a bare root's certificate directory leads the host's tool's writes out",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeBareRoot(root);
       // Its "ln -sf" for evil.crt would write through evil.pem into the directory.
       Shell("mkdir -p '" + dir + "/outside' && ln -s '" + dir + "/outside' '" + root +
             "/etc/ssl/certs/evil.pem'");
       WriteFile(root + "/usr/local/share/ca-certificates/evil.crt", ToPem(MakeCertificate("Evil CA")));
       const Ca ca = PutCa(root, "Innocent CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_EQ(Sandbox::ListFiles(dir + "/outside"), std::vector<std::string>{});
     }},
    {"a bare root's configuration, links or file names lead the host's tool to read the host",
     [](const std::string& dir) {
       const std::string secret = RootOnlySecret(dir);
       const std::string up = "../../../../../../../../../../../..";
       const std::string by_conf = dir + "/by-conf";
       MakeBareRoot(by_conf, up + secret + "\n.\\./.\\./.\\./.\\./.\\./.\\./.\\./.\\./.\\./.\\." + secret + "\n");
       const std::string by_link = dir + "/by-link";
       MakeBareRoot(by_link);
       Shell("ln -s '" + secret + "' '" + by_link + "/usr/local/share/ca-certificates/secret.crt'");
       // A directory link that stays in the root, to a file link that does not.
       const std::string by_two = dir + "/by-two-links";
       MakeBareRoot(by_two);
       Shell("mkdir -p '" + by_two + "/opt/x' && ln -s '" + secret + "' '" + by_two + "/opt/x/s.crt' && ln -s " +
             "../../../../opt/x '" + by_two + "/usr/local/share/ca-certificates/extra'");
       const std::string by_name = dir + "/by-name";
       MakeBareRoot(by_name);
       // Read a line at a time, "e<newline>/DIR/secret.crt" names the host's file.
       Shell("cp '" + secret + "' '" + dir + "/secret.crt' && chmod 600 '" + dir + "/secret.crt'");
       const std::string split = by_name + "/usr/local/share/ca-certificates/e\n" + dir;
       Shell("mkdir -p '" + split + "' && touch '" + split + "/secret.crt'");
       for (const std::string& root : {by_conf, by_link, by_two, by_name}) {
         SCOPED_TRACE(root);
         const Ca ca = PutCa(root, "Reading CA");
         // What it cannot find, the refresh complains of; a name it splits
         // into names that are not there makes it fail, and the change is
         // rolled back.
         EXPECT_EQ(Install(root, ca).out,
                   root == by_name ? Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file)
                                   : Imported(ca.file));
         EXPECT_EQ(BundleTrusts(root, ca), root != by_name);
       }
       EXPECT_FALSE(AnyBundleHolds(dir, secret));
       Shell("rm -rf '" + by_name + "/usr/local/share/ca-certificates'");  // the names trouble later listings
     }},
    {"another user swaps her directory with her link while root opens the root",
     [](const std::string& dir) {
       const ThrowawayUser& eve = Attacker();
       ASSERT_TRUE(eve.ready());
       // A root-owned image, and hers, whose refresh would leave itself set-uid.
       const std::string target = dir + "/target";
       MakeImageRoot(target, "/etc/ca-certificates.conf");
       const std::string sticky = dir + "/tmp";
       Shell("mkdir -p '" + sticky + "/m' && chmod 1777 '" + sticky + "' && ln -s '" + dir + "' '" + sticky + "/l'");
       MakeImageRoot(sticky + "/m/target", "/etc/ca-certificates.conf", "escape=" + dir + "/ESCAPED\n");
       Shell("chown -R " + std::to_string(getuid()) + " '" + sticky + "/m' && " + eve.owns(sticky + "/m") + " && " +
             eve.owns(sticky + "/l"));
       const pid_t flipper = fork();
       if (flipper == 0) {
         setpgid(0, 0);  // so that it ends with everything runuser starts
         execlp("runuser", "runuser", "-u", eve.name().c_str(), "--", SWAP_FLIPPER, (sticky + "/m").c_str(), (sticky + "/l").c_str(), "60000", static_cast<char*>(nullptr));
         _exit(127);
       }
       const Ca ca = PutCa(target, "Swapped CA");
       const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
       int runs = 0;
       for (; runs < 300 && std::chrono::steady_clock::now() < deadline; ++runs) {
         const RunResult r = RunTool({"/install", ca.file}, {sticky + "/m/target", false, target + "/files"});
         ASSERT_EQ(r.out, Failed("Failed to open store", "0x5") + Imported(ca.file)) << "run " << runs;
       }
       kill(-flipper, SIGKILL);
       waitpid(flipper, nullptr, 0);
       EXPECT_GE(runs, 100);
       EXPECT_TRUE(Sandbox::ListFiles(target + "/usr/local/share/ca-certificates").empty());
       EXPECT_FALSE(Exists(dir + "/ESCAPED"));
     }},
    {"another user swaps the way to an anchor link's target between the check and the refresh",
     [](const std::string& dir) {
       const ThrowawayUser& eve = Attacker();
       ASSERT_TRUE(eve.ready());
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       // The admin's anchor links to root's file, in a directory of root's
       // below hers; beside it, hers, holding her CA under the same name.
       const std::string home = root + "/home/eve";
       const Ca admins = PutCa(root, "Admin's Linked CA");
       const Ca hers = PutCa(root, "Eve's Swapped CA");
       Shell("mkdir -p '" + home + "/d' '" + home + "/e' && cp '" + root + "/files/" + admins.file + "' '" + home +
             "/d/ca.crt' && cp '" + root + "/files/" + hers.file + "' '" + home + "/e/ca.crt' && " + eve.owns(home) +
             " && " + eve.owns(home + "/e") + " && " + eve.owns(home + "/e/ca.crt") +
             " && ln -s /home/eve/d/ca.crt '" + root + "/usr/local/share/ca-certificates/linked.crt'");
       const pid_t racer = fork();
       if (racer == 0) {
         setpgid(0, 0);
         execlp("runuser", "runuser", "-u", eve.name().c_str(), "--", SWAP_FLIPPER, (home + "/d").c_str(),
                (home + "/e").c_str(), "20000", static_cast<char*>(nullptr));
         _exit(127);
       }
       const Ca ca = PutCa(root, "Raced CA");
       const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
       int runs = 0;
       for (; runs < 100 && std::chrono::steady_clock::now() < deadline; ++runs) {
         const RunResult r = Install(root, ca);
         ASSERT_EQ(r.out, Failed("Failed to open store", "0x5") + Imported(ca.file)) << "run " << runs << r.err;
       }
       kill(-racer, SIGKILL);
       waitpid(racer, nullptr, 0);
       EXPECT_GE(runs, 20);
       EXPECT_FALSE(BundleTrusts(root, hers));
     }},
    {"a local user locks every file and directory of the store she can open",
     [](const std::string& dir) {
       const ThrowawayUser& eve = Attacker();
       ASSERT_TRUE(eve.ready());
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       ASSERT_EQ(Install(root, PutCa(root, "Before Her Locks CA")).status, 0);
       const std::string anchors = root + "/usr/local/share/ca-certificates";
       const std::string certs = root + "/etc/ssl/certs";
       const pid_t holder = fork();
       if (holder == 0) {
         setpgid(0, 0);
         execlp("runuser", "runuser", "-u", eve.name().c_str(), "--", "flock", anchors.c_str(), "flock", certs.c_str(),
                "flock", (certs + "/ca-certificates.crt").c_str(), "sleep", "30", static_cast<char*>(nullptr));
         _exit(127);
       }
       const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       while (system(("flock -n '" + certs + "/ca-certificates.crt' true").c_str()) == 0 &&
              std::chrono::steady_clock::now() < deadline) {
         std::this_thread::sleep_for(std::chrono::milliseconds(20));
       }
       const Ca ca = PutCa(root, "Not Held Up CA");
       const RunResult r = Install(root, ca);
       kill(-holder, SIGKILL);
       waitpid(holder, nullptr, 0);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_LT(r.seconds, 10);
       EXPECT_TRUE(BundleTrusts(root, ca));
     }},
    {"another user owns or may write what the store uses in an image",
     [](const std::string& dir) {
       const ThrowawayUser& eve = Attacker();
       ASSERT_TRUE(eve.ready());
       const std::string secret = RootOnlySecret(dir);
       const std::string anchors = "/usr/local/share/ca-certificates";
       const std::string hooks = "/etc/ca-certificates/update.d";
       struct Plant {
         const char* what;
         std::string setup;            // run in the root
         const char* named = nullptr;  // in what the tool says on stderr
       } plants[] = {
           {"staging she owns", "mkdir ." + anchors + "/.tkvcert-staging && " + eve.owns("." + anchors + "/.tkvcert-staging")},
           {"staging anyone may write", "mkdir -m 777 ." + anchors + "/.tkvcert-staging"},
           {"a hooks directory of hers, with a hook that escapes",
            "mkdir -p ." + hooks + " && cp usr/sbin/update-ca-certificates ." + hooks + "/escape && " + eve.owns("." + hooks)},
           {"an anchors subdirectory of hers, with her link to a root-only file",
            "mkdir ." + anchors + "/team && ln -s " + secret + " ." + anchors + "/team/x.crt && " +
                eve.owns("." + anchors + "/team")},
           {"a hook of hers in root's hooks directory",
            "mkdir -p ." + hooks + " && cp usr/sbin/update-ca-certificates ." + hooks + "/eves-hook && " +
                eve.owns("." + hooks + "/eves-hook"),
            "eves-hook"},
           {"root's hook that anyone may write",
            "mkdir -p ." + hooks + " && cp usr/sbin/update-ca-certificates ." + hooks + "/anyones-hook && chmod 777 ." +
                hooks + "/anyones-hook",
            "anyones-hook"},
           {"root's refresh in a directory of hers", eve.owns("usr/sbin"), "update-ca-certificates"},
       };
       for (const Plant& plant : plants) {
         SCOPED_TRACE(plant.what);
         const std::string root = dir + "/" + std::to_string(&plant - plants);
         MakeImageRoot(root, "/etc/ca-certificates.conf", "escape=" + dir + "/ESCAPED\n");
         Shell("cd '" + root + "' && " + plant.setup);
         const Ca ca = PutCa(root, "Planted On CA");
         const RunResult r = Install(root, ca);
         EXPECT_EQ(r.out, Failed("Failed to open store", "0x5") + Imported(ca.file));
         if (plant.named != nullptr) {
           EXPECT_NE(r.err.find(plant.named), std::string::npos) << r.err;
         }
         EXPECT_FALSE(Exists(root + anchors + "/" + ca.file));
       }
       EXPECT_FALSE(Exists(dir + "/ESCAPED"));
       EXPECT_FALSE(AnyBundleHolds(dir, secret));
     }},
    {"an image's own refresh escapes the chroot it is run in",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf", "escape=" + dir + "/ESCAPED\n");
       const Ca ca = PutCa(root, "Escaping CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_TRUE(BundleTrusts(root, ca));
       EXPECT_FALSE(Exists(dir + "/ESCAPED"));
       EXPECT_FALSE(HasSetUidFile(dir + "/ESCAPED"));
     }},
    {"a program run for another root reaches the host: /proc/sys, root's keys, open descriptors, TIOCSTI",
     [](const std::string& dir) {
       // Each runs the probe, with `conf` in its configuration, and returns its report.
       struct Site {
         const char* where;
         std::function<std::string(const std::string& root, const std::string& conf)> run;
       } sites[] = {
           {"an image's own refresh",
            [](const std::string& root, const std::string& conf) {
              MakeImageRoot(root, "/etc/ca-certificates.conf", conf + "probe=/files\n");
              Shell("cd '" + root + "' && mkdir proc dev tmp");
              EXPECT_EQ(RunLeakingHostRoot(root, {"/install", PutCa(root, "Probing CA").file}).status, 0);
              return root + "/files/update-ca-certificates.probe";
            }},
           {"an image's hook, told by the tool of a removal",
            [](const std::string& root, const std::string& conf) {
              // The stub leaves a removed anchor's link, which the tool announces.
              MakeImageRoot(root, "/etc/ca-certificates.conf", conf + "probe=/files\nlink_dir=/etc/ssl/certs\n");
              Shell("cd '" + root + "' && mkdir proc dev tmp && mkdir -p etc/ca-certificates/update.d && "
                    "cp usr/sbin/update-ca-certificates etc/ca-certificates/update.d/probe-hook");
              EXPECT_EQ(RunLeakingHostRoot(root, {"/install", PutCa(root, "Probing CA").file}).status, 0);
              EXPECT_EQ(RunLeakingHostRoot(root, {"/uninstall", "Probing CA"}).out, Removal("Probing CA"));
              return root + "/files/probe-hook.probe";
            }},
           {"the host's refresh on a bare root",
            [](const std::string& root, const std::string& conf) {
              MakeBareRoot(root);
              WriteFile(root + "/etc/ssl/certs/refresh-stub.conf", conf + "probe=/etc/ssl/certs\n");
              const BindMountOver stub(REFRESH_STUB, "/usr/sbin/update-ca-certificates");
              EXPECT_TRUE(stub.done());
              EXPECT_EQ(RunLeakingHostRoot(root, {"/install", PutCa(root, "Probing CA").file}).status, 0);
              return root + "/etc/ssl/certs/update-ca-certificates.probe";
            }},
       };
       int runs = 0;
       for (const Site& site : sites) {
         for (const char* sandbox : {"userns", "proc-masks"}) {
           SCOPED_TRACE(std::string(site.where) + ", TKVCERT_SANDBOX=" + sandbox);
           const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", sandbox);
           const RootUserKey key;
           ASSERT_TRUE(key.ready());
           const std::string report = site.run(dir + "/" + std::to_string(++runs), "probe_key=" + key.description() + "\n");
           struct stat st;
           if (stat(report.c_str(), &st) != 0) {
             ADD_FAILURE() << "no report: the probe did not run";
             continue;
           }
           EXPECT_EQ(ReadFile(report), kProbedNothing);
           // Written from inside, owned on disk as root's own files are.
           EXPECT_EQ(st.st_uid, 0u);
           EXPECT_EQ(st.st_gid, 0u);
         }
       }
     }},
    {"a refresh leaves a process behind that holds its output and the lock",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf", "linger_ms=60000\n");
       const Ca first = PutCa(root, "Lingering CA", 1);
       const RunResult r = Install(root, first);
       EXPECT_EQ(r.out, Imported(first.file));
       EXPECT_LT(r.seconds, 30);  // not the minute its leftover lives
       const RunResult next = Install(root, PutCa(root, "Lingering CA", 2));
       EXPECT_EQ(next.status, 0) << next.out;
     }},
    {"a refresh leaves a 200 GB sparse bundle",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf", "bundle_size=214748364800\n");
       const Ca ca = PutCa(root, "Huge Bundle CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file));
       EXPECT_EQ(r.status, 1);
       for (const std::string& name : Sandbox::ListFiles(root + "/usr/local/share/ca-certificates")) {
         EXPECT_EQ(name.find(".crt"), std::string::npos) << name;
       }
     }},
    {"a rolled-back install leaves its link dangling",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf",
                     "link_dir=/etc/ssl/certs\nfail_once=/failed-once\n");
       const Ca ca = PutCa(root, "Rolled Back CA");
       EXPECT_EQ(Install(root, ca).out, Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file));
       EXPECT_EQ(DanglingLinks(root, "/etc/ssl/certs"), std::vector<std::string>{});
     }},
    {"a failed refresh's partial output stays after the rollback",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       const Ca kept = PutCa(root, "Untouched CA");
       ASSERT_EQ(Install(root, kept).status, 0);
       WriteFile(root + "/refresh-stub.conf", std::string("fail_once=/failed-once\n"));
       const Ca added = PutCa(root, "Unlucky CA");
       const RunResult r = Install(root, added);
       EXPECT_EQ(r.out, Failed("Failed to add certificate to store", "0x65b") + Imported(added.file));
       EXPECT_EQ(r.status, 1);
       EXPECT_TRUE(BundleTrusts(root, kept));  // refreshed again after the rollback
       EXPECT_FALSE(BundleTrusts(root, added));
     }},
    {"a failing refresh prints a title, a cleared screen, reversed text and a fake success",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       const Ca ca = PutCa(root, "Shouting CA");
       const std::string printed = "\x1b]0;owned\x07\x1b[2J\x9bH\xe2\x80\xaetxt.exe\n"
                                   "\x1b[32mDone importing [" + ca.file + "]\x1b[0m\n";
       std::string hex;
       for (const unsigned char byte : printed) {
         char two[3];
         snprintf(two, sizeof two, "%02x", byte);
         hex += two;
       }
       WriteFile(root + "/refresh-stub.conf", "exit=1\nstderr_hex=" + hex + "\n");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file));
       EXPECT_EQ(r.status, 1);
       // Shown with gtest's escapes: the test's own terminal must not obey it either.
       const std::string err = ::testing::PrintToString(r.err);
       EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << err;
       EXPECT_EQ(r.err.find('\x9b'), std::string::npos) << err;
       EXPECT_EQ(r.err.find("\xe2\x80\xae"), std::string::npos) << err;
       EXPECT_NE(r.err.find("tkvcert: update-ca-certificates: \\x1b]0;owned\\x07\\x1b[2J\\x9bH\\u202etxt.exe\n"
                            "tkvcert: update-ca-certificates: \\x1b[32mDone importing [" + ca.file + "]\\x1b[0m\n"),
                 std::string::npos) << err;
     }},
    {"a removal leaves the removed certificate's links behind",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       // A configuration that is not empty: Debian's refresh does not run fresh.
       MakeBareRoot(root, "# local anchors only\n");
       // Twins share a subject, so their hash links are <hash>.0 and <hash>.1.
       const Ca first = PutCa(root, "Twin CA", 1);
       const Ca second = PutCa(root, "Twin CA", 2);
       ASSERT_EQ(Install(root, first).status, 0);
       ASSERT_EQ(Install(root, second).status, 0);
       EXPECT_EQ(Uninstall(root, "Twin CA").out, Removal("Twin CA"));
       EXPECT_EQ(DanglingLinks(root, "/etc/ssl/certs"), std::vector<std::string>{});
       // Whichever twin stayed is found by hash, from index 0.
       auto verify = [&](const Ca& ca) {
         return InRootView(root, {"openssl", "verify", "-CApath", "/etc/ssl/certs", root + "/files/" + ca.file});
       };
       const RunResult stayed = verify(first);
       const RunResult other = verify(second);
       EXPECT_TRUE(stayed.status == 0 || other.status == 0) << stayed.out << other.out;
     }},
    {"a removal killed in its refresh is reported done by the next run, the CA still trusted",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       const Ca ca = PutCa(root, "Cut Off CA");
       ASSERT_EQ(Install(root, ca).status, 0);
       WriteFile(root + "/refresh-stub.conf", std::string("sleep_ms=5000\nlog=/refresh.log\n"));
       const pid_t pid = StartToolInGroup(root, {"/uninstall", "Cut Off CA"});
       const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       while (!Exists(root + "/refresh.log.running") && std::chrono::steady_clock::now() < deadline) {
         std::this_thread::sleep_for(std::chrono::milliseconds(5));
       }
       kill(-pid, SIGKILL);
       waitpid(pid, nullptr, 0);
       ASSERT_TRUE(BundleTrusts(root, ca)) << "the kill did not land inside the refresh";
       Shell("rm -f '" + root + "/refresh.log.running'");
       WriteFile(root + "/refresh-stub.conf", std::string());
       const RunResult r = Uninstall(root, "Cut Off CA");
       EXPECT_EQ(r.out, "Done removing [Cut Off CA]\n");
       EXPECT_EQ(r.status, 0);
       EXPECT_FALSE(BundleTrusts(root, ca));
     }},
    {"a tool killed at any moment of a sandbox's start leaves a process behind, or its caller's pipe held",
     [](const std::string& dir) {
       struct Moment {
         const char* point;  // null: while the refresh runs, and a process it left
         int launch;         // which of the command's sandboxes: its refresh is the first
       } moments[] = {
           {"sandbox-user-namespace-made", 0},       {"sandbox-child-started", 0},
           {"sandbox-child-attached", 0},            {"sandbox-child-before-death-signal", 0},
           {"sandbox-child-before-parent-check", 0}, {"sandbox-started", 0},
           {nullptr, 0},
       };
       int runs = 0;
       for (const char* sandbox : {"userns", "proc-masks"}) {
         const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", sandbox);
         for (const Moment& moment : moments) {
           if (std::string(sandbox) == "proc-masks" && moment.point != nullptr &&
               (moment.point == std::string("sandbox-user-namespace-made") ||
                moment.point == std::string("sandbox-child-attached"))) {
             continue;  // no user namespace there
           }
           SCOPED_TRACE(std::string(sandbox) + " at " + (moment.point != nullptr ? moment.point : "the refresh") +
                        " of launch " + std::to_string(moment.launch));
           const std::string root = dir + "/" + std::to_string(++runs);
           MakeImageRoot(root, "/etc/ca-certificates.conf", "log=/refresh.log\nsleep_ms=20000\nlinger_ms=60000\n");
           const Ca ca = PutCa(root, "Killed Start CA");
           EXPECT_EQ(WhatOutlivesTheTool(root, moment.point, moment.launch, ca.file), "");
           // The next command finishes what the killed one began.
           Shell("rm -f '" + root + "/refresh.log.running'");
           WriteFile(root + "/refresh-stub.conf", std::string());
           EXPECT_EQ(Install(root, ca).out, Imported(ca.file));
           EXPECT_TRUE(BundleTrusts(root, ca));
         }
       }
     }},
    {"a chroot-like image's /sys and a host directory bound inside it reach its programs",
     [](const std::string& dir) {
       const std::string host = dir + "/host";
       Shell("mkdir -p '" + host + "' && echo kept > '" + host + "/file' && chmod 644 '" + host + "/file'");
       const std::string writable = "/sys/power/state:/sys/kernel/uevent_helper:/sys/devices/system/cpu/cpu1/online:"
                                    "/sys/module/printk/parameters/time:/mnt/host/file";
       int runs = 0;
       for (const char* sandbox : {"userns", "proc-masks"}) {
         SCOPED_TRACE(sandbox);
         const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", sandbox);
         const std::string root = dir + "/" + std::to_string(++runs);
         MakeImageRoot(root, "/etc/ca-certificates.conf", "probe=/files\nprobe_writable=" + writable + "\n");
         Shell("cd '" + root + "' && mkdir -p proc dev tmp sys mnt/host");
         const BindMountOver sys("/sys", root + "/sys");
         const BindMountOver bound(host, root + "/mnt/host");
         ASSERT_TRUE(sys.done() && bound.done());
         EXPECT_EQ(Install(root, PutCa(root, "Bound CA")).status, 0);
         EXPECT_NE(ReadFile(root + "/files/update-ca-certificates.probe").find("ok writable\n"), std::string::npos)
             << ReadFile(root + "/files/update-ca-certificates.probe");
       }
       EXPECT_EQ(ReadFile(host + "/file"), "kept\n");
     }},
    {"an image's links lead the tool's browser files into a host directory mounted at its /run",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       const std::string host = dir + "/host";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       Shell("mkdir -p '" + host + "/firefox' '" + root + "/run' '" + root + "/usr/lib/firefox-esr' '" + root +
             "/usr/lib/x86_64-linux-gnu/pkcs11' && touch '" + root + "/usr/lib/firefox-esr/firefox-esr' '" + root +
             "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so' && ln -s /run '" + root + "/etc/chromium' && ln -s "
             "/run/firefox '" + root + "/etc/firefox'");
       const BindMountOver run(host, root + "/run");
       ASSERT_TRUE(run.done());
       const Ca ca = PutCa(root, "Browsed CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_TRUE(BundleTrusts(root, ca));
       EXPECT_NE(r.err.find("Chromium: " + root + "/run: on a mount that is none of the root's own file systems"),
                 std::string::npos) << r.err;
       EXPECT_NE(r.err.find("Firefox: " + root + "/run/firefox: on a mount"), std::string::npos) << r.err;
       EXPECT_EQ(Sandbox::ListFiles(host), std::vector<std::string>{});
     }},
    {"an image's refresh is a fork bomb, or takes all the memory it can",
     [](const std::string& dir) {
       // Memory is bounded by a cgroup in both modes, where one can be made.
       const bool memory_cgroup = access("/sys/fs/cgroup/memory", W_OK) == 0;
       int runs = 0;
       for (const char* sandbox : {"userns", "proc-masks"}) {
         SCOPED_TRACE(sandbox);
         const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", sandbox);
         const std::string bombed = dir + "/" + std::to_string(++runs);
         MakeImageRoot(bombed, "/etc/ca-certificates.conf", "fork_bomb=3000\n");
         const Ca ca = PutCa(bombed, "Bombed CA");
         RunResult r;
         const int most = MostProcessesDuring([&] { r = Install(bombed, ca); });
         EXPECT_EQ(r.out, Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file));
         EXPECT_LT(std::stoi(ReadFile(bombed + "/fork-bomb.done")), 1100);
         EXPECT_LT(most, 1500);
         EXPECT_FALSE(ProcessesLeft());
         const std::string greedy = dir + "/" + std::to_string(++runs);
         MakeImageRoot(greedy, "/etc/ca-certificates.conf", "alloc_mb=3072\n");
         r = Install(greedy, PutCa(greedy, "Greedy CA"));
         EXPECT_EQ(r.status, 1);
         EXPECT_FALSE(ProcessesLeft());
         if (memory_cgroup) {
           EXPECT_LE(std::stoi(ReadFile(greedy + "/alloc.done")), 2048);
         }
       }
     }},
    {"a root whose usr is a mount of its own, as a node's often is",
     [](const std::string& dir) {
       int runs = 0;
       for (const char* sandbox : {"userns", "proc-masks"}) {
         SCOPED_TRACE(sandbox);
         const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", sandbox);
         const std::string root = dir + "/" + std::to_string(++runs);
         const std::string set = "/usr/share/ca-certificates";
         MakeImageRoot(root, "/etc/ca-certificates.conf", "probe=/files\nprobe_readable=" + set + "/root-only\n");
         // Its own file system holds the refresh; the root's underneath,
         // nothing. The distribution's set, which the refresh only reads, is
         // a mount of its own too.
         Shell("mv '" + root + "/usr' '" + root + ".usr' && mkdir '" + root + "/usr' && mkdir -p '" + root + ".usr" +
               set + "' && cp -a '" + root + ".usr" + set + "' '" + root + ".set' && echo secret > '" + root +
               ".set/root-only' && chmod 0600 '" + root + ".set/root-only'");
         const BindMountOver usr(root + ".usr", root + "/usr");
         const BindMountOver set_mount(root + ".set", root + set);
         ASSERT_TRUE(usr.done() && set_mount.done());
         const Ca ca = PutCa(root, "Split Usr CA");
         EXPECT_EQ(Install(root, ca).out, Imported(ca.file));
         EXPECT_TRUE(BundleTrusts(root, ca));
         // A clone the refresh only reads is not idmapped: the host root's
         // own files on it are nobody's to the sandbox's root. (The
         // fallback runs as uid 0 itself.)
         if (std::string(sandbox) == "userns") {
           EXPECT_NE(ReadFile(root + "/files/update-ca-certificates.probe").find("ok readable\n"), std::string::npos)
               << ReadFile(root + "/files/update-ca-certificates.probe");
         }
       }
     }},
    {"an image's link leads the tool's browser file onto the root's own usr mount",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       Shell("mkdir -p '" + root + "/usr/lib/chromium' && ln -s /usr/lib/chromium '" + root + "/etc/chromium' && mv '" +
             root + "/usr' '" + root + ".usr' && mkdir '" + root + "/usr'");
       const BindMountOver usr(root + ".usr", root + "/usr");
       ASSERT_TRUE(usr.done());
       const Ca ca = PutCa(root, "Usr Linked CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_TRUE(BundleTrusts(root, ca));
       EXPECT_NE(r.err.find("Chromium: " + root + "/usr/lib/chromium: on the file system mounted at " + root +
                            "/usr, which holds no etc/chromium"),
                 std::string::npos) << r.err;
       EXPECT_EQ(Sandbox::ListFiles(root + "/usr/lib/chromium"), std::vector<std::string>{});
     }},
    {"a root's bundle directory leads onto a file system that its sandbox shows read-only",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       Shell("mkdir -p '" + dir + "/data/certs' '" + root + "/mnt/data' && rm -rf '" + root + "/etc/ssl/certs' && "
             "ln -s /mnt/data/certs '" + root + "/etc/ssl/certs'");
       const BindMountOver data(dir + "/data", root + "/mnt/data");
       ASSERT_TRUE(data.done());
       const Ca ca = PutCa(root, "Read-Only Bundle CA");
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Failed("Failed to add certificate to store", "0x32") + Imported(ca.file));
       EXPECT_NE(r.err.find("which a sandbox shows read-only; nothing was changed"), std::string::npos) << r.err;
       EXPECT_EQ(Sandbox::ListFiles(root + "/usr/local/share/ca-certificates"), std::vector<std::string>{});
     }},
    {"a re-install with nothing to do starts a sandbox",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       const Ca ca = PutCa(root, "Settled CA");
       ASSERT_EQ(Install(root, ca).status, 0);
       // The test build says each sandbox it starts, and goes on at once.
       int notify[2];
       int go[2];
       ASSERT_EQ(pipe2(notify, O_CLOEXEC), 0);
       ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
       close(go[1]);
       const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
       const pid_t tool = StartStopping(root, "sandbox-started", ca.file, notify[1], go[0], null_fd, 2);
       close(null_fd);
       close(notify[1]);
       close(go[0]);
       int status = 0;
       waitpid(tool, &status, 0);
       char said[64] = {};
       EXPECT_EQ(read(notify[0], said, sizeof said - 1), 0) << said;
       close(notify[0]);
       EXPECT_EQ(WEXITSTATUS(status), 0);
     }},
    {"an image on a file system without idmapped mounts (overlayfs)",
     [](const std::string& dir) {
       Shell("cd '" + dir + "' && mkdir lower upper work root && mount -t overlay overlay -o "
             "lowerdir=lower,upperdir=upper,workdir=work root");
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf");
       const Ca ca = PutCa(root, "Overlaid CA");
       {
         // Asked for a user namespace only: nothing else, and nothing changed.
         const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", "userns");
         const RunResult r = Install(root, ca);
         EXPECT_EQ(r.out, Failed("Failed to add certificate to store", "0x32") + Imported(ca.file));
         EXPECT_NE(r.err.find("TKVCERT_SANDBOX=userns"), std::string::npos) << r.err;
         EXPECT_TRUE(Sandbox::ListFiles(root + "/usr/local/share/ca-certificates").empty());
       }
       // By default the fallback, said once, and the change made.
       const RunResult r = Install(root, ca);
       EXPECT_EQ(r.out, Imported(ca.file));
       EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
       EXPECT_NE(r.err.find("uid 0 without capabilities"), std::string::npos) << r.err;
       EXPECT_TRUE(BundleTrusts(root, ca));
       Shell("umount '" + root + "'");
     }},
    {"a refresh leaves a FIFO where the bundle was, a writer waiting on it",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       MakeImageRoot(root, "/etc/ca-certificates.conf", "bundle=/elsewhere.crt\n");
       const std::string bundle = root + "/etc/ssl/certs/ca-certificates.crt";
       Shell("mkfifo '" + bundle + "'");
       const pid_t writer = fork();
       if (writer == 0) {
         alarm(30);
         _exit(open(bundle.c_str(), O_WRONLY) >= 0 ? 0 : 1);  // returns once a reader opens it
       }
       const Ca ca = PutCa(root, "Fifo CA");
       EXPECT_EQ(Install(root, ca).out, Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file));
       EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the tool opened the FIFO";
       kill(writer, SIGKILL);
       waitpid(writer, nullptr, 0);
     }},
    {"a change whose refresh failed cannot be taken back: said, and the next run publishes what is there",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       const std::string anchors = root + "/usr/local/share/ca-certificates";
       MakeImageRoot(root, "/etc/ca-certificates.conf", "fail_once=/failed-once\n");
       const Ca ca = PutCa(root, "Stuck CA");
       int notify[2];
       int go[2];
       ASSERT_EQ(pipe2(notify, O_CLOEXEC), 0);
       ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
       const int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
       const int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
       const pid_t tool = StartStopping(root, "change-before-rollback", ca.file, notify[1], go[0], out, err);
       close(out);
       close(err);
       close(notify[1]);
       close(go[0]);
       pollfd stopped = {notify[0], POLLIN, 0};
       const bool reached = poll(&stopped, 1, 20000) == 1;
       // Nothing may be renamed or removed in the anchors directory now.
       const bool immutable = reached && system(("chattr +i '" + anchors + "' 2>/dev/null").c_str()) == 0;
       close(go[1]);
       waitpid(tool, nullptr, 0);
       close(notify[0]);
       if (immutable) Shell("chattr -i '" + anchors + "'");
       ASSERT_TRUE(reached) << "the change never came to its rollback";
       if (!immutable) {
         tkv::test::LeaveOutRow("chattr +i: no immutable directories on this file system");
         return;
       }
       EXPECT_EQ(ReadFile(dir + "/out"), Failed("Failed to add certificate to store", "0x65b") + Imported(ca.file));
       EXPECT_NE(ReadFile(dir + "/err").find("could not be taken back"), std::string::npos) << ReadFile(dir + "/err");
       EXPECT_TRUE(Exists(anchors + "/.tkvcert-staging/change-in-progress"));
       // The next run publishes the anchors as they are, the CA it could not take away included.
       EXPECT_EQ(Install(root, ca).out, Imported(ca.file));
       EXPECT_FALSE(Exists(anchors + "/.tkvcert-staging/change-in-progress"));
       EXPECT_TRUE(BundleTrusts(root, ca));
     }},
    {"the caller's environment reaches the refresh",
     [](const std::string& dir) {
       const std::string image = dir + "/image";
       MakeImageRoot(image, "/etc/ca-certificates.conf", "env_log=/refresh.env\n");
       const std::string bare = dir + "/bare";
       MakeBareRoot(bare);
       WriteFile(dir + "/bash_env", std::string("touch '" + dir + "/BASH_ENV-RAN'\n"));
       RunResult in_image;
       RunResult on_bare;
       {
         const ScopedEnvironmentVariable bash_env("BASH_ENV", dir + "/bash_env");
         const ScopedEnvironmentVariable openssl_conf("OPENSSL_CONF", "/nonexistent/openssl.cnf");
         // Debian's refresh makes its temporaries there.
         const ScopedEnvironmentVariable tmpdir("TMPDIR", "/nonexistent");
         const ScopedEnvironmentVariable path("PATH", dir + ":" + std::string(getenv("PATH")));
         in_image = Install(image, PutCa(image, "Image Env CA"));
         on_bare = Install(bare, PutCa(bare, "Bare Env CA"));
       }
       EXPECT_EQ(in_image.status, 0);
       EXPECT_EQ(on_bare.status, 0) << on_bare.err;
       // The sandbox says where it starts the refresh; nothing else is added.
       EXPECT_EQ(ReadFile(image + "/refresh.env"), "PATH=/usr/sbin:/usr/bin:/sbin:/bin\nLC_ALL=C\nPWD=/\n");
       EXPECT_FALSE(Exists(dir + "/BASH_ENV-RAN"));
     }},
    {"a distribution's CA is distrusted by its conf line, trusted again by an install, and taken from both places",
     [](const std::string& dir) {
       const std::string conf = "# chosen by the admin\nmozilla/Kept_CA.crt\n\nlocal/Dist_CA.crt\n";
       const std::string distrusted = "# chosen by the admin\nmozilla/Kept_CA.crt\n\n!local/Dist_CA.crt\n";
       // Debian's own refresh on a bare root; Alpine's, which cannot be had
       // here, by the stub, which reads the conf as Alpine's does.
       for (const char* marker : {static_cast<const char*>(nullptr), "/etc/alpine-release"}) {
         SCOPED_TRACE(marker == nullptr ? "Debian" : "Alpine");
         const std::string root = dir + (marker == nullptr ? "/debian" : "/alpine");
         if (marker == nullptr) MakeBareRoot(root, conf);
         if (marker != nullptr) MakeImageRoot(root, marker);
         WriteFile(root + "/etc/ca-certificates.conf", conf);
         const Ca kept = PutDistributionCa(root, "Kept CA", "mozilla/Kept_CA.crt");
         const Ca dist = PutDistributionCa(root, "Dist CA", "local/Dist_CA.crt");
         ASSERT_EQ(Install(root, PutCa(root, "Trigger CA")).status, 0);
         ASSERT_TRUE(TrustsLeafOf(root, dist));
         const std::string anchor = AnchorOf(root, dist);
         // An install writes no local copy: one would pin the distribution's CA.
         const struct {
           const char* what;
           bool install;
           bool admins_copy_before;
         } steps[] = {{"removed from the distribution's set", false, false},
                      {"installed again", true, false},
                      {"removed from the anchors and the distribution's set", false, true}};
         for (const auto& step : steps) {
           SCOPED_TRACE(step.what);
           if (step.admins_copy_before) Shell("cp '" + root + "/files/" + dist.file + "' '" + anchor + "'");
           const RunOptions options{root, false, root + "/files"};
           const RunResult r = step.install ? ForeseenRun({"/install", dist.file}, options)
                                            : ForeseenRun({"/uninstall", "Dist CA"}, options);
           EXPECT_EQ(r.out, step.install ? Imported(dist.file) : Removal("Dist CA")) << r.err;
           EXPECT_EQ(ReadFile(root + "/etc/ca-certificates.conf"), step.install ? conf : distrusted);
           EXPECT_EQ(TrustsLeafOf(root, dist), step.install);
           EXPECT_FALSE(Exists(anchor));
           EXPECT_TRUE(BundleTrusts(root, kept));
         }
         const ReportedRun listed = RunReporting({"/uninstall", "Dist CA"}, {root, false, root + "/files"},
                                                 {{"TKVCERT_DRY_RUN", "1"}});
         std::map<std::string, bool> distrust;
         for (const auto& entry : listed.report["certificates"]) {
           if (entry["source"] == "distribution") distrust[entry["name"]] = entry["distrusted"];
         }
         EXPECT_EQ(distrust, (std::map<std::string, bool>{{"Dist CA", true}, {"Kept CA", false}}));
         // The distribution's names are among those a person is offered.
         EXPECT_NE(Uninstall(root, "Kept").err.find("the closest names there: \"Kept CA\""), std::string::npos);
       }
     }},
    {"a conf that another user could change is not written, and the CA stays trusted",
     [](const std::string& dir) {
       // Alpine's: Debian's conf is its marker, which the open checks already.
       const std::string root = dir + "/root";
       const Ca dist = AlpineWithDistributionCa(root);
       ASSERT_FALSE(dist.file.empty());
       Shell("chown 65534 '" + root + "/etc/ca-certificates.conf'");
       const RunResult r = Uninstall(root, "Dist CA");
       EXPECT_EQ(r.out, "Removing certificate : Dist CA \n" + Failed("The deletion of the certificate failed.", "0x5"));
       EXPECT_NE(r.err.find("refusing"), std::string::npos) << r.err;
       EXPECT_EQ(ReadFile(root + "/etc/ca-certificates.conf"), "local/Dist_CA.crt\n");
       EXPECT_TRUE(BundleTrusts(root, dist));
     }},
    {"a removal taken back when its refresh fails is not carried out by the next run",
     [](const std::string& dir) {
       const std::string root = dir + "/root";
       const Ca dist = AlpineWithDistributionCa(root);
       ASSERT_FALSE(dist.file.empty());
       WriteFile(root + "/refresh-stub.conf", std::string("exit=1\n"));
       EXPECT_NE(Uninstall(root, "Dist CA").status, 0);
       WriteFile(root + "/refresh-stub.conf", std::string());
       EXPECT_EQ(Uninstall(root, "Nothing Of That Name").status, 0);
       EXPECT_EQ(ReadFile(root + "/etc/ca-certificates.conf"), "local/Dist_CA.crt\n");
       EXPECT_TRUE(BundleTrusts(root, dist));
     }},
    {"a change killed at any step is finished by the next run, its distrust included",
     [](const std::string& dir) {
       const std::string conf = "mozilla/Kept_CA.crt\nlocal/Dist_CA.crt\n";
       for (const char* point : {"change-recorded", "change-distrusted", "change-made"}) {
         for (const bool install : {false, true}) {
           SCOPED_TRACE(std::string(point) + (install ? ", installing" : ", removing"));
           const std::string root = dir + "/" + point + (install ? "-install" : "-remove");
           MakeImageRoot(root, "/etc/ca-certificates.conf");
           WriteFile(root + "/etc/ca-certificates.conf", conf);
           PutDistributionCa(root, "Kept CA", "mozilla/Kept_CA.crt");
           const Ca dist = PutDistributionCa(root, "Dist CA", "local/Dist_CA.crt");
           // Removing takes it from both places; installing lifts the distrust.
           ASSERT_EQ((install ? Uninstall(root, "Dist CA") : Install(root, dist)).status, 0);
           ASSERT_TRUE(KilledAt(root, point, install ? std::vector<std::string>{"/install", dist.file}
                                                     : std::vector<std::string>{"/uninstall", "Dist CA"}));
           const RunResult next = Uninstall(root, "Nothing Of That Name");
           EXPECT_EQ(next.status, 0) << next.err;
           EXPECT_NE(next.err.find(std::string("finished the ") + (install ? "installation" : "removal") +
                                   " of \"Dist CA\" that an earlier run was cut off in"),
                     std::string::npos) << next.err;
           EXPECT_EQ(BundleTrusts(root, dist), install);
           EXPECT_EQ(ReadFile(root + "/etc/ca-certificates.conf"), install ? conf : "mozilla/Kept_CA.crt\n!local/Dist_CA.crt\n");
           EXPECT_FALSE(Exists(AnchorOf(root, dist)));
         }
       }
     }},
    // An image's refresh puts a link to a host directory bound into the image
    // in place of its bundle's directory, or makes one there: that directory
    // holds the host's links of an anchor gone and a bundle without it. The
    // tool must neither take those links away nor report the change done on
    // the host's bundle.
    {"an image's refresh that puts a host directory in place of its bundle's is refused",
     [](const std::string& dir) {
      const std::string root = dir + "/root";
      const auto state = [](const std::string& host) {
        std::string listed;
        for (const std::string& name : Sandbox::ListFiles(host)) {
          char target[4096];
          const ssize_t n = readlink((host + "/" + name).c_str(), target, sizeof target);
          listed += name + (n >= 0 ? " -> " + std::string(target, static_cast<size_t>(n))
                                   : " = " + ReadFile(host + "/" + name)) + "\n";
        }
        return listed;
      };
      MakeImageRoot(root, "/etc/ca-certificates.conf", "link_dir=/etc/ssl/certs\n");
      const Ca ca = PutCa(root, "Swapped CA");
      ASSERT_EQ(Install(root, ca).status, 0);
      const std::string link = AnchorOf(root, ca).substr(root.size());
      // Swapped after the refresh put the image's bundle in place.
      Shell("cp -a '" + root + "/etc/ssl/certs' '" + dir + "/host' && cp '" + root + "/files/" +
            PutCa(root, "Host CA").file + "' '" + dir + "/host/ca-certificates.crt' && cd '" + dir +
            "/host' && ln -s \"$(ls *.pem)\" 0badc0de.0 && mkdir ../made && cp ca-certificates.crt ../made && ln -s "
            "/usr/local/share/ca-certificates/Gone.crt ../made/Gone.pem && ln -s Gone.pem ../made/0badc0de.1 && "
            "mkdir -p '" + root + "/mnt/host' '" + root + "/mnt/made'");
      const std::string before = state(dir + "/host");
      const std::string made_before = state(dir + "/made");
      ASSERT_NE(before.find(" -> " + link), std::string::npos) << before;
      const BindMountOver host(dir + "/host", root + "/mnt/host");
      const BindMountOver made(dir + "/made", root + "/mnt/made");
      ASSERT_TRUE(host.done() && made.done());
      WriteFile(root + "/refresh-stub.conf", "link_dir=/etc/ssl/certs\nswap_dir=/etc/ssl/certs:/mnt/host\n");
      RunResult r = Uninstall(root, "Swapped CA");
      EXPECT_NE(r.status, 0);
      EXPECT_EQ(r.out.find("has been removed"), std::string::npos) << r.out;
      EXPECT_NE(r.err.find("refusing " + root + "/etc/ssl/certs after the refresh: it no longer leads to the directory"),
                std::string::npos) << r.err;
      EXPECT_EQ(state(dir + "/host"), before);
      // Made by the refresh where there was none: it must be on the root's own file systems.
      Shell("rm -rf '" + root + "/etc/ssl/certs' && mv '" + root + "/etc/ssl/certs.swapped/ca-certificates.crt' '" +
            root + "/bundle.crt'");
      WriteFile(root + "/refresh-stub.conf", "bundle=/bundle.crt\nswap_dir=/etc/ssl/certs:/mnt/made\n");
      r = Install(root, PutCa(root, "Made CA"));
      EXPECT_NE(r.status, 0);
      EXPECT_NE(r.err.find("which holds no etc/ssl/certs of the root's; nothing more is done there"), std::string::npos)
          << r.err;
      EXPECT_EQ(state(dir + "/made"), made_before);
     }},
    // A host directory bound into an image where its refresh neither reads
    // nor writes is not shown to it: the stub builds its bundle from what it
    // finds there, so what it could see would end up trusted.
    {"a host directory bound where the refresh has no business is not shown",
     [](const std::string& dir) {
      const std::string host = dir + "/host";
      int runs = 0;
      for (const char* sandbox : {"userns", "proc-masks"}) {
        SCOPED_TRACE(sandbox);
        const ScopedEnvironmentVariable mode("TKVCERT_SANDBOX", sandbox);
        const std::string root = dir + "/" + std::to_string(++runs);
        MakeImageRoot(root, "/etc/ca-certificates.conf", "anchors=/srv/host\n");
        const Ca secret = PutCa(root, "Host Directory CA");
        Shell("mkdir -p '" + root + "/srv/host' '" + host + "' && cp '" + root + "/files/" + secret.file + "' '" + host +
              "/'");
        const BindMountOver bound(host, root + "/srv/host");
        ASSERT_TRUE(bound.done());
        Install(root, PutCa(root, "Installed CA"));
        EXPECT_FALSE(BundleTrusts(root, secret));
      }
     }},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }

// One test a row, named by it ("a refresh leaves ..." is
// a_refresh_leaves_...), in the row's own cgroup.
class ImageRootTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    if (!PrivateHostStore::ready()) TKV_SKIP("needs root and a private mount namespace");
    MakeRowCgroup();
    ASSERT_FALSE(row_cgroup.empty()) << "no cgroup for the row: neither /sys/fs/cgroup/pids nor cgroup v2";
  }
  void TearDown() override { EXPECT_EQ(LeaveRowCgroup(), "") << "processes left in the row's cgroup"; }
};

TEST_P(ImageRootTest, HostUntouched) {
  const std::string host_before = HostTrustState();
  TempDir dir;
  Shell("chmod 755 '" + dir.path() + "'");
  GetParam().run(dir.path());
  EXPECT_EQ(HostTrustState(), host_before);
}

INSTANTIATE_TEST_SUITE_P(Rows, ImageRootTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& row) {
                           std::string name;
                           for (const char c : std::string(row.param.fault)) {
                             if (isalnum(static_cast<unsigned char>(c))) name += c;
                             else if (c != '\'' && !name.empty() && name.back() != '_') name += '_';
                           }
                           return name.back() == '_' ? name.substr(0, name.size() - 1) : name;
                         });

}  // namespace
}  // namespace tkv::testing
