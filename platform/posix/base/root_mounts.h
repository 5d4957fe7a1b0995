// The file systems a root spans, as a sandbox shows them and as the tool's
// own writes may reach them.
//
// A root is often more than one mount: a node's /usr on a disk of its own,
// everything under a container's /host, a host directory or a /sys that an
// admin bound into a chroot. A sandbox gets each mount that holds what its
// refresh needs as a clone of its own, never a recursive bind, so that what
// is bound below a root elsewhere (a home, a cache) is never shown, and the
// kernel's interfaces (/sys, /proc and the like) never are.
#ifndef TKVCERT_PLATFORM_POSIX_ROOT_MOUNTS_H_
#define TKVCERT_PLATFORM_POSIX_ROOT_MOUNTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// One line of /proc/self/mountinfo, what the store needs of it.
struct MountInfo {
  uint64_t id = 0;
  std::string root;         // what of its file system it shows ("/" for all of it)
  std::string mount_point;  // as this process sees it, escapes decoded
  std::string type;         // "ext4", "proc", "fuse.sshfs"...
  std::string options;      // the file system's own ("rw,pids" for a cgroup hierarchy)
};

// The lines of a mountinfo text that parse, in order.
std::vector<MountInfo> ParseMountInfo(const std::string& text);

// This process's mounts, from /proc/self/mountinfo; empty when unreadable.
std::vector<MountInfo> ReadMountInfo();

// The kernel's interfaces and memory-backed file systems: never shown to a
// sandbox, never written by the tool in another root.
bool IsPseudoFileSystem(const std::string& type);

// A mount of a root's.
struct RootMount {
  uint64_t id = 0;
  std::string below_root;  // its mount point, relative to the root; "" for the root's own
  std::string type;
};

// Of `mounts`, those below `root_path` (absolute, no trailing slash but for
// "/") that a sandbox may show, parents before children: not pseudo
// file systems, nothing at or below the root's proc, sys, dev, run or tmp
// (a sandbox makes its own), nothing below a mount left out. Mounts hidden
// under others are not told apart here (see ListRootMounts).
std::vector<RootMount> MountsBelow(const std::vector<MountInfo>& mounts, const std::string& root_path);

// Whether a mount at `mount.below_root` is at `relative` or above it: a
// mount that holds that path of the root's layout.
bool MountHolds(const RootMount& mount, const std::string& relative);

// Of a root's `mounts`, those its sandbox shows: the root's own, and each
// that holds one of `needed` (the directories the refresh or its hooks
// write, and those the family reads: usr, etc, the set, the anchors) or
// lies below one. A home, a source tree or a cache bound into a chroot is
// left out; its mount point shows what lies under it, mostly nothing.
std::vector<RootMount> NeededMounts(const std::vector<RootMount>& mounts, const std::vector<std::string>& needed);

// The mount `fd` is on, as mountinfo numbers it; 0 when the kernel cannot
// tell (before Linux 5.8).
uint64_t MountIdOf(int fd);

// The root's own mount first (`root_fd` is its top, found by the path the
// kernel gives it), then the mounts below it that a sandbox may
// show, each checked to be the one reached at its place (a mount hidden
// under another is left out). ERROR_NOT_SUPPORTED with `why` set when they
// cannot be known, are too many, or the root's own mount is a pseudo file
// system.
DWORD ListRootMounts(int root_fd, std::vector<RootMount>* mounts, std::string* why);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ROOT_MOUNTS_H_
