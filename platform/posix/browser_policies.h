// Browsers that do not read the system bundle, made to trust what the store
// trusts, as the last step of every change (under the store's lock, after the
// verified refresh):
//
// - Chromium-family browsers: a tool-owned managed-policy file, tkvcert.json,
//   whose CACertificatesWithConstraints lists every certificate of the local
//   anchors directory (not the distribution's set). It is rewritten on every
//   change and deleted when no anchor is left.
// - Firefox: one SecurityDevices entry that loads p11-kit's trust module,
//   which reads the system store, merged once into the policies file that
//   Firefox reads. Every other key of an admin's file is kept; a file that
//   does not parse is never touched.
//
// TKVCERT_BROWSERS=off: no browser file is written and the Chromium file is
// removed. A step that cannot be done is one "tkvcert: ..." line on standard
// error and changes nothing of the store's outcome. Nothing here prints to
// standard output.
#ifndef TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_
#define TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_

#include <string>
#include <vector>

#include "platform/posix/store_layout.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The browser step for the located store whose anchors directory is open
// (and locked) as `anchors_fd`. Never fails: what it cannot do it says on
// standard error. Leaves the last error and errno as they were.
void UpdateBrowserPolicies(const StoreLocation& location, int anchors_fd);

// Whether TKVCERT_BROWSERS (null when unset) switches the step off: "off",
// in any case.
bool BrowsersSwitchedOff(const char* value);

// What follows is the step's pure part, for its unit tests.

// The key the tool's Chromium file sets, and that file's name.
constexpr char kChromiumPolicyKey[] = "CACertificatesWithConstraints";
constexpr char kChromiumPolicyFile[] = "tkvcert.json";
// The name of the tool's SecurityDevices entry in Firefox's policies.
constexpr char kFirefoxDeviceName[] = "p11-kit-trust (tkvcert)";

// The Chromium policy file for these certificates (DER): each once, in the
// order given, as base64 on one line, permitted for every address.
std::string ChromiumPolicyText(const std::vector<std::vector<BYTE>>& ders);

// Whether a Chromium policy file's text sets CACertificatesWithConstraints.
// Text that does not parse as JSON counts when it names the key at all.
bool SetsChromiumPolicyKey(const std::string& text);

enum class FirefoxMerge {
  kUnchanged,    // the text already loads the module: nothing to write
  kMerged,       // `merged` holds the text to write
  kUnparseable,  // not JSON: leave the file alone
  kUnexpected,   // JSON, but not a policies object we can add to: leave it alone
};

// Adds (or replaces) the tool's SecurityDevices entry loading `module_path`
// in a Firefox policies file's text; empty text stands for a file that does
// not exist yet. Every other key is kept, in its order. A file that already
// loads the module under any name is left unchanged. An entry in the old
// form (names straight under SecurityDevices) is added in that form, since
// Firefox reads only "Add" once it is there.
FirefoxMerge MergeFirefoxPolicies(const std::string& text, const std::string& module_path,
                                  std::string* merged);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BROWSER_POLICIES_H_
