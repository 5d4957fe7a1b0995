// Stands in for a distribution's refresh command in tests. Linked
// statically, so that it runs inside a bare root. Like Alpine's refresh it
// ignores its arguments and works on "/": whatever root it runs in, or the
// host's own if it is ever run there. It rebuilds the bundle from the
// files its /etc/ca-certificates.conf selects, as Alpine's does, and the
// regular, non-hidden files at the top of the anchors directory, and reads
// what else to do from /refresh-stub.conf (lines "key=value"; the tool
// passes no environment to a refresh). Standing in for the host's refresh
// on a bare root, it sees of the root only its lent directories, and reads
// /etc/ssl/certs/refresh-stub.conf instead.
//   anchors=DIR   bundle=FILE   (defaults: Alpine's and Debian's)
//   log=FILE      append the command line, and OVERLAP when another
//                 refresh runs at the same time
//   exit=N        exit status (default 0)
//   sleep_ms=N    how long a refresh takes (default 20)
//   env_log=FILE  write the environment it was given there
//   fail_once=FILE  when FILE does not exist: create it, leave the bundle
//                 half-written (emptied), and fail, as a refresh that runs
//                 out of space does
//   link_dir=DIR  first link DIR/<name>.pem to each anchor <name>.crt, as
//                 Debian's refresh does
//   linger_ms=N   leave a process behind that holds standard error for N ms
//   bundle_size=N make the bundle N bytes long (sparse) after writing it
//   escape=FILE   first try to leave the root as a chroot escape does,
//                 and if that works, leave FILE there, set-uid
//   stderr_hex=HEX  first write these bytes (two hex digits each) to
//                 standard error, as a hostile or broken image's refresh may
//   probe=DIR     first look for what a program run for another root must
//                 not reach, and write one line a check to DIR/<own name>.probe:
//                 "ok <check>" or "FOUND <check>: <what>". It opens files for
//                 writing only to close them: it never writes to what it finds.
//   probe_key=DESC  a key in root's user keyring the probe must not find
//   probe_writable=PATH:PATH...  also look whether any of these opens for
//                 writing (it is closed at once, never written)
//   probe_readable=PATH:PATH...  and whether any of these opens for reading
//   fork_bomb=N   the first time (no /fork-bomb.done): make up to N
//                 processes that sleep, write how many to /fork-bomb.done,
//                 and fail
//   alloc_mb=N    the first time (no /alloc.done): take N MiB, page by page,
//                 writing how many so far to /alloc.done, and fail
//   swap_dir=DIR:TARGET  last, unless DIR is something else than a
//                 directory: move it to DIR.swapped and put a link to TARGET
//                 in its place (or make that link where DIR is missing)
#include <dirent.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> ReadConfig() {
  std::map<std::string, std::string> config = {
      {"anchors", "/usr/local/share/ca-certificates"},
      {"bundle", "/etc/ssl/certs/ca-certificates.crt"},
      {"sleep_ms", "20"}};
  std::ifstream in("/refresh-stub.conf");
  if (!in) in.open("/etc/ssl/certs/refresh-stub.conf");
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) config[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return config;
}

bool RebuildBundle(const std::string& anchors, const std::string& bundle) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(anchors.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  const std::string temporary = bundle + ".stub-new";
  std::ofstream out(temporary, std::ios::trunc);
  if (!out) return false;
  // The distribution's set first, as Alpine's refresh reads its conf: every
  // line but empty ones, comments and those a "!" deselects.
  std::ifstream conf("/etc/ca-certificates.conf");
  for (std::string line; std::getline(conf, line);) {
    if (line.empty() || line[0] == '#' || line[0] == '!') continue;
    std::ifstream in("/usr/share/ca-certificates/" + line);
    if (in) out << in.rdbuf();
  }
  for (const std::string& name : names) {
    std::ifstream in(anchors + "/" + name);
    if (in) out << in.rdbuf();
  }
  out.close();
  return rename(temporary.c_str(), bundle.c_str()) == 0;
}

void LinkAnchors(const std::string& anchors, const std::string& link_dir) {
  if (DIR* dir = opendir(anchors.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() < 5 || name.compare(name.size() - 4, 4, ".crt") != 0) continue;
      const std::string link = link_dir + "/" + name.substr(0, name.size() - 4) + ".pem";
      unlink(link.c_str());
      if (symlink((anchors + "/" + name).c_str(), link.c_str()) != 0) continue;
    }
    closedir(dir);
  }
}

// What a hostile program does when chroot is all that holds it.
void TryToEscape(const std::string& file) {
  mkdir("/.escape", 0700);
  if (chroot("/.escape") == 0) {
    for (int i = 0; i < 64; ++i) {
      if (chdir("..") != 0) break;
    }
    if (chroot(".") != 0) return;
  }
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 04755);
  if (fd >= 0) {
    fchmod(fd, 04755);
    close(fd);
  }
}

