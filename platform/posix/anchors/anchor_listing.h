// Which files of an anchors directory a family's refresh reads, and reading
// them as the root sees them.
#ifndef TKVCERT_PLATFORM_POSIX_ANCHOR_LISTING_H_
#define TKVCERT_PLATFORM_POSIX_ANCHOR_LISTING_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The anchors directory of a located store, opened below its root.
UniqueFd OpenAnchorsDirectory(const StoreLocation& location);

// The files the family's refresh reads, as paths relative to the anchors
// directory ("sub/name.crt"), in byte order. Links are followed inside the
// root, as the refresh would follow them there; a directory is entered once
// per path, never in a loop. The store's own staging directory is skipped.
std::vector<std::string> ListAnchorFiles(const StoreLocation& location, int anchors_fd);

// Whether the family's refresh reads a regular file of this name (its last
// component) where it finds it.
bool ReadsRegularFile(AnchorSelection reads, const std::string& name);

// The same rule for any directory below a root (open as `dir_fd`).
std::vector<std::string> ListFilesBelow(const RootDirectory& root, const std::string& base,
                                        AnchorSelection reads, int dir_fd);

// Run as root in an image root: ERROR_ACCESS_DENIED unless every directory
// below `base` (open as `dir_fd`), and whatever a link there leads to, is
// root's alone, so that nothing the refresh reads can change under it; with
// `why` naming what was refused.
DWORD CheckTreeTrusted(const RootDirectory& root, const std::string& base, int dir_fd, std::string* why);

// A file the refresh reads that the tool cannot: too large for its limits
// (ERROR_FILE_TOO_LARGE) or unreadable (ERROR_ACCESS_DENIED). The refresh
// may read it all the same, and put what it holds in the bundle.
struct UnreadFile {
  std::string path;  // as a person reads it
  DWORD code;
};

// Whether a read's failure makes the file an unread one: not one that has
// gone, or that no refresh reads either.
inline bool KeepsUnread(DWORD code) { return code == ERROR_FILE_TOO_LARGE || code == ERROR_ACCESS_DENIED; }

// The anchor files that cannot be read, as UnreadFile.
std::vector<UnreadFile> UnreadAnchorFiles(const StoreLocation& location, int anchors_fd);

// Reads one listed file; an unreadable, vanished, oversized or non-regular
// one fails.
DWORD ReadAnchorFile(const StoreLocation& location, int anchors_fd, const std::string& relative,
                     std::vector<BYTE>* contents);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_LISTING_H_
