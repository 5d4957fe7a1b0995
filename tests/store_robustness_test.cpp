// The store under stress: every family's refresh, runs killed at random
// moments, runs racing each other, and links planted by someone else.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/cert/anchor_format.h"
#include "tests/support/ci_skip.h"
#include "tests/support/reported_run.h"
#include "tests/support/sandbox.h"

namespace tkv::testing {
namespace {

std::string Imported(const std::string& file) { return "Done importing [" + file + "]\n"; }
std::string Removed(const std::string& name) {
  return "Removing certificate : " + name + " \nThe certificate has been removed.\nDone removing [" +
         name + "]\n";
}

void Shell(const std::string& command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

void InstallStub(const std::string& path) {
  Shell("mkdir -p \"$(dirname '" + path + "')\" && cp '" REFRESH_STUB "' '" + path + "'");
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) text = ReadFile(path);
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// The certificates in the anchors directory, each file checked whole.
std::multiset<Bytes> AnchorCertificates(const std::string& anchors, std::string* problem) {
  std::multiset<Bytes> found;
  for (const std::string& name : Sandbox::ListFiles(anchors)) {
    if (name.find('/') != std::string::npos) {  // in staging: never a name a refresh reads
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crt") == 0) *problem = name;
      continue;
    }
    const std::vector<AnchorBlock> blocks = ParseAnchorFile(FromText(ReadFile(anchors + "/" + name)));
    if (blocks.size() != 1 || !blocks[0].decoded || AnchorFileName(blocks[0].der) != name) {
      *problem = "partial or foreign file " + name;
    } else {
      found.insert(blocks[0].der);
    }
  }
  return found;
}

std::multiset<Bytes> BundleCertificates(const std::string& bundle) {
  std::multiset<Bytes> found;
  struct stat st;
  if (stat(bundle.c_str(), &st) != 0) return found;
  for (const AnchorBlock& block : ParseAnchorFile(FromText(ReadFile(bundle)))) found.insert(block.der);
  return found;
}

// A static stub as the root's own refresh, told where its family keeps the
// anchors and the bundle. The stub runs inside the root: paths are the root's.
void InstallStub(const std::string& root, const std::string& program, const std::string& anchors,
                 const std::string& bundle, const std::string& extra = "") {
  InstallStub(root + program);
  Shell("mkdir -p \"$(dirname '" + root + bundle + "')\"");
  WriteFile(root + "/refresh-stub.conf",
            "anchors=" + anchors + "\nbundle=" + bundle + "\nlog=/refresh.log\n" + extra);
}

struct Family {
  const char* name;
  const char* anchors;
  const char* program;
  const char* marker;        // made empty below the root, when not null
  const char* bundle;
  const char* refresh_tail;  // what follows the program on its command line
};

TEST(StoreFamiliesTest, EachFamilyIsChangedAndRefreshedInsideItsRoot) {
  if (geteuid() != 0) TKV_SKIP("refreshing inside another root needs root");
  const Family families[] = {
      {"Alpine", "/usr/local/share/ca-certificates", "/usr/sbin/update-ca-certificates",
       "/etc/alpine-release", "/etc/ssl/certs/ca-certificates.crt", ""},
      {"Debian", "/usr/local/share/ca-certificates", "/usr/sbin/update-ca-certificates",
       "/etc/ca-certificates.conf", "/etc/ssl/certs/ca-certificates.crt", ""},
      {"Fedora", "/etc/pki/ca-trust/source/anchors", "/usr/bin/update-ca-trust", nullptr,
       "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", " extract"},
      {"Arch", "/etc/ca-certificates/trust-source/anchors", "/usr/bin/update-ca-trust", nullptr,
       "/etc/ca-certificates/extracted/tls-ca-bundle.pem", ""},
      {"openSUSE", "/etc/pki/trust/anchors", "/usr/sbin/update-ca-certificates", nullptr,
       "/var/lib/ca-certificates/ca-bundle.pem", ""},
  };
  const Bytes der = MakeCertificate("Family CA");
  for (const Family& f : families) {
    SCOPED_TRACE(f.name);
    TempDir root;
    const std::string r = root.path();
    Shell("chmod 755 '" + r + "' && mkdir -p '" + r + f.anchors + "' '" + r + "/files'");
    if (f.marker != nullptr) Shell("mkdir -p \"$(dirname '" + r + f.marker + "')\" && touch '" + r + f.marker + "'");
    InstallStub(r, f.program, f.anchors, f.bundle);
    WriteFile(r + "/files/ca.pem", ToPem(der));
    const RunOptions options{r, false, r + "/files"};

    RunResult run = RunTool({"/install", "ca.pem"}, options);
    EXPECT_EQ(run.out, Imported("ca.pem"));
    EXPECT_EQ(Sandbox::ListFiles(r + f.anchors), std::vector<std::string>{AnchorFileName(der)});
    EXPECT_EQ(BundleCertificates(r + f.bundle), std::multiset<Bytes>{der});
    run = RunTool({"/uninstall", "Family CA"}, options);
    EXPECT_EQ(run.out, Removed("Family CA"));
    EXPECT_TRUE(Sandbox::ListFiles(r + f.anchors).empty());
    EXPECT_TRUE(BundleCertificates(r + f.bundle).empty());

    const std::vector<std::string> log = ReadLines(r + "/refresh.log");
    ASSERT_EQ(log.size(), 2u);  // one refresh per change
    EXPECT_EQ(log[0], std::string(f.program) + f.refresh_tail);  // as the root names it
    EXPECT_EQ(log[0], log[1]);
  }
}

TEST(StoreFamiliesTest, ARefreshThatCannotRunChangesNothing) {
  if (geteuid() != 0) TKV_SKIP("needs root to run a check as an unprivileged user");
  TempDir root;
  const std::string r = root.path();
  Shell("chmod 755 '" + r + "' && mkdir -p '" + r + "/etc/pki/ca-trust/source/anchors' '" + r + "/files'");
  InstallStub(r, "/usr/bin/update-ca-trust", "/etc/pki/ca-trust/source/anchors",
              "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem");
  WriteFile(r + "/files/ca.pem", ToPem(MakeCertificate("Unpublishable CA")));
  // An image its user may change, but whose refresh only root can run inside it:
  // an anchor written without it would be trusted by no client.
  Shell("chown -R 65534:65534 '" + r + "'");
  const RunResult run = RunTool({"/install", "ca.pem"}, {r, true, r + "/files"});
  EXPECT_EQ(run.out, "Error : Failed to add certificate to store\nLastError: 0x522\n" + Imported("ca.pem"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Sandbox::ListFiles(r + "/etc/pki/ca-trust/source/anchors").empty());
}

pid_t StartTool(const std::vector<std::string>& args, const std::string& sysroot, const std::string& cwd) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    setenv("TKVCERT_SYSROOT", sysroot.c_str(), 1);
    std::vector<char*> argv = {const_cast<char*>("tkvcert")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TKVCERT_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// Waits until no run, nor a refresh a killed run left behind, holds the store.
void WaitForStore(const std::string& anchors) {
  const int fd = open((anchors + "/.tkvcert-staging/lock").c_str(), O_RDONLY);
  if (fd < 0 && errno == ENOENT) return;  // no run got as far as locking
  ASSERT_GE(fd, 0);
  flock(fd, LOCK_EX);
  close(fd);
}

TEST(StoreCrashTest, KilledRunsLeaveTheOldStateOrTheNew) {
  Sandbox sandbox;
  const std::string files = sandbox.root() + "/files";
  std::vector<Bytes> certs;
  for (int i = 0; i < 3; ++i) {
    certs.push_back(MakeCertificate("Killed CA " + std::to_string(i)));
    sandbox.Put("ca" + std::to_string(i) + ".pem", ToPem(certs.back()));
  }
  std::mt19937 random(20261207);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int runs = 0;
  for (; runs < 300 && std::chrono::steady_clock::now() < deadline; ++runs) {
    const int which = static_cast<int>(random() % 3);
    const std::vector<std::string> args =
        random() % 2 ? std::vector<std::string>{"/install", "ca" + std::to_string(which) + ".pem"}
                     : std::vector<std::string>{"/uninstall", "Killed CA " + std::to_string(which)};
    const pid_t pid = StartTool(args, sandbox.root(), files);
    usleep(static_cast<useconds_t>(random() % 60000));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    WaitForStore(sandbox.anchors_dir());
    std::string problem;
    AnchorCertificates(sandbox.anchors_dir(), &problem);
    ASSERT_EQ(problem, "") << "after run " << runs;
  }
  EXPECT_GE(runs, 100);
  // The next run's refresh brings the bundle back in line with the anchors.
  ASSERT_EQ(RunTool({"/install", "ca0.pem"}, {sandbox.root(), false, files}).status, 0);
  std::string problem;
  const std::multiset<Bytes> anchors = AnchorCertificates(sandbox.anchors_dir(), &problem);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(BundleCertificates(sandbox.bundle()), anchors);
}

// Another process holds a lock for a second: the lock file in staging (as
// a run of this binary does), or the anchors directory itself (as binaries
// from before the lock file did).
struct LockHolder {
  const char* what;
  bool old_lock;          // the anchors directory rather than the lock file
  int mode;               // LOCK_EX or LOCK_SH
  const char* comm;       // the holder's process name
  uid_t real_uid;         // its real user; its effective user is root
  bool waited_for;
};

// Forks the holder; returns once it holds the lock. It lets go after a second.
pid_t HoldLock(const std::string& path, const LockHolder& row) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_NAME, row.comm);
    if (setresuid(row.real_uid, 0, 0) != 0) _exit(1);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || flock(fd, row.mode) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    sleep(1);
    _exit(0);
  }
  close(ready[1]);
  char byte;
  const bool held = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return held ? pid : -1;
}

// A run waits for another run's lock, however it is held, and says so at
// once with the holder; on the old lock it waits only for a run of the tool
// by root's real user, never for a user's process that su made root.
TEST(StoreRaceTest, AWaitForTheLockIsForAnotherRunAndSaidWithItsHolder) {
  const LockHolder rows[] = {
      {"the lock file, held", false, LOCK_EX, "tkvcert", 0, true},
      {"the lock file, shared", false, LOCK_SH, "tkvcert", 0, true},
      {"the old lock, root's run", true, LOCK_EX, "tkvcert", 0, true},
      {"the old lock, a user's su", true, LOCK_EX, "su", 65534, false},
      {"the old lock, a user's process named tkvcert", true, LOCK_EX, "tkvcert", 65534, false},
  };
  for (const LockHolder& row : rows) {
    SCOPED_TRACE(row.what);
    Sandbox sandbox;
    const std::string files = sandbox.root() + "/files";
    sandbox.Put("ca.pem", ToPem(MakeCertificate("Waiting CA")));
    ASSERT_EQ(RunTool({"/install", "ca.pem"}, {sandbox.root(), false, files}).status, 0);  // the lock is made
    const pid_t holder =
        HoldLock(row.old_lock ? sandbox.anchors_dir() : sandbox.anchors_dir() + "/.tkvcert-staging/lock", row);
    ASSERT_GT(holder, 0);
    const RunResult r = RunTool({"/uninstall", "Waiting CA"}, {sandbox.root(), false, files});
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(r.status, 0);
    const std::string said = "tkvcert: waiting for another run's change to " + sandbox.anchors_dir() +
                             " to finish: process " + std::to_string(holder) + " (" + row.comm + ")";
    EXPECT_EQ(r.err.find(said) != std::string::npos, row.waited_for) << r.err;
    if (!row.waited_for) {
      EXPECT_EQ(r.err.find("waiting"), std::string::npos) << r.err;
    }
  }
}

TEST(StoreRaceTest, RunsAtTheSameTimeKeepEveryChangeAndNeverRefreshTogether) {
  Sandbox sandbox;
  // A refresh of the root's own that notices refreshes running at once.
  InstallStub(sandbox.root(), "/usr/sbin/update-ca-certificates", "/usr/local/share/ca-certificates",
              "/etc/ssl/certs/ca-certificates.crt");
  constexpr int kRunners = 4;
  constexpr int kRounds = 6;
  std::vector<Bytes> keep;
  for (int i = 0; i < kRunners; ++i) {
    keep.push_back(MakeCertificate("Kept " + std::to_string(i)));
    sandbox.Put("keep" + std::to_string(i) + ".pem", ToPem(keep.back()));
    sandbox.Put("drop" + std::to_string(i) + ".pem", ToPem(MakeCertificate("Dropped " + std::to_string(i))));
  }
  // The lock stays one file: one removed while held would let the next run
  // make another and hold "the lock" too.
  ASSERT_EQ(RunTool({"/install", "keep0.pem"}, {sandbox.root(), false, sandbox.root() + "/files"}).status, 0);
  struct stat lock_before;
  const std::string lock = sandbox.anchors_dir() + "/.tkvcert-staging/lock";
  ASSERT_EQ(stat(lock.c_str(), &lock_before), 0);
  std::vector<pid_t> runners;
  for (int i = 0; i < kRunners; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};
      const std::string n = std::to_string(i);
      int failures = 0;
      for (int round = 0; round < kRounds; ++round) {
        failures += RunTool({"/install", "keep" + n + ".pem"}, options).status;
        failures += RunTool({"/install", "drop" + n + ".pem"}, options).status;
        failures += RunTool({"/uninstall", "Dropped " + n}, options).status;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    runners.push_back(pid);
  }
  for (pid_t pid : runners) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string problem;
  EXPECT_EQ(AnchorCertificates(sandbox.anchors_dir(), &problem),
            std::multiset<Bytes>(keep.begin(), keep.end()));
  EXPECT_EQ(problem, "");
  const std::vector<std::string> log = ReadLines(sandbox.root() + "/refresh.log");
  // Installing a certificate the store and the bundle hold already refreshes nothing.
  EXPECT_EQ(log.size(), static_cast<size_t>(kRunners * (1 + kRounds * 2)));
  EXPECT_EQ(std::count(log.begin(), log.end(), "OVERLAP"), 0);
  struct stat lock_after;
  ASSERT_EQ(stat(lock.c_str(), &lock_after), 0);
  EXPECT_EQ(lock_after.st_ino, lock_before.st_ino);
}

// The tool under strace, with the paths of descriptors shown: `inject`
// ("fsync:when=2") makes that call of the tool's own fail with EIO.
struct Traced {
  RunResult run;
  std::vector<std::string> calls;
  bool injected = false;
};

Traced RunTraced(const Sandbox& sandbox, const std::vector<std::string>& args, const std::string& inject = "") {
  TempDir dir;
  std::vector<std::string> argv = {"strace", "-y", "-o", dir.File("trace"),
                                   "-e", "trace=fsync,fdatasync,renameat,unlinkat"};
  if (!inject.empty()) argv.insert(argv.end(), {"-e", "inject=" + inject + ":error=EIO"});
  argv.push_back(TKVCERT_BINARY);
  argv.insert(argv.end(), args.begin(), args.end());
  const ScopedEnvironmentVariable root("TKVCERT_SYSROOT", sandbox.root());
  const ScopedEnvironmentVariable browsers("TKVCERT_BROWSERS", "off");
  // A sanitizer build's leak check cannot run under ptrace, and fails the run.
  const char* asan = getenv("ASAN_OPTIONS");
  const ScopedEnvironmentVariable no_leak_check(
      "ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0");
  Traced traced{RunProgram(argv, sandbox.root() + "/files"), ReadLines(dir.File("trace"))};
  for (const std::string& line : traced.calls) traced.injected |= line.find("(INJECTED)") != std::string::npos;
  return traced;
}

bool HaveStrace() { return system("strace -V >/dev/null 2>&1") == 0; }

// The first call at or after `from` that holds every one of `parts`.
size_t Find(const std::vector<std::string>& calls, size_t from, std::initializer_list<const char*> parts) {
  for (size_t i = from; i < calls.size(); ++i) {
    if (std::all_of(parts.begin(), parts.end(), [&](const char* p) { return calls[i].find(p) != std::string::npos; })) {
      return i;
    }
  }
  return calls.size();
}

// What the next run finishes from must be on disk before the anchors
// change, and each anchor's contents before its name.
TEST(StoreFaultTest, WhatAChangeRestsOnIsOnDiskBeforeIt) {
  if (!HaveStrace()) TKV_SKIP("needs strace (package strace)");
  Sandbox sandbox;
  const Bytes der = MakeCertificate("Synced CA");
  const std::string anchor = AnchorFileName(der);
  sandbox.Put("ca.pem", ToPem(der));
  for (const auto& args : {std::vector<std::string>{"/install", "ca.pem"}, {"/uninstall", "Synced CA"}}) {
    SCOPED_TRACE(args[0]);
    const Traced traced = RunTraced(sandbox, args);
    ASSERT_EQ(traced.run.status, 0) << traced.run.err;
    const std::vector<std::string>& calls = traced.calls;
    const bool install = args[0] == "/install";
    const size_t change = Find(calls, 0, {install ? "renameat(" : "unlinkat(", ("\"" + anchor + "\"").c_str()});
    ASSERT_LT(change, calls.size());
    EXPECT_LT(Find(calls, 0, {"fdatasync(", "/.tkvcert-staging/change-in-progress>"}), change);
    if (install) {
      // The staged file renamed in, flushed under its staging name.
      const std::string line = calls[change];
      const size_t name = line.find("\"tkvcert-");
      ASSERT_NE(name, std::string::npos) << line;
      const std::string staged = line.substr(name + 1, line.find('"', name + 1) - name - 1);
      EXPECT_LT(Find(calls, 0, {"fsync(", ("/.tkvcert-staging/" + staged + ">").c_str()}), change);
    }
    EXPECT_LT(Find(calls, change, {"fsync(", "/usr/local/share/ca-certificates>)"}), calls.size());
  }
}

// Each flush, rename and unlink of the tool's in turn fails: the change
// stops with nothing changed, or is made and what is left over is said,
// and the next run tidies it. Never a silent success.
TEST(StoreFaultTest, AFailedSyncOrUnlinkStopsTheChangeOrIsSaidAndLeftForTheNextRun) {
  if (!HaveStrace()) TKV_SKIP("needs strace (package strace)");
  const Bytes der = MakeCertificate("Faulty CA");
  const Bytes other = MakeCertificate("Next CA");
  for (const bool install : {true, false}) {
    for (const char* call : {"fsync", "fdatasync", "renameat", "unlinkat"}) {
      for (int when = 1; when <= 12; ++when) {
        SCOPED_TRACE(std::string(install ? "install, " : "uninstall, ") + call + " " + std::to_string(when));
        Sandbox sandbox;
        sandbox.Put("ca.pem", ToPem(der));
        const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};
        if (!install) {
          ASSERT_EQ(RunTool({"/install", "ca.pem"}, options).status, 0);
        }
        // What a killed run left, swept once the store is locked.
        Shell("mkdir -p -m 0700 '" + sandbox.anchors_dir() + "/.tkvcert-staging' && touch '" +
              sandbox.anchors_dir() + "/.tkvcert-staging/tkvcert-left.bak'");
        std::string problem;
        const std::multiset<Bytes> before = AnchorCertificates(sandbox.anchors_dir(), &problem);
        const std::vector<std::string> args =
            install ? std::vector<std::string>{"/install", "ca.pem"} : std::vector<std::string>{"/uninstall", "Faulty CA"};
        const Traced traced = RunTraced(sandbox, args, std::string(call) + ":when=" + std::to_string(when));
        if (!traced.injected) break;
        EXPECT_EQ(traced.run.err.compare(0, 9, "tkvcert: "), 0) << "unsaid: " << traced.run.out;
        const std::multiset<Bytes> after = AnchorCertificates(sandbox.anchors_dir(), &problem);
        if (traced.run.status != 0) {
          EXPECT_EQ(after, before);
        } else {
          EXPECT_EQ(after.count(der), install ? 1u : 0u);
        }
        EXPECT_EQ(BundleCertificates(sandbox.bundle()), after);
        EXPECT_EQ(problem, "");
        // The next change finds nothing of this run's but what it changed.
        sandbox.Put("other.pem", ToPem(other));
        ASSERT_EQ(RunTool({"/install", "other.pem"}, options).status, 0);
        EXPECT_EQ(Sandbox::ListFiles(sandbox.anchors_dir() + "/.tkvcert-staging"), std::vector<std::string>{"lock"});
        std::multiset<Bytes> next = after;
        next.insert(other);
        EXPECT_EQ(BundleCertificates(sandbox.bundle()), next);
      }
    }
  }
}

TEST(StoreLinkTest, LinksPlantedUnderAnchorNamesAreReplacedNeverFollowed) {
  Sandbox sandbox;
  const Bytes der = MakeCertificate("Linked CA");
  const std::string anchor = sandbox.anchors_dir() + "/" + AnchorFileName(der);
  const std::string victim = sandbox.root() + "/files/victim";
  WriteFile(victim, std::string("not to be overwritten\n"));
  ASSERT_EQ(symlink(victim.c_str(), anchor.c_str()), 0);
  sandbox.Put("ca.pem", ToPem(der));
  const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};

