// Firefox: one SecurityDevices entry that loads p11-kit's trust module,
// which reads the system store, merged once into the policies file that
// Firefox reads. Every other key of an admin's file is kept; a file that
// does not parse, or is nested too deep to parse safely, is never touched.
#ifndef TKVCERT_PLATFORM_POSIX_FIREFOX_POLICY_H_
#define TKVCERT_PLATFORM_POSIX_FIREFOX_POLICY_H_

#include <string>
#include <vector>

#include "platform/posix/browsers/policy_file.h"

namespace tkv {

// The installations of Firefox in the root, by directory.
std::vector<std::string> InstalledFirefoxes(const Place& place);

// Merges the tool's entry into the policies file that these installations
// read (made when there is none).
void UpdateFirefox(Place& place, const std::vector<std::string>& installed);

// What follows is the pure part, for its unit tests and fuzz target.

// The name of the tool's SecurityDevices entry in Firefox's policies.
constexpr char kFirefoxDeviceName[] = "p11-kit-trust (tkvcert)";

enum class FirefoxMerge {
  kUnchanged,    // the text already loads the module: nothing to write
  kMerged,       // `merged` holds the text to write
  kUnparseable,  // not JSON: leave the file alone
  kTooDeep,      // nested deeper than kMaxPolicyDepth: leave the file alone
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

#endif  // TKVCERT_PLATFORM_POSIX_FIREFOX_POLICY_H_
