// Running a program for another root without ever giving it the host's root.
//
// bubblewrap makes the sandbox: fresh mount, PID, IPC, UTS and network
// namespaces, no capabilities, no new privileges, seccomp filters. Without
// a user namespace its programs would still be the host's uid 0, who owns
// every root-owned file it can see (kernel settings in /proc/sys, root's
// keyrings), so by default this file first makes one whose ids 0-65535 are a
// block of host ids nobody uses, shows the root through idmapped clones of
// its mounts (its root-owned files look root-owned inside, and what the
// program writes lands on disk as 0:0), and starts bubblewrap as that
// namespace's root. Where that cannot be done, the program is the host's
// uid 0 without capabilities, with /proc's dangerous paths masked, and the
// same filters.
//
// Either way the root is shown as clones of its file systems, one a mount,
// never a recursive bind: what is mounted inside an image (a /sys, a home,
// a cache) is not shown unless it is one of the root's own file systems
// that holds what the refresh reads or writes, and then read-only, and not
// idmapped, unless the refresh writes there.
//
// Every program runs in a PID namespace whose first process is bubblewrap
// and which dies with the tool, so no part of a sandbox outlives it, and it
// is handed nothing of the tool's or its caller's but its standard streams
// and what it mounts.
#ifndef TKVCERT_PLATFORM_POSIX_SANDBOX_H_
#define TKVCERT_PLATFORM_POSIX_SANDBOX_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/sandbox/sandbox_limits.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Never looked up in PATH: the tool runs as root.
constexpr char kSandboxProgram[] = "/usr/bin/bwrap";

// The environment of every program the store runs, in a sandbox or not: it
// runs as root and runs other programs and hooks, so nothing of the caller's
// (PATH, BASH_ENV, LD_PRELOAD, OPENSSL_CONF, TMPDIR...) may choose what they
// run or read.
const char* const kProgramEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};

// The host ids that the sandbox's 0-65535 stand for: a block above every
// user's and below systemd's for images (0x7FFE0000), so that nothing the
// sandbox's root owns is anyone's on the host.
constexpr unsigned kSandboxHostIdBase = 0x7FFC0000;
constexpr unsigned kSandboxIdCount = 65536;

// Descriptors a child needs wait at this number and above, out of the way
// of the numbers it hands them on at.
constexpr int kParkedFds = 100;

// `strings` as an exec takes them: their pointers, then a null one.
std::vector<char*> CStrings(std::vector<std::string>& strings);

enum class SandboxMode {
  kUserNamespace,  // the namespace's root on idmapped clones of the root's mounts
  kProcMasks,      // the host's uid 0 without capabilities, on plain clones
};

// One of the root's file systems as its sandboxes show it.
struct ShownMount {
  std::string below_root;  // where: "" for the root's own mount
  UniqueFd top;            // its top, opened below the root, to clone it from
  bool writable = false;   // read-only unless the refresh writes there
  bool idmapped = false;   // kUserNamespace, and writable
};

// What every sandbox of one command shares, made once, before its first
// write.
struct SandboxSession {
  SandboxMode mode = SandboxMode::kProcMasks;
  UniqueFd user_namespace;        // kUserNamespace only: /proc/PID/ns/user of the namespace
  std::vector<UniqueFd> filters;  // seccomp programs, each as bubblewrap's --add-seccomp-fd reads it
  std::vector<ShownMount> mounts;  // the root's own first, then the others, parents first
  // Left at the command's end by whoever holds the session last.
  mutable SandboxLimits limits;
};

// A path of the root that bubblewrap mounts, opened by the sandbox's child
// in its view of the root and handed to bubblewrap as descriptor 3 + i.
struct SandboxMount {
  std::string below_root;  // "" for the root itself
};

// One program's sandbox, planned as data and then run.
struct Sandbox {
  std::shared_ptr<const SandboxSession> session;  // null: no sandbox (the host's own store)
  std::vector<std::string> options;  // bubblewrap's, without the program
  std::vector<SandboxMount> mounts;

  bool empty() const { return session == nullptr; }
};

// The user namespace: ids 0-65535 are the host's block above, and setgroups
// is denied. ERROR_NOT_SUPPORTED with `why` set when the kernel refuses.
DWORD MakeUserNamespace(UniqueFd* user_namespace, std::string* why);

// A detached, non-recursive clone of the mount whose top `top_fd` is,
// without set-uid files or devices, read-only unless `writable`, idmapped
// through `user_namespace` unless that is -1. Mounts inside it stay out.
// ERROR_NOT_SUPPORTED with `why` set when the kernel (before Linux 5.2) or,
// for idmapping, its file system cannot.
DWORD CloneMount(int top_fd, bool writable, int user_namespace, UniqueFd* tree, std::string* why);

// The seccomp program that blocks what a program run for a root has no use
// for, for bubblewrap's --add-seccomp-fd, in a sealed memory file.
DWORD BuildSeccompFilter(UniqueFd* filter, std::string* why);

// A second one: every system call newer than the first one's library knows
// answers "not there" (ENOSYS), for it cannot block what it does not know.
DWORD BuildNewCallsFilter(UniqueFd* filter, std::string* why);

// A started sandbox: bubblewrap as the first process of a PID namespace of
// its own. While `alive` is open, the sandbox knows the tool is there.
struct SandboxedProcess {
  pid_t pid = -1;
  UniqueFd alive;
};

// Starts bubblewrap with the sandbox's options, the seccomp filters and
// `argv`, whose standard streams are `in`, `out` and `err`, in a fixed
// environment (a system PATH and LC_ALL=C), within the session's limits.
// ERROR_NOT_SUPPORTED when the root's mounts cannot be cloned this time,
// with `failure` saying why, as the program's own error output would;
// ERROR_FUNCTION_FAILED when no process could be started. A step of the
// sandbox that fails in the child exits it with a line on `err`.
DWORD StartInSandbox(const Sandbox& sandbox, const std::vector<std::string>& argv, int in,
                     int out, int err, SandboxedProcess* started, std::string* failure);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SANDBOX_H_
