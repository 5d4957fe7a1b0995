// The sandbox a program runs in when it works for another root than the
// host's: bubblewrap, with fresh mount, PID, IPC, UTS and network
// namespaces, no capabilities and no new privileges, dying with the tool.
// It is shown only what it needs, mounted from descriptors opened below the
// root, so no path string of the root is resolved again and a link, a
// configuration line or a file name that leads out of the root finds nothing.
#ifndef TKVCERT_PLATFORM_POSIX_REFRESH_SANDBOX_H_
#define TKVCERT_PLATFORM_POSIX_REFRESH_SANDBOX_H_

#include <string>
#include <vector>

#include "platform/posix/root_directory.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Never looked up in PATH: the tool runs as root.
constexpr char kSandboxProgram[] = "/usr/bin/bwrap";

// bubblewrap's options (without the program), and the descriptors it mounts:
// the i-th is handed to it as descriptor 3 + i.
struct Sandbox {
  std::vector<std::string> options;
  std::vector<UniqueFd> mounts;

  bool empty() const { return options.empty(); }
};

// A root's own programs: the root itself as "/", with a private /dev, /proc
// and /tmp where the root has those directories.
DWORD PlanImageSandbox(const RootDirectory& root, Sandbox* sandbox);

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
DWORD PlanHostToolSandbox(const RootDirectory& root, const std::vector<LentPath>& lent,
                          const std::string& empty_dir, Sandbox* sandbox);

// Whether bubblewrap is there to run one.
bool SandboxAvailable();

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_REFRESH_SANDBOX_H_
