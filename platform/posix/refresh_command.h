// Running the distribution's bundle refresh after a change to the anchors.
#ifndef TKVCERT_PLATFORM_POSIX_REFRESH_COMMAND_H_
#define TKVCERT_PLATFORM_POSIX_REFRESH_COMMAND_H_

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Runs argv (argv[0] an absolute path; inside `chroot_dir` when that is not
// empty, with working directory "/") with a fixed environment (a system
// PATH, LC_ALL=C, nothing of the caller's) and no input, and waits for it. The
// refresh inherits `lock_fd`, so the store stays locked while it runs even
// if the tool is killed. Its output is discarded when it succeeds; when it
// fails, its standard error is passed to ours so that an admin sees why,
// and the result is ERROR_FUNCTION_FAILED.
DWORD RunRefreshCommand(const std::vector<std::string>& argv, const std::string& chroot_dir,
                        int lock_fd);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_REFRESH_COMMAND_H_
