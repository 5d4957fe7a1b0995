#include "platform/posix/browsers/browser_policies.h"

#include <algorithm>
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

// The local anchors as a change would leave them: what it adds among them,
// what it removes gone.
void Foresee(const ExpectedTrust& change, std::vector<std::vector<BYTE>>* anchors) {
  std::vector<std::vector<BYTE>> kept;
  for (std::vector<BYTE>& der : *anchors) {
    if (std::find(change.removed.begin(), change.removed.end(), der) == change.removed.end()) {
      kept.push_back(std::move(der));
    }
  }
  for (const std::vector<BYTE>& der : change.added) {
    if (std::find(kept.begin(), kept.end(), der) == kept.end()) kept.push_back(der);
  }
  *anchors = std::move(kept);
}

}  // namespace

std::vector<std::string> UpdateBrowserPolicies(const Command& command, const StoreLocation& location, int anchors_fd,
                                               const ExpectedTrust* foreseen) {
  const BrowserSetting setting = command.settings().browsers;
  if (setting == BrowserSetting::kKeep) return {};
  const KeepErrors untouched;
  Place place(*location.root, command, foreseen == nullptr);
  const bool off = setting == BrowserSetting::kOff;
  const std::vector<const ChromiumBrowser*> chromiums = InstalledChromiums(place);
  const std::vector<std::string> firefoxes = off ? std::vector<std::string>() : InstalledFirefoxes(place);
  // A machine (or an image) without these browsers costs no scan.
  if (chromiums.empty() && firefoxes.empty()) return {};
  std::vector<std::vector<BYTE>> anchors =
      off ? std::vector<std::vector<BYTE>>() : ManagedAnchors(location, anchors_fd);
  if (foreseen != nullptr && !off) Foresee(*foreseen, &anchors);
  if (!chromiums.empty()) UpdateChromiums(place, location, chromiums, anchors, foreseen);
  // The module follows the store from then on; with nothing of the tool's
  // in the store there is nothing to add, and what was added stays (see the
  // README: a machine setting, undone by the admin).
  if (!anchors.empty() && !firefoxes.empty()) UpdateFirefox(place, firefoxes);
  return place.changed();
}

}  // namespace tkv
