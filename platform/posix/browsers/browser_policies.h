// Browsers that do not read the system bundle, made to trust what the store
// trusts, as the last step of every change (under the store's lock, after the
// verified refresh): Chromium-family browsers through a managed-policy file
// of the tool's (chromium_policy.h), Firefox through p11-kit's trust module
// (firefox_policy.h).
//
// TKVCERT_BROWSERS=off: no browser file is written and the Chromium file is
// removed; =keep: every browser file is left as it is, except Chromium's
// after a removal: a CA taken out of the store must not stay trusted
// there through the tool's own file, and one the family now distrusts is
// listed for Chromium to distrust too (it trusts public CAs from roots of
// its own). What a browser will still trust is said. A step that cannot
// be done is one "tkvcert: ..." line on standard error and changes nothing
// of the store's outcome. Nothing here prints to standard output.
#ifndef TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_
#define TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_view.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/base/command.h"

namespace tkv {

// The browser step for the located store whose anchors `anchors` shows as
// they are after the writes of `change`, as TKVCERT_BROWSERS asks:
// the browser files it wrote or removed. With `foresee`, it only decides,
// on the anchors and bundle as that change would leave them, and changes
// nothing: the files it would write or remove. Never fails: what it cannot do it says as a
// warning. Leaves the last error and errno as they were.
std::vector<std::string> UpdateBrowserPolicies(const Command& command, const AnchorView& anchors,
                                               const ExpectedTrust& change, bool foresee);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_
