// Browsers that do not read the system bundle, made to trust what the store
// trusts, as the last step of every change (under the store's lock, after the
// verified refresh): Chromium-family browsers through a managed-policy file
// of the tool's (chromium_policy.h), Firefox through p11-kit's trust module
// (firefox_policy.h).
//
// TKVCERT_BROWSERS=off: no browser file is written and the Chromium file is
// removed. A step that cannot be done is one "tkvcert: ..." line on standard
// error and changes nothing of the store's outcome. Nothing here prints to
// standard output.
#ifndef TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_
#define TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_

#include "platform/posix/anchors/store_layout.h"

namespace tkv {

// The browser step for the located store whose anchors directory is open
// (and locked) as `anchors_fd`. Never fails: what it cannot do it says on
// standard error. Leaves the last error and errno as they were.
void UpdateBrowserPolicies(const StoreLocation& location, int anchors_fd);

// Whether TKVCERT_BROWSERS (null when unset) switches the step off: "off",
// in any case. Off, the command's own Chromium files go.
bool BrowsersSwitchedOff(const char* value);

// Whether it leaves the step out altogether: "keep", in any case. Every
// browser file stays as it is, the command's own included.
bool BrowsersKept(const char* value);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_
