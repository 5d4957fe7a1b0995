#include "platform/posix/base/root_mounts.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "platform/posix/base/kernel_api.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/unique_fd.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

namespace tkv {
namespace {

// More than a node with every pod's volumes mounted below its root has; a
// sandbox clones each one for every program it runs.
constexpr size_t kMaxShownMounts = 1000;

// mountinfo is a few KiB on a desktop and some hundred KiB on a busy node.
constexpr size_t kMaxMountInfoSize = 16 << 20;

// Where a sandbox mounts its own: the root's are never shown in their place.
const char* const kSandboxsOwn[] = {"proc", "sys", "dev", "run", "tmp"};

// "\040" for a space, and so on, as the kernel escapes a mount point.
std::string Unescaped(const std::string& field) {
  std::string text;
  for (size_t at = 0; at < field.size(); ++at) {
    const bool octal = field[at] == '\\' && at + 3 < field.size() &&
                       field.find_first_not_of("01234567", at + 1) >= at + 4;
    if (octal) {
      text.push_back(static_cast<char>(std::stoi(field.substr(at + 1, 3), nullptr, 8)));
      at += 3;
    } else {
      text.push_back(field[at]);
    }
  }
  return text;
}

size_t Depth(const std::string& below_root) {
  return below_root.empty() ? 0 : 1 + static_cast<size_t>(std::count(below_root.begin(), below_root.end(), '/'));
}

bool IsBelow(const std::string& path, const std::string& top) {
  return path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == '/';
}

bool IsSandboxsOwn(const std::string& below_root) {
  const std::string first = below_root.substr(0, below_root.find('/'));
  return std::find(std::begin(kSandboxsOwn), std::end(kSandboxsOwn), first) != std::end(kSandboxsOwn);
}

// `relative` below `root_fd` as the kernel finds it there, through no link.
UniqueFd OpenPlace(int root_fd, const std::string& relative) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return UniqueFd(static_cast<int>(syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof how)));
}

// The path the kernel gives an open directory.
std::string PathOf(int fd) {
  char path[4096];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return n <= 0 || n == sizeof path ? "" : std::string(path, static_cast<size_t>(n));
}

}  // namespace

