#include "platform/posix/sandbox_limits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/posix/directory_entries.h"

namespace tkv {
namespace {

constexpr long kCgroupV1Magic = 0x27e0eb;
constexpr long kCgroupV2Magic = 0x63677270;
constexpr char kCgroupTop[] = "/sys/fs/cgroup";
constexpr char kPrefix[] = "tkvcert-";

long FileSystemType(const std::string& path) {
  struct statfs st;
  return statfs(path.c_str(), &st) == 0 ? static_cast<long>(st.f_type) : 0;
}

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
  static int made = 0;
  Cgroup cgroup;
  cgroup.parent.reset(open(parent_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!cgroup.parent) {
    *why = parent_path + ": " + strerror(errno);
    return false;
  }
  RemoveStale(cgroup.parent.get());
  cgroup.name = kPrefix + std::to_string(getpid()) + "-" + std::to_string(++made);
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
  std::string own;
  std::string pids_why = "no pids controller";
  std::string memory_why = "no memory controller";
  if (FileSystemType(kCgroupTop) == kCgroupV2Magic) {
    // Untested here (this project's machines have cgroup v1 only): v2 lets
    // a cgroup have controlled children only where they are delegated.
    if (OwnCgroup("", &own)) {
      const std::string delegated = " " + ReadAt(kCgroupTop + own + "/cgroup.subtree_control");
      std::vector<std::pair<std::string, std::string>> limits;
      if (delegated.find(" pids") != std::string::npos) limits.emplace_back("pids.max", processes);
      if (delegated.find(" memory") != std::string::npos) limits.emplace_back("memory.max", memory);
      if (limits.empty()) {
        pids_why = "neither pids nor memory is delegated to " + own;
        memory_why.clear();
      } else if (Make(kCgroupTop + own, limits, &pids_why)) {
        processes_ = limits.front().first == "pids.max";
        memory_ = limits.back().first == "memory.max";
        if (processes_) pids_why.clear();
        if (memory_) memory_why.clear();
      }
    }
  } else {
    const std::string pids_top = std::string(kCgroupTop) + "/pids";
    const std::string memory_top = std::string(kCgroupTop) + "/memory";
    if (FileSystemType(pids_top) == kCgroupV1Magic && OwnCgroup("pids", &own)) {
      processes_ = Make(pids_top + own, {{"pids.max", processes}}, &pids_why);
      if (processes_) pids_why.clear();
    }
    if (FileSystemType(memory_top) == kCgroupV1Magic && OwnCgroup("memory", &own)) {
      memory_ = Make(memory_top + own, {{"memory.limit_in_bytes", memory}}, &memory_why);
      if (memory_) memory_why.clear();
    }
  }
  why->clear();
  for (const std::string& part : {pids_why, memory_why}) {
    if (!part.empty()) *why += (why->empty() ? "" : "; ") + part;
  }
}

}  // namespace tkv
