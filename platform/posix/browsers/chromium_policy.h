// Chromium-family browsers: a tool-owned managed-policy file, tkvcert.json,
// whose CACertificatesWithConstraints lists the local anchors that the
// refreshed bundle trusts (not the distribution's set), so that Chromium
// trusts no more than the store's other clients: a file the family's refresh
// passes over, or a CA the admin distrusted, is not listed. It is rewritten
// on every change and deleted when no such anchor is left.
#ifndef TKVCERT_PLATFORM_POSIX_CHROMIUM_POLICY_H_
#define TKVCERT_PLATFORM_POSIX_CHROMIUM_POLICY_H_

#include <string>
#include <vector>

#include "platform/posix/browsers/policy_file.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

struct ChromiumBrowser {
  const char* name;
  const char* config_dir;  // below the root: there when the browser is installed
};

// The Chromium-family browsers installed in the root.
std::vector<const ChromiumBrowser*> InstalledChromiums(const Place& place);

// Writes each browser's file for the store's local anchors (`anchors`, DER;
// none when the step is switched off) and the distribution's certificates
// the family distrusts (`distrusted`), or removes it when the refreshed
// bundle holds none of the anchors and none is distrusted. With `foreseen`, the bundle is taken as a
// change would leave it. Another file of managed/ that sets one of the
// file's keys is named; one that outweighs it and so leaves a certificate
// that `change` removed trusted is told to the command's events.
void UpdateChromiums(Place& place, const StoreLocation& location, const std::vector<const ChromiumBrowser*>& browsers,
                     const std::vector<std::vector<BYTE>>& anchors,
                     const std::vector<std::vector<BYTE>>& distrusted, const ExpectedTrust& change,
                     const ExpectedTrust* foreseen);

// What follows is the pure part, for its unit tests and fuzz target.

// The key the tool's Chromium file sets, and that file's name.
constexpr char kChromiumPolicyKey[] = "CACertificatesWithConstraints";
constexpr char kChromiumPolicyFile[] = "tkvcert.json";
// Chromium distrusts what this lists by its key, even among its own roots.
constexpr char kChromiumDistrustKey[] = "CADistrustedCertificates";

// The Chromium policy file for these certificates (DER): each once, in the
// order given, as base64 on one line, permitted for every address; and
// those `distrusted`, when there are any, listed to be distrusted.
std::string ChromiumPolicyText(const std::vector<std::vector<BYTE>>& ders,
                               const std::vector<std::vector<BYTE>>& distrusted = {});

// The keys the tool's file may set, each of which Chromium takes whole from
// the last file of managed/ in byte order that sets it.
constexpr const char* kChromiumKeys[] = {kChromiumPolicyKey, kChromiumDistrustKey};

// Whether a Chromium policy file's text sets `key` (one of kChromiumKeys).
// Text that does not parse as JSON, or is nested too deep to be parsed,
// counts when it names the key at all.
bool SetsChromiumPolicyKey(const std::string& text, const char* key);

// Whether Chromium, taking `key` from a file with this text, still trusts
// `der`, which the tool's file no longer trusts: under the anchors' key,
// when the file lists a certificate with its public key; under the
// distrust key, unless it lists one (text that does not parse lists none).
bool ChromiumListLeavesTrusted(const std::string& text, const char* key, const std::vector<BYTE>& der);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CHROMIUM_POLICY_H_
