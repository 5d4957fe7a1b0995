#include "platform/posix/sandbox/sandbox_limits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/unpredictable_name.h"
#include "platform/posix/base/root_mounts.h"

namespace tkv {
namespace {

constexpr char kPrefix[] = "tkvcert-";

// This process's cgroup in the hierarchy of `controller`, from
// /proc/self/cgroup ("4:memory:/system.slice/x.service"); "" names v2's.
bool OwnCgroup(const std::string& controller, std::string* path) {
  std::ifstream lines("/proc/self/cgroup");
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(':');
    const size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string listed = line.substr(first + 1, second - first - 1);
    const bool match = controller.empty() ? line.compare(0, first, "0") == 0 && listed.empty()
                                          : ("," + listed + ",").find("," + controller + ",") != std::string::npos;
    if (!match) continue;
    *path = line.substr(second + 1);
    return !path->empty() && (*path)[0] == '/';
  }
  return false;
}

bool WriteAt(int dir_fd, const char* name, const std::string& text) {
  const UniqueFd fd(openat(dir_fd, name, O_WRONLY | O_CLOEXEC));
  return fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Where this process's cgroup of `controller` ("" for cgroup v2's) is in
// this mount namespace: under the mount of its hierarchy that shows it (a
// container's shows only its own part).
bool OwnCgroupDirectory(const std::vector<MountInfo>& mounts, const std::string& controller, std::string* dir,
                        std::string* why) {
  std::string own;
  if (!OwnCgroup(controller, &own)) {
    *why = controller.empty() ? "no cgroup v2" : "no " + controller + " controller";
    return false;
  }
  for (const MountInfo& mount : mounts) {
    const bool hierarchy = controller.empty()
                               ? mount.type == "cgroup2"
                               : mount.type == "cgroup" &&
                                     ("," + mount.options + ",").find("," + controller + ",") != std::string::npos;
    const std::string shown = mount.root == "/" ? "" : mount.root;
    if (!hierarchy || (own != mount.root && own.compare(0, shown.size() + 1, shown + "/") != 0)) continue;
    *dir = mount.mount_point + (own == mount.root ? "" : own.substr(shown.size()));
    return true;
  }
  *why = "its " + (controller.empty() ? std::string("cgroup") : controller + " cgroup") + " (" + own +
         ") is not mounted here";
  return false;
}

uint64_t MachineMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) : 0;
}

// What a run killed before it could remove its cgroups left: those of
// processes that are gone, and empty.
void RemoveStale(int parent_fd) {
  const UniqueFd listing(openat(parent_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) return;
  for (const std::string& name : EntryNames(listing.get())) {
    if (name.compare(0, sizeof kPrefix - 1, kPrefix) != 0) continue;
    const std::string pid = name.substr(sizeof kPrefix - 1, name.find('-', sizeof kPrefix - 1) - (sizeof kPrefix - 1));
    if (pid.empty() || access(("/proc/" + pid).c_str(), F_OK) == 0) continue;
    unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
  }
}

}  // namespace

uint64_t SandboxMemoryBound(uint64_t machine_memory) {
  return machine_memory == 0 ? kSandboxMemoryCeiling : std::min(kSandboxMemoryCeiling, machine_memory / 2);
}

