#include "platform/posix/browsers/chromium_policy.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/directory_entries.h"
#include "platform/posix/anchors/trust_bundle.h"

namespace tkv {

using Json = nlohmann::ordered_json;

namespace {

// Chromium reads the DER as base64 on one line; PEM, or base64 in lines, it
// passes over without a word.
std::string OneLineBase64(const std::vector<BYTE>& der) {
  std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]), der.data(), static_cast<int>(der.size()));
  base64.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return base64;
}

// The certificate's public key, as Chromium matches a distrusted one; empty
// when it does not decode.
std::string KeyOf(const std::vector<BYTE>& der) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                          X509_free);
  unsigned char* key = nullptr;
  const int n = certificate ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &key) : -1;
  std::string text = n > 0 ? std::string(reinterpret_cast<char*>(key), static_cast<size_t>(n)) : "";
  OPENSSL_free(key);
  return text;
}

// The same of a certificate as base64 on one line.
std::string KeyOfBase64(const std::string& base64) {
  std::vector<BYTE> der(base64.size() / 4 * 3 + 3);
  const int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                                static_cast<int>(base64.size()));
  if (n <= 0) return "";
  der.resize(static_cast<size_t>(n));
  return KeyOf(der);
}

}  // namespace

std::string ChromiumPolicyText(const std::vector<std::vector<BYTE>>& ders,
                               const std::vector<std::vector<BYTE>>& distrusted) {
  Json entries = Json::array();
  std::set<std::vector<BYTE>> seen;
  std::set<std::string> trusted_keys;
  for (const std::vector<BYTE>& der : ders) {
    if (der.empty() || !seen.insert(der).second) continue;
    trusted_keys.insert(KeyOf(der));
    Json entry = Json::object();
    entry["certificate"] = OneLineBase64(der);
    entry["constraints"]["permitted_cidrs"] = Json::array({"0.0.0.0/0", "::/0"});
    entries.push_back(std::move(entry));
  }
  Json policy = Json::object();
  policy[kChromiumPolicyKey] = std::move(entries);
  // Chromium matches a distrusted certificate by its key, and the distrust
  // wins: a key the store trusts is never listed.
  Json distrust = Json::array();
  for (const std::vector<BYTE>& der : distrusted) {
    if (der.empty() || !seen.insert(der).second || trusted_keys.count(KeyOf(der)) != 0) continue;
    distrust.push_back(OneLineBase64(der));
  }
  if (!distrust.empty()) policy[kChromiumDistrustKey] = std::move(distrust);
  return policy.dump(2) + "\n";
}

bool SetsChromiumPolicyKey(const std::string& text, const char* key) {
  // Chromium's reader allows comments and trailing commas; text that this
  // reader refuses, or that is nested too deep for it, is judged by whether
  // it names the key at all.
  Json policy;
  if (ParsePolicyJson(text, /*comments=*/true, &policy) != PolicyJson::kParsed) {
    return text.find(std::string("\"") + key + "\"") != std::string::npos;
  }
  return policy.is_object() && policy.contains(key);
}

bool ChromiumListLeavesTrusted(const std::string& text, const char* key, const std::vector<BYTE>& der) {
  const bool distrust = std::strcmp(key, kChromiumDistrustKey) == 0;
  const std::string wanted = KeyOf(der);
  bool listed = false;
  Json policy;
  if (!wanted.empty() && ParsePolicyJson(text, /*comments=*/true, &policy) == PolicyJson::kParsed &&
      policy.is_object() && policy.contains(key) && policy[key].is_array()) {
    for (const Json& entry : policy[key]) {
      const Json* base64 = distrust ? &entry : entry.is_object() && entry.contains("certificate") ? &entry["certificate"]
                                                                                                 : nullptr;
      if (base64 != nullptr && base64->is_string() && KeyOfBase64(base64->get<std::string>()) == wanted) listed = true;
    }
  }
  return distrust ? !listed : listed;
}

