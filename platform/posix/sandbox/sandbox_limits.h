// What another root's programs may take of the machine: processes, memory,
// and the size of what they write. A fork bomb or a runaway allocation in
// an image's refresh must end with its sandbox, and the host keep its PIDs.
//
// The kernel counts RLIMIT_NPROC per user and never for uid 0: it bounds the
// default sandbox, whose programs are a block of host ids of their own, with
// RLIMIT_FSIZE. The fallback, whose programs are the host's uid 0, gets a
// cgroup instead, where one can be made below this process's own: pids and
// memory (cgroup v1: each controller's hierarchy; v2: the unified one, where
// both controllers are delegated to this process's cgroup). The default
// sandbox goes without one: moving a process into a cgroup waits for an RCU
// grace period (about 8 ms a program here, more than the sandbox itself
// costs), and its processes are bounded without; its memory is left to the
// kernel's OOM killer, which takes the largest process. Never RLIMIT_AS: the
// JVM of Debian's Java hook reserves a large share of memory at its start.
#ifndef TKVCERT_PLATFORM_POSIX_SANDBOX_LIMITS_H_
#define TKVCERT_PLATFORM_POSIX_SANDBOX_LIMITS_H_

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/base/unique_fd.h"

namespace tkv {

// Processes and threads: a refresh runs a few, Java's hook a few dozen
// threads on a large machine.
constexpr rlim_t kSandboxProcesses = 1024;
// A bundle is a few hundred KiB, a keystore less.
constexpr rlim_t kSandboxFileSize = rlim_t{1} << 30;
// The JVM of Debian's Java hook uses about 200 MiB.
constexpr uint64_t kSandboxMemory = uint64_t{2} << 30;

class SandboxLimits {
 public:
  SandboxLimits() = default;
  SandboxLimits(const SandboxLimits&) = delete;
  SandboxLimits& operator=(const SandboxLimits&) = delete;
  // Removes the cgroups, once the last process in them is gone.
  ~SandboxLimits();

  // Makes the cgroups of one command's sandboxes. What could not be made is
  // said in `why` (empty when both were); the sandbox goes on without it.
  void MakeCgroups(std::string* why);

  bool bounds_processes() const { return processes_; }
  bool bounds_memory() const { return memory_; }
  // The cgroup.procs file of each, open for writing: a sandbox's child
  // joins them by writing "0" to each.
  std::vector<int> joins() const;

 private:
  struct Cgroup {
    UniqueFd parent;
    std::string name;
    UniqueFd procs;
  };
  bool Make(const std::string& parent_path, const std::vector<std::pair<std::string, std::string>>& limits,
            std::string* why);

  std::vector<Cgroup> cgroups_;
  bool processes_ = false;
  bool memory_ = false;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SANDBOX_LIMITS_H_