std::vector<std::pair<std::string, std::string>> DelegatedLimits(int cgroup_dir, bool processes, uint64_t memory) {
  std::string text;
  const UniqueFd control(openat(cgroup_dir, "cgroup.subtree_control", O_RDONLY | O_CLOEXEC));
  char buffer[512];
  for (ssize_t n; control && (n = read(control.get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  std::istringstream words(text);
  std::vector<std::pair<std::string, std::string>> limits;
  for (std::string word; words >> word;) {
    if (word == "memory") limits.emplace_back("memory.max", std::to_string(memory));
    if (word == "pids" && processes) limits.emplace_back("pids.max", std::to_string(kSandboxProcesses));
  }
  return limits;
}

std::string SandboxLimits::Leave() {
  std::string failed;
  for (auto cgroup = cgroups_.rbegin(); cgroup != cgroups_.rend(); ++cgroup) {
    // Back into the cgroup it came from: one with a process in it stays.
    WriteAt(cgroup->parent.get(), "cgroup.procs", "0");
    // The processes of a sandbox are gone once its first one is reaped;
    // the kernel may take a moment to let the cgroup go.
    int removed = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
      removed = unlinkat(cgroup->parent.get(), cgroup->name.c_str(), AT_REMOVEDIR);
      if (removed == 0 || errno != EBUSY) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (removed != 0) failed += (failed.empty() ? "" : ", ") + cgroup->name + " (" + strerror(errno) + ")";
  }
  cgroups_.clear();
  return failed;
}

bool SandboxLimits::Make(const std::string& parent_path,
                         const std::vector<std::pair<std::string, std::string>>& limits, std::string* why) {
  Cgroup cgroup;
  cgroup.parent.reset(open(parent_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!cgroup.parent) {
    *why = parent_path + ": " + strerror(errno);
    return false;
  }
  RemoveStale(cgroup.parent.get());
  // Named by its process, for the sweep above, and made unique within it.
  cgroup.name = kPrefix + std::to_string(getpid()) + "-" + UnpredictableHex();
  if (mkdirat(cgroup.parent.get(), cgroup.name.c_str(), 0700) != 0) {
    *why = "cannot make a cgroup in " + parent_path + ": " + strerror(errno);
    return false;
  }
  const UniqueFd dir(openat(cgroup.parent.get(), cgroup.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  bool set = static_cast<bool>(dir);
  for (const auto& [file, value] : limits) set = set && WriteAt(dir.get(), file.c_str(), value);
  if (!set || !WriteAt(dir.get(), "cgroup.procs", "0")) {
    *why = std::string(set ? "cannot join" : "cannot set the limits of") + " a cgroup in " + parent_path + ": " +
           strerror(errno);
    unlinkat(cgroup.parent.get(), cgroup.name.c_str(), AT_REMOVEDIR);
    return false;
  }
  cgroups_.push_back(std::move(cgroup));
  return true;
}

void SandboxLimits::MakeCgroups(bool processes, std::string* why) {
  const uint64_t memory = SandboxMemoryBound(MachineMemory());
  const std::vector<MountInfo> mounts = ReadMountInfo();
  std::string pids_why;
  std::string memory_why;
  std::string pids_dir;
  std::string memory_dir;
  const bool v1_pids = processes && OwnCgroupDirectory(mounts, "pids", &pids_dir, &pids_why);
  const bool v1_memory = OwnCgroupDirectory(mounts, "memory", &memory_dir, &memory_why);
  std::string unified;
  if (!v1_pids && !v1_memory && OwnCgroupDirectory(mounts, "", &unified, &memory_why)) {
    // v2 lets a cgroup have controlled children only where the controllers
    // are delegated.
    const UniqueFd dir(open(unified.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const auto limits = DelegatedLimits(dir.get(), processes, memory);
    std::string made_why;
    if (!limits.empty() && Make(unified, limits, &made_why)) {
      for (const auto& limit : limits) {
        processes_ = processes_ || limit.first == "pids.max";
        memory_ = memory_ || limit.first == "memory.max";
      }
    }
    memory_why = memory_ ? "" : !made_why.empty() ? made_why : "memory is not delegated to " + unified;
    pids_why = processes_ ? "" : !made_why.empty() ? made_why : "pids is not delegated to " + unified;
  } else {
    if (v1_pids) processes_ = Make(pids_dir, {{"pids.max", std::to_string(kSandboxProcesses)}}, &pids_why);
    if (v1_memory) memory_ = Make(memory_dir, {{"memory.limit_in_bytes", std::to_string(memory)}}, &memory_why);
  }
  why->clear();
  if (processes && !processes_) *why = pids_why;
  if (!memory_ && memory_why != pids_why) *why += (why->empty() ? "" : "; ") + memory_why;
}

}  // namespace tkv