void WriteHexToStandardError(const std::string& hex) {
  std::string bytes;
  for (size_t at = 0; at + 1 < hex.size(); at += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
  }
  if (write(2, bytes.data(), bytes.size()) < 0) return;
}

bool Opens(const std::string& path, int how) {
  const int fd = open(path.c_str(), how | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool OpensForWriting(const std::string& path) { return Opens(path, O_WRONLY); }

// Regular files only, links not followed: /proc/sys is a few levels deep.
void WritableFilesUnder(const std::string& dir, int* seen, std::vector<std::string>* writable) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    const std::string path = dir + "/" + name;
    if (entry->d_type == DT_DIR && name != "." && name != "..") WritableFilesUnder(path, seen, writable);
    if (entry->d_type != DT_REG) continue;
    ++*seen;
    if (OpensForWriting(path)) writable->push_back(path);
  }
  closedir(listing);
}

std::string ProcSysFinding() {
  int seen = 0;
  std::vector<std::string> writable;
  WritableFilesUnder("/proc/sys", &seen, &writable);
  if (seen == 0) return "no file to look at";
  if (writable.empty()) return "";
  std::string what = std::to_string(writable.size()) + " of " + std::to_string(seen) + " open for writing:";
  for (size_t i = 0; i < writable.size() && i < 3; ++i) what += " " + writable[i];
  return what;
}

std::string KeyctlFinding(const std::string& description) {
  if (description.empty()) return "no key to look for";
  const long id = syscall(SYS_keyctl, KEYCTL_SEARCH, KEY_SPEC_USER_KEYRING, "user", description.c_str(), 0);
  return id >= 0 ? "found key " + std::to_string(id) : "";
}

std::string ProcKeysFinding(const std::string& description) {
  if (description.empty()) return "no key to look for";
  std::ifstream keys("/proc/keys");
  for (std::string line; std::getline(keys, line);) {
    if (line.find(description) != std::string::npos) return line;
  }
  return "";
}

// Taken before the probe opens anything of its own.
std::string DescriptorFinding() {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return "cannot list /proc/self/fd";
  std::string open;
  while (const dirent* entry = readdir(listing)) {
    const int fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == dirfd(listing)) continue;
    char target[256];
    const ssize_t n = readlinkat(dirfd(listing), entry->d_name, target, sizeof target);
    open += " " + std::to_string(fd) + " -> " + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?");
  }
  closedir(listing);
  return open.empty() ? "" : "open:" + open;
}

// TIOCSTI pushes input into the caller's controlling terminal; without one
// it fails whatever the sandbox does, so the probe makes its own.
std::string TiocstiFinding() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* slave = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  if (slave == nullptr) return "no pty";
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = setsid() < 0 ? -1 : open(slave, O_RDWR);
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0 || dup2(fd, 0) != 0) _exit(255);
    const char c = '\n';
    _exit(ioctl(0, TIOCSTI, &c) == 0 ? 0 : errno);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  if (code == EPERM) return "";
  if (code == 0) return "pushed input into its terminal";
  return code == 255 ? "no pty" : std::string("answered ") + strerror(code);
}

#if defined(__x86_64__)
// A call through the i386 ABI, as a 32-bit program makes it.
long I386Call(long number, long a, long b) {
  long result;
  __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b) : "memory");
  return result;
}
#endif

// A call the filter must answer "not there": "" when it does.
std::string NotThere(const char* what, long result) {
  if (result == -ENOSYS) return "";
  return std::string(what) + " answered " + std::to_string(result);
}

long Native(long number, long a, long b) {
  const long result = syscall(number, a, b, 0, 0, 0);
  return result < 0 ? -errno : result;
}

// io_uring queues operations the filter never sees.
std::string IoUringFinding() {
  char params[120] = {};
  std::string found = NotThere("io_uring_setup", Native(SYS_io_uring_setup, 1, reinterpret_cast<long>(params)));
#if defined(__x86_64__)
  if (found.empty()) found = NotThere("io_uring_setup through int 0x80", I386Call(425, 1, 0));
#endif
  return found;
}

// open_tree_attr (467 on both ABIs) is newer than the filter's library.
std::string NewCallsFinding() {
  std::string found = NotThere("call 467", Native(467, -1, 0));
#if defined(__x86_64__)
  if (found.empty()) found = NotThere("call 467 through int 0x80", I386Call(467, -1, 0));
#endif
  return found;
}

// Those of `paths` (":" between them) that open for `how`.
std::string OpensFinding(const std::string& paths, int how, const char* what) {
  std::string found;
  for (size_t at = 0; at < paths.size();) {
    size_t end = paths.find(':', at);
    if (end == std::string::npos) end = paths.size();
    const std::string path = paths.substr(at, end - at);
    if (!path.empty() && Opens(path, how)) found += " " + path;
    at = end + 1;
  }
  return found.empty() ? "" : std::string(what) + found;
}

