/* The kernel's newer calls as the tool makes them: the new mount API and
 * statx, through syscall(2) with the kernel's own numbers and values. Not
 * every C library declares them: glibc has the mount API's constants and
 * struct mount_attr from 2.36 on, musl has neither, nor statx before 1.2.5.
 * What the C library's headers lack is defined here, with the values of the
 * kernel's uapi headers (linux/mount.h), which are fixed ABI.
 * Plain C, so that a probe built with another C library includes it too. */
#ifndef TKVCERT_PLATFORM_POSIX_BASE_KERNEL_API_H_
#define TKVCERT_PLATFORM_POSIX_BASE_KERNEL_API_H_

#include <fcntl.h>
#include <linux/stat.h>
#include <stdint.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The same numbers on every architecture: they came after the tables were
 * unified. */
#ifndef SYS_open_tree
#define SYS_open_tree 428
#endif
#ifndef SYS_move_mount
#define SYS_move_mount 429
#endif
#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif

#ifndef OPEN_TREE_CLONE
#define OPEN_TREE_CLONE 1
#endif
#ifndef OPEN_TREE_CLOEXEC
#define OPEN_TREE_CLOEXEC O_CLOEXEC
#endif
#ifndef MOVE_MOUNT_F_EMPTY_PATH
#define MOVE_MOUNT_F_EMPTY_PATH 0x00000004
#endif
#ifndef MOVE_MOUNT_T_EMPTY_PATH
#define MOVE_MOUNT_T_EMPTY_PATH 0x00000040
#endif
#ifndef MOUNT_ATTR_RDONLY
#define MOUNT_ATTR_RDONLY 0x00000001
#endif
#ifndef MOUNT_ATTR_NOSUID
#define MOUNT_ATTR_NOSUID 0x00000002
#endif
#ifndef MOUNT_ATTR_NODEV
#define MOUNT_ATTR_NODEV 0x00000004
#endif
#ifndef MOUNT_ATTR_IDMAP
#define MOUNT_ATTR_IDMAP 0x00100000
#endif

/* Declared with its size constant wherever it is declared at all. */
#ifndef MOUNT_ATTR_SIZE_VER0
#define MOUNT_ATTR_SIZE_VER0 32
struct mount_attr {
  uint64_t attr_set;
  uint64_t attr_clr;
  uint64_t propagation;
  uint64_t userns_fd;
};
#endif

/* struct statx and STATX_* come from linux/stat.h, which glibc's own
 * sys/stat.h defers to. */
#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif
static inline int tkv_statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* st) {
  return (int)syscall(SYS_statx, dirfd, path, flags, mask, st);
}

#endif /* TKVCERT_PLATFORM_POSIX_BASE_KERNEL_API_H_ */
