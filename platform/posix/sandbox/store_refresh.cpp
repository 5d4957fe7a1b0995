#include "platform/posix/sandbox/store_refresh.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/sandbox/refresh_sandbox.h"

namespace tkv {
namespace {

// What the host's tool reads and writes of a bare root: the bundle's
// directory, written; the anchors, the distribution's set and the family's
// configuration (its marker), read.
std::vector<LentPath> LentToHostTool(const StoreLayout& layout) {
  std::vector<LentPath> lent = {{BundleDirectoryOf(layout), true, false},
                                {layout.anchors_dir, false, false}};
  if (layout.distribution_cas != nullptr) lent.push_back({layout.distribution_cas, false, true});
  if (layout.marker != nullptr) lent.push_back({layout.marker, false, false});
  return lent;
}

DWORD PlanOnce(const Command& command, const StoreLocation& location, RefreshCommand* refresh) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  refresh->argv = {location.refresh_path};
  if (layout.refresh_argument != nullptr) refresh->argv.push_back(layout.refresh_argument);
  if (root.is_host()) return ERROR_SUCCESS;
  if (geteuid() != 0) {
    command.Complain("only root may change the trust store of another root (TKVCERT_SYSROOT=" + root.path() +
                     "): its refresh runs in a sandbox that root alone can make; run it with sudo");
    return ERROR_PRIVILEGE_NOT_HELD;
  }
  if (!SandboxAvailable()) {
    command.Complain(std::string("another root is refreshed only in a sandbox: install bubblewrap (") +
                     kSandboxProgram + ")");
    return ERROR_NOT_SUPPORTED;
  }
  if (DWORD code = CheckSandboxSetting(command)) return code;
  if (DWORD code = CheckRootShowable(command, root, WrittenDirectories(layout))) return code;
  if (!location.refresh_inside_root) {
    if (DWORD code = CheckLentPaths(root, LentToHostTool(layout))) {
      for (const LentPath& path : LentToHostTool(layout)) {
        if (path.optional || root.OpenBelow(path.relative, O_PATH) || errno != ENOENT) continue;
        command.Complain("the refresh needs " + root.DisplayPath(path.relative) + ", which is missing: the " +
                         "family's ca-certificates package makes it; install that in the root, or make it");
        break;
      }
      return code;
    }
  }
  refresh->sandbox_pending = true;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD PlanRefresh(const Command& command, const StoreLocation& location, RefreshCommand* refresh) {
  if (refresh->planned) return ERROR_SUCCESS;
  if (DWORD code = PlanOnce(command, location, refresh)) return code;
  refresh->planned = true;
  return ERROR_SUCCESS;
}

DWORD PrepareSandbox(const Command& command, const StoreLocation& location, RefreshCommand* refresh) {
  if (!refresh->sandbox_pending) return refresh->sandbox_refused;
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  std::shared_ptr<const SandboxSession> session;
  refresh->sandbox_pending = false;
  refresh->sandbox_refused = ChooseSandbox(command, root, WrittenDirectories(layout), ReadDirectories(layout), &session);
  if (DWORD code = refresh->sandbox_refused) return code;
  if (location.refresh_inside_root) return PlanImageSandbox(root, session, &refresh->sandbox);
  // The host's tool, with its default paths: no path of the root reaches
  // it, and it runs none of the root's hooks.
  return PlanHostToolSandbox(root, session, LentToHostTool(layout),
                             layout.hooks_dir != nullptr ? layout.hooks_dir : "", &refresh->sandbox);
}

}  // namespace tkv
