#include "platform/posix/base/ownership.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/base/last_error.h"
#include "platform/posix/base/unique_fd.h"

namespace tkv {

bool OwnedAlone(const struct stat& st, uid_t owner) {
  return st.st_uid == owner && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string ModeText(const struct stat& st) {
  char mode[16];
  snprintf(mode, sizeof mode, "mode %04o", static_cast<unsigned>(st.st_mode & 07777));
  return mode;
}

std::string WhyNotOwnedAlone(const struct stat& st, uid_t owner) {
  const std::string mode = ModeText(st);
  if (st.st_uid != owner) return "owned by uid " + std::to_string(st.st_uid) + " (" + mode + ")";
  if ((st.st_mode & S_IWOTH) != 0) return "writable by anyone (" + mode + ")";
  if ((st.st_mode & S_IWGRP) != 0) {
    return "writable by group " + std::to_string(st.st_gid) + " (" + mode + ")";
  }
  return "";
}

bool KeepsRootsNames(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == 0 &&
         (OwnedAlone(st, 0) || (st.st_mode & S_ISVTX) != 0);
}

DWORD CheckRootsAlone(int fd, std::string* why) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ErrorFromErrno(errno);
  if (OwnedAlone(st, 0)) return ERROR_SUCCESS;
  if (why != nullptr) *why = WhyNotOwnedAlone(st, 0);
  return ERROR_ACCESS_DENIED;
}

DWORD CheckRootsAloneUpTo(int dir_fd, int top_fd) {
  struct stat top;
  if (fstat(top_fd, &top) != 0) return ErrorFromErrno(errno);
  UniqueFd current(fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  // Deeper than any real tree: a loop of mounts cannot keep it going.
  for (int depth = 0; current && depth < 256; ++depth) {
    struct stat st;
    if (fstat(current.get(), &st) != 0) return ErrorFromErrno(errno);
    if (!OwnedAlone(st, 0)) return ERROR_ACCESS_DENIED;
    if (st.st_dev == top.st_dev && st.st_ino == top.st_ino) return ERROR_SUCCESS;
    UniqueFd parent(openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat up;
    if (!parent || fstat(parent.get(), &up) != 0) return ERROR_ACCESS_DENIED;
    if (up.st_dev == st.st_dev && up.st_ino == st.st_ino) return ERROR_ACCESS_DENIED;  // "/": above the top
    current = std::move(parent);
  }
  return ERROR_ACCESS_DENIED;
}

}  // namespace tkv