  EXPECT_EQ(RunTool({"/install", "ca.pem"}, options).out, Imported("ca.pem"));
  struct stat st;
  ASSERT_EQ(lstat(anchor.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(ReadFile(victim), "not to be overwritten\n");

  // A link to a certificate elsewhere is removed as a link; its target stays.
  const Bytes other = MakeCertificate("Elsewhere CA");
  const std::string target = sandbox.root() + "/files/elsewhere.pem";
  WriteFile(target, ToPem(other));
  ASSERT_EQ(symlink("../../../../files/elsewhere.pem", (sandbox.anchors_dir() + "/elsewhere.crt").c_str()), 0);
  EXPECT_EQ(RunTool({"/uninstall", "Elsewhere CA"}, options).out, Removed("Elsewhere CA"));
  EXPECT_NE(lstat((sandbox.anchors_dir() + "/elsewhere.crt").c_str(), &st), 0);
  EXPECT_EQ(ReadFile(target), ToPem(other));
}

}  // namespace
}  // namespace tkv::testing

namespace tkv::testing {
namespace {

// Debian's refresh reads every *.crt below the anchors directory, so a
// certificate kept anywhere there, or twice, is trusted; one /uninstall
// must leave none of its copies for the refresh to read.
struct CopiesCase {
  const char* name;
  std::vector<std::string> copies;  // files below the anchors directory, each holding the CA
  const char* link_target;          // the CA's file outside the anchors, when a copy links to it
};

TEST(StoreCopiesTest, EveryCopyOfACertificateGoesInOneRemoval) {
  const CopiesCase cases[] = {
      {"in a subdirectory", {"extra/corp.crt"}, nullptr},
      {"in a hidden file", {".corp.crt"}, nullptr},
      {"behind a link (the link goes, never its target)", {"linked.crt"},
       "usr/local/share/ca-certificates/kept/corp.pem"},
      {"under two names", {"corp-proxy.crt", "THUMBPRINT"}, nullptr},
      {"in three places at once", {"a.crt", "deep/er/b.crt", ".c.crt"}, nullptr},
  };
  const Bytes ca = MakeCertificate("Copied CA");
  const Bytes bystander = MakeCertificate("Bystander CA");
  for (const CopiesCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sandbox;
    const std::string anchors = sandbox.anchors_dir();
    for (std::string copy : c.copies) {
      if (copy == "THUMBPRINT") copy = AnchorFileName(ca);
      Shell("mkdir -p \"$(dirname '" + anchors + "/" + copy + "')\"");
      if (c.link_target == nullptr) {
        WriteFile(anchors + "/" + copy, ToPem(ca));
        continue;
      }
      const std::string target = sandbox.root() + "/" + c.link_target;
      Shell("mkdir -p \"$(dirname '" + target + "')\"");
      WriteFile(target, ToPem(ca));
      // Relative, so that the host's refresh and the root resolve it alike.
      ASSERT_EQ(symlink(("../../../../" + std::string(c.link_target)).c_str(),
                        (anchors + "/" + copy).c_str()), 0);
    }
    // Installing another CA refreshes the bundle, which now trusts every copy.
    sandbox.Put("bystander.pem", ToPem(bystander));
    const std::string ca_file = sandbox.Put("ca.pem", ToPem(ca));
    const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};
    ASSERT_EQ(RunTool({"/install", "bystander.pem"}, options).status, 0);
    auto trusted = [&](const std::string& file) {
      return RunProgram({"openssl", "verify", "-CAfile", sandbox.bundle(), file}).status == 0;
    };
    ASSERT_TRUE(trusted(ca_file));

    const RunResult r = ForeseenRun({"/uninstall", "Copied CA"}, options);
    EXPECT_EQ(r.out, Removed("Copied CA"));
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(trusted(ca_file));
    EXPECT_TRUE(trusted(sandbox.root() + "/files/bystander.pem"));
    EXPECT_EQ(RunTool({"/uninstall", "Copied CA"}, options).out, "Done removing [Copied CA]\n");
    if (c.link_target != nullptr) {
      EXPECT_EQ(ReadFile(sandbox.root() + "/" + c.link_target), ToPem(ca));
    }
  }
}

// Removing a linked directory would take everything else in it along, and
// what it links to is not the store's to change: the deletion is refused.
TEST(StoreCopiesTest, ACopyInALinkedDirectoryIsNotRemovedAndNothingChanges) {
  Sandbox sandbox;
  const Bytes ca = MakeCertificate("Linked Directory CA");
  const std::string shared = sandbox.root() + "/opt/cas";
  Shell("mkdir -p '" + shared + "'");
  WriteFile(shared + "/corp.crt", ToPem(ca));
  WriteFile(shared + "/other.crt", ToPem(MakeCertificate("Other Linked CA")));
  ASSERT_EQ(symlink("../../../../opt/cas", (sandbox.anchors_dir() + "/shared").c_str()), 0);
  const auto before = sandbox.AnchorNames();
  const RunResult r = ForeseenRun({"/uninstall", "Linked Directory CA"},
                                  {sandbox.root(), false, sandbox.root() + "/files"});
  EXPECT_EQ(r.out, "Removing certificate : Linked Directory CA \nError : The deletion of the "
                   "certificate failed.\nLastError: 0x5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tkvcert: cannot remove the copy in " + sandbox.anchors_dir() +
                       "/shared/corp.crt: a linked directory leads to it, and removing the link "
                       "would take all it holds\n");
  EXPECT_EQ(sandbox.AnchorNames(), before);
  EXPECT_EQ(ReadFile(shared + "/corp.crt"), ToPem(ca));
}

// A file of the store's own is rewritten in place, as it was but for the
// removed CA. A linked file is not the store's: its other certificates, and
// nothing else it holds, go into a file in the link's place that no one may
// read whom the linked file kept out.
struct SeveralCase {
  const char* name;
  const char* file;       // below the anchors directory; a link's target when `link` is set
  const char* link;       // the anchor linking to `file`, or null
  const char* dir_mode;   // of `file`'s directory
  const char* mode;       // of `file`
  const char* owner;      // of `file`
  bool with_key;          // `file` holds a private key before its certificates
  mode_t rest_mode;       // what is left under the anchor's name
  uid_t rest_uid;
  gid_t rest_gid;
};

TEST(StoreCopiesTest, AFileOfSeveralKeepsTheRestItsModeAndItsOwner) {
  if (geteuid() != 0) TKV_SKIP("giving a file to another owner needs root");
  const SeveralCase cases[] = {
      // Readable by all: another root's refresh runs without root's capabilities.
      {"a file of the store's", "corp-bundle.crt", nullptr, "0755", "0604", "1000:1000", false,
       0604, 1000, 1000},
      {"a link to a key and certificates only root may read", "keys/corp.pem", "corp.crt",
       "0700", "0600", "0:1000", true, 0600, 0, 1000},
      {"a link to a key and certificates its group may read", "keys/corp.pem", "corp.crt",
       "0750", "0640", "0:1000", true, 0640, 0, 1000},
      {"a link to an executable file all may read", "keys/corp.pem", "corp.crt", "0755",
       "0755", "0:0", true, 0644, 0, 0},
  };
  const Bytes ca = MakeCertificate("Shared File CA");
  const Bytes other = MakeCertificate("Neighbour CA");
  for (const SeveralCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sandbox;
    const std::string file = sandbox.anchors_dir() + "/" + c.file;
    const std::string dir = file.substr(0, file.rfind('/'));
    const std::string contents = (c.with_key ? PrivateKeyPem() : "") + ToPem(other) + ToPem(ca);
    Shell("mkdir -p '" + dir + "'");
    WriteFile(file, contents);
    Shell("chmod " + std::string(c.mode) + " '" + file + "' && chown " + c.owner + " '" + file +
          "' && chmod " + c.dir_mode + " '" + dir + "'");
    std::string anchor = file;
    if (c.link != nullptr) {
      anchor = sandbox.anchors_dir() + "/" + c.link;
      ASSERT_EQ(symlink(c.file, anchor.c_str()), 0);
    }
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};
    EXPECT_EQ(RunTool({"/uninstall", "Shared File CA"}, options).out, Removed("Shared File CA"));
    struct stat st;
    ASSERT_EQ(lstat(anchor.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.rest_mode);
    EXPECT_EQ(st.st_uid, c.rest_uid);
    EXPECT_EQ(st.st_gid, c.rest_gid);
    const std::string rest = ReadFile(anchor);
    EXPECT_EQ(rest, ToPem(other));
    EXPECT_EQ(rest.find("PRIVATE KEY"), std::string::npos);
    if (c.link != nullptr) {
      EXPECT_EQ(ReadFile(file), contents);
      ASSERT_EQ(stat(file.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode, before.st_mode);
      EXPECT_EQ(st.st_uid, before.st_uid);
      EXPECT_EQ(st.st_gid, before.st_gid);
    }
  }
}

}  // namespace
}  // namespace tkv::testing
