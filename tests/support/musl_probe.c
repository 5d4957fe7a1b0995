/* The tool's calls and headers that a C library may lack, built against
 * another one (musl, with musl-gcc): the new mount API, statx, memfd,
 * getrandom, close_range, openat2's resolve flags. Built, not run: linking
 * is the check. The C++ build itself cannot be tried with musl here. */
#define _GNU_SOURCE
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/wait.h>

#include "platform/posix/base/kernel_api.h"

int main(void) {
  struct mount_attr attr = {0};
  attr.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_RDONLY | MOUNT_ATTR_IDMAP;
  long tree = syscall(SYS_open_tree, AT_FDCWD, "/", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH);
  syscall(SYS_mount_setattr, (int)tree, "", AT_EMPTY_PATH, &attr, sizeof attr);
  syscall(SYS_move_mount, (int)tree, "", AT_FDCWD, "/mnt", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH);
  struct statx st;
  tkv_statx(AT_FDCWD, "/", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &st);
  unsigned char random[8];
  getrandom(random, sizeof random, 0);
  int memfd = memfd_create("probe", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  syscall(SYS_close_range, 3, ~0U, 0);
  struct open_how how = {.flags = O_PATH, .resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH};
  syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how);
  waitpid(-1, NULL, __WALL);
  return (int)(st.stx_mnt_id + (uint64_t)memfd + random[0] + AUDIT_ARCH_X86_64 + SECCOMP_RET_ERRNO +
               BPF_JMP + PR_SET_NO_NEW_PRIVS + PER_LINUX + CLONE_NEWUSER) & 1;
}
