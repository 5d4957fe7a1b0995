#include "platform/posix/change/hook_announcements.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/sandbox/refresh_command.h"

namespace tkv {

std::vector<std::string> ListHooks(const RootDirectory& root, const std::string& hooks_dir) {
  std::vector<std::string> hooks;
  const UniqueFd dir = root.OpenBelow(hooks_dir, O_RDONLY | O_DIRECTORY);
  if (!dir) return hooks;
  ForEachEntry(dir.get(), [&](const dirent& entry) {
    const std::string name = entry.d_name;
    if (name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") !=
        std::string::npos) {
      return true;
    }
    const UniqueFd hook = root.OpenBelow(hooks_dir + "/" + name, O_PATH);
    struct stat st;
    if (hook && fstat(hook.get(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
      hooks.push_back(hooks_dir + "/" + name);
    }
    return true;
  });
  std::sort(hooks.begin(), hooks.end());
  return hooks;
}

void AnnounceRemovals(Command& command, const StoreLocation& location, const RefreshCommand& refresh, int lock_fd,
                      const std::vector<std::string>& gone) {
  const StoreLayout& layout = *location.layout;
  if (gone.empty() || layout.hooks_dir == nullptr) return;
  if (!location.root->is_host() && !location.refresh_inside_root) return;
  const std::string certs = "/" + BundleDirectoryOf(layout) + "/";
  std::string lines;
  for (const std::string& name : gone) lines += "-" + certs + name + "\n";
  for (const std::string& relative : ListHooks(*location.root, layout.hooks_dir)) {
    const std::string hook = "/" + relative;
    const RefreshOutcome outcome =
        RunRefreshCommand({hook}, refresh.sandbox, lock_fd, command.clock().TimeLeft(TimeUse::kChange), lines);
    PassOnOutput(command, hook, outcome);
    if (outcome.code == ERROR_TIMEOUT) {
      command.Warn("E: " + hook + " ran past its time limit and was stopped.");
    } else if (outcome.code != ERROR_SUCCESS) {
      const std::string line = "E: " + hook + " exited with code " + std::to_string(outcome.exit_status) + ".";
      if (command.FirstTime(line)) command.Warn(line);
    }
  }
}

}  // namespace tkv