void Probe(const std::string& dir, const std::string& key, const std::string& writable, const std::string& readable,
           const char* argv0) {
  std::vector<std::pair<const char*, std::string>> checks = {
      {"descriptors", DescriptorFinding()},
      {"proc-sys", ProcSysFinding()},
      {"sysrq-trigger", OpensForWriting("/proc/sysrq-trigger") ? "open for writing" : ""},
      {"keyctl-search", KeyctlFinding(key)},
      {"proc-keys", ProcKeysFinding(key)},
      {"tiocsti", TiocstiFinding()},
      {"io_uring", IoUringFinding()},
      {"new-calls", NewCallsFinding()},
  };
  if (!writable.empty()) checks.emplace_back("writable", OpensFinding(writable, O_WRONLY, "open for writing:"));
  if (!readable.empty()) checks.emplace_back("readable", OpensFinding(readable, O_RDONLY, "open for reading:"));
  const char* slash = strrchr(argv0, '/');
  std::ofstream out(dir + "/" + (slash != nullptr ? slash + 1 : argv0) + ".probe", std::ios::trunc);
  for (const auto& [check, finding] : checks) {
    out << (finding.empty() ? "ok " + std::string(check) : "FOUND " + std::string(check) + ": " + finding) << "\n";
  }
}

// As many sleeping processes as it is let make, up to `wanted`.
int ForkBomb(int wanted) {
  int made = 0;
  for (; made < wanted; ++made) {
    const pid_t pid = fork();
    if (pid < 0) break;
    if (pid == 0) {
      sleep(60);
      _exit(0);
    }
  }
  std::ofstream("/fork-bomb.done") << made << "\n";
  return 1;
}

int Allocate(int wanted_mb) {
  constexpr size_t kChunk = 16 << 20;
  for (int mb = 0; mb < wanted_mb; mb += 16) {
    char* chunk = static_cast<char*>(malloc(kChunk));
    if (chunk == nullptr) break;
    for (size_t at = 0; at < kChunk; at += 4096) chunk[at] = 1;
    std::ofstream("/alloc.done", std::ios::trunc) << mb + 16 << "\n";
  }
  return 1;
}

}  // namespace

extern char** environ;

int main(int argc, char** argv) {
  std::map<std::string, std::string> config = ReadConfig();
  if (!config["probe"].empty()) Probe(config["probe"], config["probe_key"], config["probe_writable"], config["probe_readable"], argv[0]);
  if (!config["fork_bomb"].empty() && access("/fork-bomb.done", F_OK) != 0) return ForkBomb(atoi(config["fork_bomb"].c_str()));
  if (!config["alloc_mb"].empty() && access("/alloc.done", F_OK) != 0) return Allocate(atoi(config["alloc_mb"].c_str()));
  if (!config["env_log"].empty()) {
    std::ofstream out(config["env_log"], std::ios::trunc);
    for (char** e = environ; *e != nullptr; ++e) out << *e << "\n";
  }
  if (!config["escape"].empty()) TryToEscape(config["escape"]);
  if (!config["stderr_hex"].empty()) WriteHexToStandardError(config["stderr_hex"]);
  if (!config["link_dir"].empty()) LinkAnchors(config["anchors"], config["link_dir"]);
  if (!config["linger_ms"].empty() && fork() == 0) {
    usleep(static_cast<useconds_t>(atoi(config["linger_ms"].c_str())) * 1000);
    _exit(0);
  }
  if (!config["fail_once"].empty() && access(config["fail_once"].c_str(), F_OK) != 0) {
    std::ofstream(config["fail_once"]).put('\n');
    std::ofstream(config["bundle"], std::ios::trunc).flush();
    return 1;
  }
  const std::string log = config["log"];
  const std::string running = log + ".running";
  const int marker = log.empty() ? -1 : open(running.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  // Long enough for an unlocked second refresh to meet this one.
  usleep(static_cast<useconds_t>(atoi(config["sleep_ms"].c_str())) * 1000);
  if (!log.empty()) {
    FILE* out = fopen(log.c_str(), "a");
    if (out == nullptr) return 3;
    if (marker < 0) fputs("OVERLAP\n", out);
    for (int i = 0; i < argc; ++i) fprintf(out, i == 0 ? "%s" : " %s", argv[i]);
    fputc('\n', out);
    fclose(out);
  }
  if (marker >= 0) {
    close(marker);
    unlink(running.c_str());
  }
  const int code = atoi(config["exit"].c_str());
  if (code == 0 && !RebuildBundle(config["anchors"], config["bundle"])) return 4;
  if (!config["bundle_size"].empty() &&
      truncate(config["bundle"].c_str(), atoll(config["bundle_size"].c_str())) != 0) {
    return 5;
  }
  const std::string swap = config["swap_dir"];
  const std::string from = swap.substr(0, swap.find(':'));
  struct stat st;
  const bool there = lstat(from.c_str(), &st) == 0;
  if (swap.empty() || (there && !S_ISDIR(st.st_mode))) return code;
  if ((there && rename(from.c_str(), (from + ".swapped").c_str()) != 0) ||
      symlink(swap.substr(from.size() + 1).c_str(), from.c_str()) != 0) {
    return 6;
  }
  return code;
}
