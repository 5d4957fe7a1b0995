// What another root's programs may take of the machine: processes, memory,
// and the size of what they write. A fork bomb or a runaway allocation in
// an image's refresh must end with its sandbox, and the host keep its PIDs
// and its services.
//
// The kernel counts RLIMIT_NPROC per user and never for uid 0: it bounds the
// default sandbox, whose programs are a block of host ids of their own, with
// RLIMIT_FSIZE. Memory is bounded in both modes by a memory cgroup, and the
// fallback's processes, the host's uid 0, by a pids cgroup, each made below
// this process's own (cgroup v1: each controller's hierarchy; v2: the unified
// one, where the controller is delegated to this process's cgroup). Moving a
// process into a cgroup waits for an RCU grace period (some milliseconds),
// so the tool joins them once a command, rather than each program's child,
// and every program it starts is born in them; it leaves them before it
// removes them. Never RLIMIT_AS: the JVM of Debian's Java hook reserves a
// large share of memory at its start. Without a cgroup (a pod's read-only
// cgroup file system, v2 without delegation) the sandbox goes on unbounded
// there, and says so.
#ifndef TKVCERT_PLATFORM_POSIX_SANDBOX_LIMITS_H_
#define TKVCERT_PLATFORM_POSIX_SANDBOX_LIMITS_H_

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/base/unique_fd.h"

namespace tkv {

// Processes and threads: a refresh runs a few, Java's hook a few dozen
// threads on a large machine.
constexpr rlim_t kSandboxProcesses = 1024;
// A bundle is a few hundred KiB, a keystore less.
constexpr rlim_t kSandboxFileSize = rlim_t{1} << 30;
// The JVM of Debian's Java hook uses about 200 MiB; the host keeps at least
// half its memory.
constexpr uint64_t kSandboxMemoryCeiling = uint64_t{2} << 30;

// The memory bound on a machine of `machine_memory` bytes: the lower of the
// ceiling and half of it.
uint64_t SandboxMemoryBound(uint64_t machine_memory);

// The limits to set on a cgroup made below `cgroup_dir` (a cgroup v2
// directory), file and value, for the controllers delegated there: memory
// at `memory`, and processes when `processes` is asked for.
std::vector<std::pair<std::string, std::string>> DelegatedLimits(int cgroup_dir, bool processes, uint64_t memory);

class SandboxLimits {
 public:
  SandboxLimits() = default;
  SandboxLimits(const SandboxLimits&) = delete;
  SandboxLimits& operator=(const SandboxLimits&) = delete;
  // Leaves the cgroups and removes them, once the last process in them is
  // gone.
  ~SandboxLimits() { Leave(); }
  // The same, at the command's end: "" or what could not be removed (a
  // later run's sweep removes it), to be said.
  std::string Leave();

  // Makes the cgroups of one command's sandboxes, memory always and pids
  // when `processes` is asked for, and moves this process into them. What
  // could not be made is said in `why` (empty when all were); the sandbox
  // goes on without it.
  void MakeCgroups(bool processes, std::string* why);

  bool bounds_processes() const { return processes_; }
  bool bounds_memory() const { return memory_; }

 private:
  struct Cgroup {
    UniqueFd parent;
    std::string name;
  };
  bool Make(const std::string& parent_path, const std::vector<std::pair<std::string, std::string>>& limits,
            std::string* why);

  std::vector<Cgroup> cgroups_;
  bool processes_ = false;
  bool memory_ = false;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SANDBOX_LIMITS_H_
