// The directory that stands for "/": the machine's own, or an image's.
//
// The root is looked up once, a component at a time and without following
// links, and kept as a descriptor: its path string is never resolved again.
// Every path below it is resolved as that root would see it: an absolute
// link inside an image points into the image, and ".." stops at its top, so
// nothing an image holds can lead a read or a write onto the host.
#ifndef TKVCERT_PLATFORM_POSIX_ROOT_DIRECTORY_H_
#define TKVCERT_PLATFORM_POSIX_ROOT_DIRECTORY_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/posix/base/root_mounts.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

class RootDirectory {
 public:
  // `path` names the root; a relative one is taken from the working
  // directory. A link anywhere on it is refused (ERROR_ACCESS_DENIED): it
  // could be swapped between a check and a use. Run as root, an image root
  // that another user could have arranged (a directory on its path that
  // another user owns or may rename in, or the root itself not root's
  // alone) is refused with ERROR_ACCESS_DENIED as well, and `refusal`, when
  // given, says which path and why.
  static DWORD Open(const std::string& path, std::shared_ptr<const RootDirectory>* out,
                    std::string* refusal = nullptr);

  // "/" or the root's path as it was opened: for messages only.
  const std::string& path() const { return path_; }
  bool is_host() const { return host_; }
  int fd() const { return fd_.get(); }

  // `relative` (no leading slash) as an admin would name it, for messages.
  std::string DisplayPath(const std::string& relative) const;

  // Opens `relative` below the root with every link resolved inside it.
  // Returns -1 with errno set on failure.
  UniqueFd OpenBelow(const std::string& relative, int flags, mode_t mode = 0) const;

  // Run as root in an image root: ERROR_ACCESS_DENIED unless every directory
  // that a name is looked up in on the way to `relative`, as the root
  // resolves it, and what it names, is root's and no one else's to write.
  // Links are followed inside the root, so the way to a link's target is
  // checked too: whoever may rename in a directory on it could swap in a
  // directory of her own between the check and the use. ERROR_SUCCESS for a
  // path that does not exist, and always on the host, whose own directories
  // are its admin's business.
  // On ERROR_ACCESS_DENIED, `why` (when given) names what was refused and
  // why, for a line that begins "refusing ".
  DWORD CheckTrusted(const std::string& relative, std::string* why = nullptr) const;
  // The same for what `fd` (opened below the root) is, alone.
  DWORD CheckTrusted(int fd, std::string* why = nullptr) const;
  // The file systems the root spans (see root_mounts.h), read once, at the
  // first call: ERROR_NOT_SUPPORTED, with `why` set, when they cannot be
  // known. Never called on the host's own root.
  DWORD Mounts(const std::vector<RootMount>** mounts, std::string* why) const;
  // In another root, what the tool writes never leaves the root's own file
  // systems for one that holds none of its layout: ERROR_ACCESS_DENIED,
  // with `why` saying why, unless `fd` (opened below the root, to
  // write `relative` of its layout or in it) is on the root's own mount or
  // on a mount at `relative` or above it. A link in an image cannot lead
  // the tool's writes into a host directory bound below the root, nor into
  // its /run, /tmp, /proc, /sys or /dev. ERROR_SUCCESS always on the host.
  DWORD CheckWritable(int fd, const std::string& relative, std::string* why) const;
  // Whether this run checks ownership at all: as root, in an image root.
  bool checks_ownership() const { return checks_ownership_; }

 private:
  std::string path_;
  bool host_ = true;
  bool checks_ownership_ = false;
  UniqueFd fd_;
  mutable bool mounts_read_ = false;
  mutable DWORD mounts_code_ = ERROR_SUCCESS;
  mutable std::string mounts_why_;
  mutable std::vector<RootMount> mounts_;
};

// Opens `relative` below `dir_fd` without passing through any link or
// leaving it; -1 with errno ELOOP or EXDEV when a link is on the way.
UniqueFd OpenBeneathWithoutLinks(int dir_fd, const std::string& relative, int flags);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ROOT_DIRECTORY_H_
