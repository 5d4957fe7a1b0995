// The directory that stands for "/": the machine's own, or an image's.
//
// Every path below it is resolved as that root would see it: an absolute
// link inside an image points into the image, and ".." stops at its top, so
// nothing an image holds can lead a read or a write onto the host.
#ifndef TKVCERT_PLATFORM_POSIX_ROOT_DIRECTORY_H_
#define TKVCERT_PLATFORM_POSIX_ROOT_DIRECTORY_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

class RootDirectory {
 public:
  // `path` is absolute. Run as root, an image root that another user could
  // have arranged (its path, or a directory of its own that another user
  // owns or can write) is refused with ERROR_ACCESS_DENIED: its links and
  // files could point a root-run change wherever that user likes.
  static DWORD Open(const std::string& path, std::shared_ptr<const RootDirectory>* out);

  // "/" or the root's absolute, link-free path without a trailing slash.
  const std::string& path() const { return path_; }
  bool is_host() const { return path_ == "/"; }
  int fd() const { return fd_.get(); }

  // The host path of `relative` (no leading slash).
  std::string HostPath(const std::string& relative) const;

  // Opens `relative` below the root with every link resolved inside it.
  // Returns -1 with errno set on failure.
  UniqueFd OpenBelow(const std::string& relative, int flags, mode_t mode = 0) const;
  // The same, refusing any link on the way (ELOOP): for paths handed by
  // name to a program that resolves them on the host.
  UniqueFd OpenBelowWithoutLinks(const std::string& relative, int flags) const;

  // Run as root in an image root: ERROR_ACCESS_DENIED unless every directory
  // on `relative` (as the root resolves it) is root's and no one else's to
  // write. ERROR_SUCCESS for a path that does not exist, and always on the
  // host, whose own directories are its admin's business.
  DWORD CheckDirectoriesTrusted(const std::string& relative) const;

 private:
  std::string path_;
  UniqueFd fd_;
};

// Opens `relative` below `dir_fd` without passing through any link or
// leaving it; -1 with errno ELOOP or EXDEV when a link is on the way.
UniqueFd OpenBeneathWithoutLinks(int dir_fd, const std::string& relative, int flags);

// Whether a directory's status shows it as root's alone (or, for a directory
// above the root, one where others may add names but not take root's away).
bool OwnedByRootAlone(const struct stat& st);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ROOT_DIRECTORY_H_
