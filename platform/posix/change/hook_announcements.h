// The hooks of a family's refresh (Debian's update.d): which there are, and
// telling them of anchors the refresh removed without a word.
#ifndef TKVCERT_PLATFORM_POSIX_HOOK_ANNOUNCEMENTS_H_
#define TKVCERT_PLATFORM_POSIX_HOOK_ANNOUNCEMENTS_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/command.h"
#include "platform/posix/sandbox/store_refresh.h"

namespace tkv {

// The programs in `hooks_dir` below the root, as run-parts picks them:
// executable files named with letters, digits, '_' and '-', in byte order,
// each as the root names it ("etc/.../name", no leading slash).
std::vector<std::string> ListHooks(const RootDirectory& root, const std::string& hooks_dir);

// Debian's refresh tells its hooks of the anchors it adds, and of those
// deselected in its configuration, but not of one that is simply gone: this
// tells them, with the lines its removal step would send ("-<link>" for each
// of `gone`, links in the bundle's directory), where and how the refresh ran
// them. A bare root's hooks are the image's programs, which the host never
// runs. A hook that fails or runs out of time is said on standard error.
void AnnounceRemovals(Command& command, const StoreLocation& location, const RefreshCommand& refresh, int lock_fd,
                      const std::vector<std::string>& gone);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_HOOK_ANNOUNCEMENTS_H_
