// The host's Debian refresh, run over a bare root, resolves every path it
// meets on the host: what in the root could lead it out.
#ifndef TKVCERT_PLATFORM_POSIX_BARE_ROOT_CHECK_H_
#define TKVCERT_PLATFORM_POSIX_BARE_ROOT_CHECK_H_

#include <string>

#include "platform/posix/root_directory.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// ERROR_BAD_PATHNAME when the root holds something that would take the
// host's refresh outside it: a link in etc/ssl/certs to a directory (its
// "ln -sf" and "mv -f" would write into that directory), a configuration
// line that climbs out with ".." or names an absolute path, or a link below
// the anchors or the certificates directory that leads out of the root.
DWORD CheckHostToolStaysInRoot(const RootDirectory& root, const std::string& anchors_dir);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BARE_ROOT_CHECK_H_
