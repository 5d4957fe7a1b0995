// A family's refresh as the store runs it: its command line, and for
// another root the sandbox it runs in, planned before any change and made
// once a change is decided.
#ifndef TKVCERT_PLATFORM_POSIX_SANDBOX_STORE_REFRESH_H_
#define TKVCERT_PLATFORM_POSIX_SANDBOX_STORE_REFRESH_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/command.h"
#include "platform/posix/sandbox/sandbox.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// How to run a refresh: the command line as the refresh sees it, and the
// sandbox it runs in (none: on this machine, for the host's own store).
// One a command: its sandbox is chosen once.
struct RefreshCommand {
  bool planned = false;
  std::vector<std::string> argv;
  Sandbox sandbox;
  bool sandbox_pending = false;  // needed, and not made yet
  DWORD sandbox_refused = ERROR_SUCCESS;  // why none could be made, said once
};

// The refresh for the located store, and everything that can be known of
// its sandbox without making one: the refusals a change would meet before
// its first write. ERROR_PRIVILEGE_NOT_HELD when it must run for another
// root and this is not the superuser, who alone can make its sandbox;
// ERROR_NOT_SUPPORTED when there is no sandbox program to run it in, when
// TKVCERT_SANDBOX holds no known value, or the root's file systems cannot
// be shown to one soundly; for a bare root served by the host's tool,
// ERROR_PATH_NOT_FOUND when a directory it writes is missing and
// ERROR_ACCESS_DENIED when one it is shown is not root's alone. Said
// through `command` where a code cannot say it all. Planned once.
DWORD PlanRefresh(const Command& command, const StoreLocation& location, RefreshCommand* refresh);

// The refresh's sandbox, made once a change is decided and before its
// first write: a command with nothing to change runs no program and makes
// none. ERROR_NOT_SUPPORTED when none can be made here (said).
DWORD PrepareSandbox(const Command& command, const StoreLocation& location, RefreshCommand* refresh);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_SANDBOX_STORE_REFRESH_H_
