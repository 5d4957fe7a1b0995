// How a run was asked to go: read from its environment once, before
// anything is opened, by the run's account at the top, and passed down.
// Nothing below the account reads the environment.
#ifndef TKVCERT_PLATFORM_POSIX_BASE_RUN_SETTINGS_H_
#define TKVCERT_PLATFORM_POSIX_BASE_RUN_SETTINGS_H_

#include <string>

namespace tkv {

// What TKVCERT_UNINSTALL_BY asks a removal to select by.
enum class SelectBy { kName, kSha1, kSha256 };

// What TKVCERT_BROWSERS asks of the browser step.
enum class BrowserSetting {
  kFollow,  // unset: the browsers follow the store
  kOff,     // "off": no browser file written, the tool's own Chromium files removed
  kKeep,    // "keep": every browser file left as it is
};

// What TKVCERT_CLIENTS asks of clients with roots of their own.
enum class ClientsSetting {
  kLook,  // unset: a bounded look after a change, said
  kOff,   // "off": no look
  kList,  // "1", with no command: every such store of the root, listed
  kFix,   // "fix", with a command: the look, and pointers written
};

struct RunSettings {
  std::string sysroot = "/";  // TKVCERT_SYSROOT: the directory that stands for "/"
  bool dry_run = false;       // TKVCERT_DRY_RUN: decide, report, and change nothing
  bool list = false;          // TKVCERT_LIST: print the store, and do nothing else
  SelectBy select_by = SelectBy::kName;
  BrowserSetting browsers = BrowserSetting::kFollow;
  ClientsSetting clients = ClientsSetting::kLook;
  std::string sandbox;  // TKVCERT_SANDBOX as given: "", "userns" or "proc-masks" are known
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BASE_RUN_SETTINGS_H_
