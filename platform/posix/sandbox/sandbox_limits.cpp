#include "platform/posix/sandbox/sandbox_limits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

std::string ReadAt(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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

SandboxLimits::~SandboxLimits() {
  for (Cgroup& cgroup : cgroups_) {
    cgroup.procs.reset();
    // The processes of a sandbox are gone once its first one is reaped;
    // the kernel may take a moment to let the cgroup go.
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (unlinkat(cgroup.parent.get(), cgroup.name.c_str(), AT_REMOVEDIR) == 0 || errno != EBUSY) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

std::vector<int> SandboxLimits::joins() const {
  std::vector<int> fds;
  for (const Cgroup& cgroup : cgroups_) fds.push_back(cgroup.procs.get());
  return fds;
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
  if (set) cgroup.procs.reset(openat(dir.get(), "cgroup.procs", O_WRONLY | O_CLOEXEC));
  if (!set || !cgroup.procs) {
    *why = "cannot set the limits of a cgroup in " + parent_path + ": " + strerror(errno);
    unlinkat(cgroup.parent.get(), cgroup.name.c_str(), AT_REMOVEDIR);
    return false;
  }
  cgroups_.push_back(std::move(cgroup));
  return true;
}

void SandboxLimits::MakeCgroups(std::string* why) {
  const std::string processes = std::to_string(kSandboxProcesses);
  const std::string memory = std::to_string(kSandboxMemory);
  const std::vector<MountInfo> mounts = ReadMountInfo();
  std::string pids_why;
  std::string memory_why;
  std::string pids_dir;
  std::string memory_dir;
  const bool v1_pids = OwnCgroupDirectory(mounts, "pids", &pids_dir, &pids_why);
  const bool v1_memory = OwnCgroupDirectory(mounts, "memory", &memory_dir, &memory_why);
  std::string unified;
  if (!v1_pids && !v1_memory && OwnCgroupDirectory(mounts, "", &unified, &pids_why)) {
    // Untested here (this project's machines have cgroup v1 only): v2 lets
    // a cgroup have controlled children only where they are delegated.
    const std::string delegated = " " + ReadAt(unified + "/cgroup.subtree_control");
    std::vector<std::pair<std::string, std::string>> limits;
    if (delegated.find(" pids") != std::string::npos) limits.emplace_back("pids.max", processes);
    if (delegated.find(" memory") != std::string::npos) limits.emplace_back("memory.max", memory);
    memory_why.clear();
    if (limits.empty()) {
      pids_why = "neither pids nor memory is delegated to " + unified;
    } else if (Make(unified, limits, &pids_why)) {
      processes_ = limits.front().first == "pids.max";
      memory_ = limits.back().first == "memory.max";
      pids_why = processes_ ? "" : "pids is not delegated to " + unified;
      memory_why = memory_ ? "" : "memory is not delegated to " + unified;
    }
  } else {
    if (v1_pids) processes_ = Make(pids_dir, {{"pids.max", processes}}, &pids_why);
    if (v1_memory) memory_ = Make(memory_dir, {{"memory.limit_in_bytes", memory}}, &memory_why);
    if (processes_) pids_why.clear();
    if (memory_) memory_why.clear();
  }
  why->clear();
  for (const std::string& part : {pids_why, memory_why}) {
    if (!part.empty()) *why += (why->empty() ? "" : "; ") + part;
  }
}

}  // namespace tkv
