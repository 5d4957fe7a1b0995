#include "platform/posix/browsers/browser_policies.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/browsers/chromium_policy.h"
#include "platform/posix/browsers/firefox_policy.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/browsers/policy_file.h"

namespace tkv {

bool BrowsersSwitchedOff(const char* value) {
  return value != nullptr && strcasecmp(value, "off") == 0;
}

bool BrowsersKept(const char* value) {
  return value != nullptr && strcasecmp(value, "keep") == 0;
}

namespace {

// Every certificate the store manages: those of the local anchors directory
// as the family's refresh reads it, each once, in the listing's order.
std::vector<std::vector<BYTE>> ManagedAnchors(const StoreLocation& location, int anchors_fd) {
  std::vector<std::vector<BYTE>> ders;
  std::set<std::vector<BYTE>> seen;
  std::vector<BYTE> contents;
  for (const std::string& relative : ListAnchorFiles(location, anchors_fd)) {
    if (ReadAnchorFile(location, anchors_fd, relative, &contents) != ERROR_SUCCESS) continue;
    for (AnchorBlock& block : ParseAnchorFile(contents)) {
      if (block.decoded && seen.insert(block.der).second) ders.push_back(std::move(block.der));
    }
  }
  return ders;
}

}  // namespace

void UpdateBrowserPolicies(const StoreLocation& location, int anchors_fd) {
  if (BrowsersKept(getenv("TKVCERT_BROWSERS"))) return;
  const KeepErrors untouched;
  const Place place(*location.root);
  const bool off = BrowsersSwitchedOff(getenv("TKVCERT_BROWSERS"));
  const std::vector<const ChromiumBrowser*> chromiums = InstalledChromiums(place);
  const std::vector<std::string> firefoxes = off ? std::vector<std::string>() : InstalledFirefoxes(place);
  // A machine (or an image) without these browsers costs no scan.
  if (chromiums.empty() && firefoxes.empty()) return;
  const std::vector<std::vector<BYTE>> anchors =
      off ? std::vector<std::vector<BYTE>>() : ManagedAnchors(location, anchors_fd);
  if (!chromiums.empty()) UpdateChromiums(place, location, chromiums, anchors);
  // The module follows the store from then on; with nothing of the tool's
  // in the store there is nothing to add, and what was added stays (see the
  // README: a machine setting, undone by the admin).
  if (!anchors.empty() && !firefoxes.empty()) UpdateFirefox(place, firefoxes);
}

}  // namespace tkv