std::vector<MountInfo> ParseMountInfo(const std::string& text) {
  std::vector<MountInfo> mounts;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue"
    std::istringstream fields(line);
    MountInfo mount;
    std::string parent, device, root, mount_point, field, source;
    if (!(fields >> mount.id >> parent >> device >> root >> mount_point)) continue;
    while (fields >> field && field != "-") {
    }
    if (field != "-" || !(fields >> mount.type >> source)) continue;
    fields >> mount.options;
    mount.root = Unescaped(root);
    mount.mount_point = Unescaped(mount_point);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::vector<MountInfo> ReadMountInfo() {
  const UniqueFd info(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  std::vector<BYTE> text;
  if (!info || ReadOpenedFile(info.get(), kMaxMountInfoSize, &text) != ERROR_SUCCESS) return {};
  return ParseMountInfo(std::string(text.begin(), text.end()));
}

bool IsPseudoFileSystem(const std::string& type) {
  static const char* const kPseudo[] = {
      "proc",     "sysfs",      "devtmpfs", "devpts",    "cgroup",  "cgroup2",   "securityfs",
      "debugfs",  "tracefs",    "bpf",      "configfs",  "pstore",  "mqueue",    "hugetlbfs",
      "fusectl",  "binfmt_misc", "efivarfs", "autofs",   "rpc_pipefs", "nsfs",   "selinuxfs",
      "tmpfs",    "ramfs",      "nfsd",     "fuse"};
  // A file system in user space is its user's program, whatever it says it holds.
  if (type.compare(0, 5, "fuse.") == 0) return true;
  return std::find_if(std::begin(kPseudo), std::end(kPseudo),
                      [&type](const char* pseudo) { return type == pseudo; }) != std::end(kPseudo);
}

std::vector<RootMount> MountsBelow(const std::vector<MountInfo>& mounts, const std::string& root_path) {
  const std::string prefix = root_path == "/" ? "/" : root_path + "/";
  std::vector<RootMount> below;
  for (const MountInfo& mount : mounts) {
    if (mount.mount_point.size() <= prefix.size() || mount.mount_point.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    below.push_back({mount.id, mount.mount_point.substr(prefix.size()), mount.type});
  }
  // Parents first; at one place, the mount made last is the one seen there.
  std::stable_sort(below.begin(), below.end(), [](const RootMount& a, const RootMount& b) {
    return Depth(a.below_root) < Depth(b.below_root);
  });
  std::map<std::string, bool> shown_at;  // each place: whether what is seen there is shown
  std::vector<RootMount> shown;
  for (const RootMount& mount : below) {
    bool left_out_above = false;
    for (const auto& [place, is_shown] : shown_at) {
      if (!is_shown && IsBelow(mount.below_root, place)) left_out_above = true;
    }
    const bool show = !left_out_above && !IsPseudoFileSystem(mount.type) && !IsSandboxsOwn(mount.below_root);
    shown_at[mount.below_root] = show;
    if (show) shown.push_back(mount);
  }
  return shown;
}

bool MountHolds(const RootMount& mount, const std::string& relative) {
  return mount.below_root.empty() || relative == mount.below_root || IsBelow(relative, mount.below_root);
}

std::vector<RootMount> NeededMounts(const std::vector<RootMount>& mounts, const std::vector<std::string>& needed) {
  std::vector<RootMount> shown;
  for (const RootMount& mount : mounts) {
    const bool holds_or_within = std::any_of(needed.begin(), needed.end(), [&mount](const std::string& dir) {
      return MountHolds(mount, dir) || IsBelow(mount.below_root, dir);
    });
    if (holds_or_within) shown.push_back(mount);
  }
  return shown;
}

uint64_t MountIdOf(int fd) {
  struct statx st{};
  if (tkv_statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &st) != 0) return 0;
  return (st.stx_mask & STATX_MNT_ID) != 0 ? st.stx_mnt_id : 0;
}

DWORD ListRootMounts(int root_fd, std::vector<RootMount>* mounts, std::string* why) {
  const uint64_t own = MountIdOf(root_fd);
  if (own == 0) {
    *why = "this kernel cannot tell which mount a file is on (Linux 5.8 can)";
    return ERROR_NOT_SUPPORTED;
  }
  const std::vector<MountInfo> all = ReadMountInfo();
  if (all.empty()) {
    *why = std::string("cannot read /proc/self/mountinfo: ") + strerror(errno);
    return ERROR_NOT_SUPPORTED;
  }
  const auto own_info = std::find_if(all.begin(), all.end(), [own](const MountInfo& m) { return m.id == own; });
  if (own_info == all.end() || IsPseudoFileSystem(own_info->type)) {
    *why = own_info == all.end() ? "its mount is not in /proc/self/mountinfo"
                                 : "it is on a " + own_info->type + " file system, which holds no root";
    return ERROR_NOT_SUPPORTED;
  }
  const std::string root = PathOf(root_fd);
  if (root.empty() || root[0] != '/') {
    *why = "the kernel gives it no path";
    return ERROR_NOT_SUPPORTED;
  }
  mounts->assign(1, RootMount{own, "", own_info->type});
  for (const RootMount& mount : MountsBelow(all, root)) {
    // What a lookup at its place meets: a mount hidden under another is not.
    const UniqueFd place = OpenPlace(root_fd, mount.below_root);
    if (!place || MountIdOf(place.get()) != mount.id) continue;
    if (mounts->size() > kMaxShownMounts) {
      *why = "more than " + std::to_string(kMaxShownMounts) + " file systems are mounted below it";
      return ERROR_NOT_SUPPORTED;
    }
    mounts->push_back(mount);
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
