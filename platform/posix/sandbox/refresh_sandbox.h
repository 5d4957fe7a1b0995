// The sandbox a program runs in when it works for another root than the
// host's: how this command's sandboxes are made, chosen once a change is
// decided and before its first write, and what each shows. It is shown
// only what it needs, mounted from the root's descriptor, so no path string
// of the root is resolved again and a link, a configuration line or a file
// name that leads out of the root finds nothing.
#ifndef TKVCERT_PLATFORM_POSIX_REFRESH_SANDBOX_H_
#define TKVCERT_PLATFORM_POSIX_REFRESH_SANDBOX_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/base/command.h"
#include "platform/posix/base/root_directory.h"
#include "platform/posix/sandbox/sandbox.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Whether TKVCERT_SANDBOX holds a value this build knows: unset, empty,
// "userns" or "proc-masks". ERROR_NOT_SUPPORTED, said, otherwise; checked
// before any change, whether a sandbox is made or not.
DWORD CheckSandboxSetting(const Command& command);

// Whether the root's file systems can be shown to a sandbox soundly, each
// writable only where it holds one of `written` (the directories the
// family's refresh and its hooks write): decided before any change.
// ERROR_NOT_SUPPORTED, with a line on standard error, when they cannot be
// known, or when a directory of `written` lies on a file system that a
// sandbox shows read-only or not at all.
DWORD CheckRootShowable(const Command& command, const RootDirectory& root, const std::vector<std::string>& written);

// How this command's sandboxes for `root` are made, decided once (the
// caller keeps it for the command), showing of the root's file systems
// only those that hold `written` or `read` (see NeededMounts), from what
// the system calls answer: the
// capability, the user namespace, each clone of the root's mounts, the
// filters. A program is run to try it only where a container's rules,
// which no system call can read, may refuse bubblewrap's own steps (under a
// seccomp filter, or in a PID namespace of its own). TKVCERT_SANDBOX
// chooses: unset or empty, a user namespace, else (said once on standard
// error, with why) the host's uid 0 without capabilities and with /proc
// masked; "userns", a user namespace or nothing; "proc-masks", the latter.
// ERROR_NOT_SUPPORTED, with a line on standard error, when the sandbox
// asked for cannot be made, or none at all, or for any other value.
DWORD ChooseSandbox(const Command& command, const RootDirectory& root, const std::vector<std::string>& written,
                    const std::vector<std::string>& read, std::shared_ptr<const SandboxSession>* session);

// A root's own programs: the root itself as "/", with a private /dev, /proc
// and /tmp where the root has those directories.
DWORD PlanImageSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession> session,
                       Sandbox* sandbox);

// What a root without programs of its own lends from the host to run the
// host's tool: the host's programs read-only, and of the root only these,
// each at its usual path. Fails with ERROR_ACCESS_DENIED when one is not
// root's alone (run as root), and ERROR_PATH_NOT_FOUND when a writable one
// is missing.
struct LentPath {
  std::string relative;  // below the root, and where the program sees it
  bool writable;
  bool optional;         // missing: an empty directory in its place
};
DWORD CheckLentPaths(const RootDirectory& root, const std::vector<LentPath>& lent);
DWORD PlanHostToolSandbox(const RootDirectory& root, std::shared_ptr<const SandboxSession> session,
                          const std::vector<LentPath>& lent, const std::string& empty_dir,
                          Sandbox* sandbox);

// Whether bubblewrap is there to run one.
bool SandboxAvailable();

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_REFRESH_SANDBOX_H_
