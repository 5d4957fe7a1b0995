// Who could have changed what the tool is about to trust: the one rule, in
// one place.
//
// The tool runs as root and decides what the machine trusts, so what it
// reads, writes into or runs to decide it must be what root alone could
// have put there. A file or directory is root's alone when root owns it and
// neither its group nor anyone else may write it; and since whoever may
// write a directory may rename what is in it, so must be every directory on
// the way to it. A directory above an image root may instead be sticky, as
// /tmp is: others may add names there, but not rename or remove root's.
//
// Where the rule applies (run as root, on a root other than the host's
// own) is the RootDirectory's to say; how it is checked is said here only.
#ifndef TKVCERT_PLATFORM_POSIX_OWNERSHIP_H_
#define TKVCERT_PLATFORM_POSIX_OWNERSHIP_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Whether `st` is `owner`'s alone: `owner`'s, and writable by no group and
// no one else.
bool OwnedAlone(const struct stat& st, uid_t owner);

// "mode 0755": the permission bits as an admin reads them.
std::string ModeText(const struct stat& st);

// Why `st` is not `owner`'s alone, for the admin ("owned by uid 1000",
// "writable by anyone (mode 0777)"); "" when it is.
std::string WhyNotOwnedAlone(const struct stat& st, uid_t owner);

// Whether a directory on the way to a root keeps the names root put in it:
// root's, and either root's alone or sticky.
bool KeepsRootsNames(const struct stat& st);

// ERROR_SUCCESS when what `fd` refers to is root's alone,
// ERROR_ACCESS_DENIED when it is not (with `why` set, when given), the code
// of fstat's failure otherwise.
DWORD CheckRootsAlone(int fd, std::string* why = nullptr);

// The same for the directory `dir_fd` and every one above it, walked up by
// "..", to `top_fd` included; ERROR_ACCESS_DENIED as well when `top_fd` is
// not above it.
DWORD CheckRootsAloneUpTo(int dir_fd, int top_fd);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_OWNERSHIP_H_
