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
#include "platform/posix/anchors/distribution_set.h"

namespace tkv {

namespace {

// Every certificate the store manages: those of the local anchors directory
// as the family's refresh reads it, each once, in the listing's order.
std::vector<std::vector<BYTE>> ManagedAnchors(const AnchorView& view) {
  std::vector<std::vector<BYTE>> ders;
  std::set<std::vector<BYTE>> seen;
  std::vector<BYTE> contents;
  for (const std::string& relative : view.Files()) {
    if (view.Read(relative, &contents) != ERROR_SUCCESS) continue;
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

// The certificates of the distribution's set that the family distrusts,
// as the change leaves them.
std::vector<std::vector<BYTE>> Distrusted(const StoreLocation& location, const ExpectedTrust* foreseen) {
  std::vector<DistributionCertificate> set;
  std::vector<std::vector<BYTE>> distrusted;
  if (ReadDistributionSet(location, /*distrusted_too=*/true, &set) != ERROR_SUCCESS) return distrusted;
  for (DistributionCertificate& certificate : set) {
    const bool lifted = foreseen != nullptr && std::find(foreseen->added.begin(), foreseen->added.end(),
                                                         certificate.der) != foreseen->added.end();
    if (certificate.distrusted && !lifted) distrusted.push_back(std::move(certificate.der));
  }
  if (foreseen != nullptr) {
    for (const std::vector<BYTE>& der : foreseen->distrusted) {
      if (std::find(distrusted.begin(), distrusted.end(), der) == distrusted.end()) distrusted.push_back(der);
    }
  }
  return distrusted;
}

// Chromium with the tool's file removed, and Firefox always, keep trusting
// the public CAs they ship, whatever the system's store says.
void SayWhatBrowsersStillTrust(const Command& command, const ExpectedTrust& change, size_t chromiums_off,
                               size_t firefoxes) {
  for (const std::vector<BYTE>& der : change.distrusted) {
    if (chromiums_off > 0) {
      command.Warn("Chromium still trusts " + QuotedName(der) +
                   " if it is among its own roots: TKVCERT_BROWSERS=off keeps its distrust out of " +
                   kChromiumPolicyFile);
    }
    if (firefoxes > 0) {
      command.Warn("Firefox still trusts " + QuotedName(der) +
                   " if it is among its own roots: no policy of Firefox's distrusts a certificate");
    }
  }
}

}  // namespace

std::vector<std::string> UpdateBrowserPolicies(const Command& command, const AnchorView& view,
                                               const ExpectedTrust& change, bool foresee) {
  const StoreLocation& location = view.location();
  const BrowserSetting setting = command.settings().browsers;
  const bool removal = !change.removed.empty();
  if (setting == BrowserSetting::kKeep && !removal) return {};
  const KeepErrors untouched;
  const ExpectedTrust* foreseen = foresee ? &change : nullptr;
  Place place(*location.root, command, !foresee);
  const bool off = setting == BrowserSetting::kOff;
  const std::vector<const ChromiumBrowser*> chromiums = InstalledChromiums(place);
  const std::vector<std::string> firefoxes = InstalledFirefoxes(place);
  SayWhatBrowsersStillTrust(command, change, off ? chromiums.size() : 0, firefoxes.size());
  if (setting == BrowserSetting::kKeep) {
    if (chromiums.empty()) return {};
    std::vector<std::vector<BYTE>> anchors = ManagedAnchors(view);
    if (foreseen != nullptr) Foresee(*foreseen, &anchors);
    UpdateChromiums(place, location, chromiums, anchors, Distrusted(location, foreseen), change, foreseen);
    return place.changed();
  }
  // A machine (or an image) without these browsers costs no scan.
  if (chromiums.empty() && (off || firefoxes.empty())) return {};
  std::vector<std::vector<BYTE>> anchors =
      off ? std::vector<std::vector<BYTE>>() : ManagedAnchors(view);
  if (foreseen != nullptr && !off) Foresee(*foreseen, &anchors);
  if (!chromiums.empty()) {
    UpdateChromiums(place, location, chromiums, anchors,
                    off ? std::vector<std::vector<BYTE>>() : Distrusted(location, foreseen), change, foreseen);
  }
  if (off) return place.changed();
  // The module follows the store from then on; with nothing of the tool's
  // in the store there is nothing to add, and what was added stays (see the
  // README: a machine setting, undone by the admin).
  if (!anchors.empty() && !firefoxes.empty()) UpdateFirefox(place, firefoxes);
  return place.changed();
}

}  // namespace tkv