namespace {

// Each reads every file of <config_dir>/policies/managed.
const ChromiumBrowser kChromiumBrowsers[] = {
    {"Chromium", "etc/chromium"},
    {"Google Chrome", "etc/opt/chrome"},
};

// What the tool's file lists under `key`, by the words a person reads.
const char* Listing(const char* key) {
  return std::strcmp(key, kChromiumDistrustKey) == 0 ? "distrust" : "anchors";
}

// Says so when another file of the managed directory sets a key that the
// tool's `text` sets: Chromium takes each key from the last such file in
// byte order, whole. One after the tool's may leave a certificate that
// `change` removed trusted, which goes to the command's events.
void WarnOfOtherFilesSettingItsKeys(const Place& place, const ChromiumBrowser& browser, const std::string& managed,
                                    int managed_fd, const std::string& text, const ExpectedTrust& change) {
  std::vector<const char*> keys;
  for (const char* key : kChromiumKeys) {
    if (SetsChromiumPolicyKey(text, key)) keys.push_back(key);
  }
  std::map<std::string, std::pair<std::string, std::string>> deciding;  // key: the file's name and text
  for (const std::string& name : EntryNames(managed_fd)) {
    if (name == kChromiumPolicyFile) continue;
    // Chromium follows links; so does the check, inside the root.
    const UniqueFd located = place.root().OpenBelow(managed + "/" + name, O_PATH);
    std::string other;
    if (!located || ReadLocatedPolicyFile(located.get(), &other) != ERROR_SUCCESS) continue;
    const bool theirs_win = name > kChromiumPolicyFile;
    for (const char* key : keys) {
      if (!SetsChromiumPolicyKey(other, key)) continue;
      place.command().Warn(std::string(browser.name) + ": " + place.Show(managed + "/" + name) + " also sets " +
                           key + " and comes " + (theirs_win ? "after " : "before ") + kChromiumPolicyFile + ", so " +
                           browser.name + " takes " +
                           (theirs_win ? "that file's list and not the tool's " + std::string(Listing(key))
                                       : "the tool's " + std::string(Listing(key)) + " and not that file's list"));
      if (theirs_win) deciding[key] = {name, other};
    }
  }
  for (const auto& [key, file] : deciding) {
    const bool distrust = key == kChromiumDistrustKey;
    const std::string shown = place.Show(managed + "/" + file.first);
    for (const std::vector<BYTE>& der : change.removed) {
      const bool distrusted =
          std::find(change.distrusted.begin(), change.distrusted.end(), der) != change.distrusted.end();
      // A certificate of the distribution's set leaves Chromium's trust by
      // the distrust alone; a local one by the anchors alone.
      if (distrusted != distrust || !ChromiumListLeavesTrusted(file.second, key.c_str(), der)) continue;
      place.command().events().BrowserStillTrusts(
          browser.name, shown,
          std::string(browser.name) + " still trusts " + QuotedName(der) +
              (distrust ? " if it is among its own roots: " + shown + " sets " + key + " after " + kChromiumPolicyFile +
                              " and does not list it"
                        : ": " + shown + " lists it under " + key + " after " + kChromiumPolicyFile));
    }
  }
}

void RemoveChromiumFile(Place& place, const ChromiumBrowser& browser, const std::string& managed) {
  const Command& command = place.command();
  const std::string file = managed + "/" + kChromiumPolicyFile;
  const UniqueFd managed_fd = place.OpenDir(managed);
  if (!managed_fd) {
    if (errno != ENOENT) command.Warn(std::string(browser.name) + ": " + place.Show(managed) + ": " + Reason(errno));
    return;
  }
  struct stat st;
  if (fstatat(managed_fd.get(), kChromiumPolicyFile, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (const std::string why = place.WhyNotWritable(managed_fd.get(), managed); !why.empty()) {
    command.Warn(std::string(browser.name) + ": " + why + "; " + kChromiumPolicyFile + " left in place");
    return;
  }
  if (place.carry_out() && (unlinkat(managed_fd.get(), kChromiumPolicyFile, 0) != 0 || fsync(managed_fd.get()) != 0)) {
    command.Warn(std::string(browser.name) + ": cannot remove " + place.Show(file) + ": " + Reason(errno));
    return;
  }
  place.Changed(file);
}

// The directory `relative` to write in, made when missing, and fit to be
// written; -1 when it is not (said), or when, deciding, it would be made.
UniqueFd DirectoryToWrite(Place& place, const std::string& what, const std::string& relative, bool* would_make) {
  UniqueFd dir = place.MakeDir(relative);
  if (!dir) {
    *would_make = place.WouldMake(errno);
    if (!*would_make) place.command().Warn(what + place.Show(relative) + ": " + Reason(errno));
    return dir;
  }
  if (const std::string why = place.WhyNotWritable(dir.get(), relative); !why.empty()) {
    place.command().Warn(what + why + "; no policy written");
    return UniqueFd();
  }
  return dir;
}

void WriteChromiumFile(Place& place, const ChromiumBrowser& browser, const std::string& text,
                       const ExpectedTrust& change) {
  const std::string config = browser.config_dir;
  const std::string policies = config + "/policies";
  const std::string managed = policies + "/managed";
  const std::string file = managed + "/" + kChromiumPolicyFile;
  const std::string what = std::string(browser.name) + ": ";
  const UniqueFd config_fd = place.OpenDir(config);
  if (!config_fd) return;
  if (const std::string why = place.WhyNotWritable(config_fd.get(), config); !why.empty()) {
    return place.command().Warn(what + why + "; no policy written");
  }
  bool would_make = false;
  const UniqueFd policies_fd = DirectoryToWrite(place, what, policies, &would_make);
  const UniqueFd managed_fd = policies_fd ? DirectoryToWrite(place, what, managed, &would_make) : UniqueFd();
  if (!managed_fd) {
    if (would_make) place.Changed(file);
    return;
  }

  WarnOfOtherFilesSettingItsKeys(place, browser, managed, managed_fd.get(), text, change);

  std::string current;
  struct stat st;
  if (ReadPolicyFile(managed_fd.get(), kChromiumPolicyFile, &current, &st) == ERROR_SUCCESS && current == text &&
      (st.st_mode & 07777) == 0644 && st.st_uid == geteuid()) {
    return;  // holds these anchors already
  }
  // Chromium reads every file of managed/, a temporary too: the file is
  // staged beside it, in policies/, and renamed in.
  const std::string prefix = std::string(".") + kChromiumPolicyFile + ".";
  if (place.carry_out() &&
      WriteAtomically(policies_fd.get(), prefix, managed_fd.get(), kChromiumPolicyFile, NewFile{text}) != ERROR_SUCCESS) {
    place.command().Warn(what + "cannot write " + place.Show(file) + ": " + Reason(errno));
    return;
  }
  place.Changed(file);
}

}  // namespace

std::vector<const ChromiumBrowser*> InstalledChromiums(const Place& place) {
  std::vector<const ChromiumBrowser*> installed;
  for (const ChromiumBrowser& browser : kChromiumBrowsers) {
    if (place.OpenDir(browser.config_dir)) installed.push_back(&browser);
  }
  return installed;
}

void UpdateChromiums(Place& place, const StoreLocation& location, const std::vector<const ChromiumBrowser*>& browsers,
                     const std::vector<std::vector<BYTE>>& anchors,
                     const std::vector<std::vector<BYTE>>& distrusted, const ExpectedTrust& change,
                     const ExpectedTrust* foreseen) {
  // Chromium reads none of the store's files: only what the refreshed bundle
  // holds is what the store's other clients trust.
  std::vector<std::vector<BYTE>> trusted;
  if (!anchors.empty()) {
    std::vector<bool> held;
    if (BundleHolds(*location.root, location.layout->bundle, anchors, &held) != ERROR_SUCCESS) {
      for (const ChromiumBrowser* browser : browsers) {
        place.command().Warn(std::string(browser->name) + ": cannot read the refreshed bundle " +
                             place.Show(location.layout->bundle) + "; " + kChromiumPolicyFile + " left as it is");
      }
      return;
    }
    for (size_t i = 0; i < anchors.size(); ++i) {
      if (foreseen != nullptr) held[i] = foreseen->Shows(anchors[i], held[i]);
      if (held[i]) trusted.push_back(anchors[i]);
    }
  }
  const bool none = trusted.empty() && distrusted.empty();
  const std::string text = none ? "" : ChromiumPolicyText(trusted, distrusted);
  for (const ChromiumBrowser* browser : browsers) {
    if (none) {
      RemoveChromiumFile(place, *browser, std::string(browser->config_dir) + "/policies/managed");
    } else {
      WriteChromiumFile(place, *browser, text, change);
    }
  }
}

}  // namespace tkv
