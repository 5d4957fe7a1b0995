#include "platform/posix/browsers/firefox_policy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/directory_entries.h"

namespace tkv {

using Json = nlohmann::ordered_json;

FirefoxMerge MergeFirefoxPolicies(const std::string& text, const std::string& module_path,
                                  std::string* merged) {
  Json root = Json::object();
  if (!text.empty()) {
    // Firefox's own reader is JSON.parse: no comments.
    switch (ParsePolicyJson(text, /*comments=*/false, &root)) {
      case PolicyJson::kParsed:
        break;
      case PolicyJson::kUnparseable:
        return FirefoxMerge::kUnparseable;
      case PolicyJson::kTooDeep:
        return FirefoxMerge::kTooDeep;
    }
  }
  if (!root.is_object()) return FirefoxMerge::kUnexpected;
  Json& policies = root["policies"];
  if (policies.is_null()) policies = Json::object();
  if (!policies.is_object()) return FirefoxMerge::kUnexpected;
  Json& devices = policies["SecurityDevices"];
  if (devices.is_null()) devices = Json::object();
  if (!devices.is_object()) return FirefoxMerge::kUnexpected;
  // Firefox reads "Add" and "Delete" when either is there, and otherwise
  // takes every name under SecurityDevices as a device (the old form).
  const bool old_form = !devices.empty() && !devices.contains("Add") && !devices.contains("Delete");
  Json* names = &devices;
  if (!old_form) {
    Json& add = devices["Add"];
    if (add.is_null()) add = Json::object();
    if (!add.is_object()) return FirefoxMerge::kUnexpected;
    names = &add;
  }
  for (const auto& item : names->items()) {
    if (item.value().is_string() && item.value().get<std::string>() == module_path) {
      return FirefoxMerge::kUnchanged;  // loaded already, under whatever name
    }
  }
  (*names)[kFirefoxDeviceName] = module_path;
  try {
    *merged = root.dump(2) + "\n";
  } catch (const Json::exception&) {
    return FirefoxMerge::kUnexpected;
  }
  return FirefoxMerge::kMerged;
}

namespace {

struct FirefoxInstallation {
  const char* dir;      // below the root
  const char* program;  // in dir: there when it is installed
};

const FirefoxInstallation kFirefoxInstallations[] = {
    {"usr/lib/firefox-esr", "firefox-esr"},  // Debian's firefox-esr
    {"usr/lib/firefox", "firefox"},          // Debian's and Mozilla's firefox, Arch
    {"usr/lib64/firefox", "firefox"},        // Fedora, openSUSE
    {"opt/firefox", "firefox"},              // Mozilla's archive, unpacked as documented
};

// The machine-wide policies file, which Firefox reads first: when it exists,
// even as text that does not parse, an installation's own is not read.
constexpr char kFirefoxPoliciesDir[] = "etc/firefox/policies";
constexpr char kPoliciesName[] = "policies.json";

// The multiarch directory of the build's architecture, on Debian and Ubuntu.
#if defined(__x86_64__)
#define TKV_MULTIARCH "x86_64-linux-gnu"
#elif defined(__aarch64__)
#define TKV_MULTIARCH "aarch64-linux-gnu"
#elif defined(__i386__)
#define TKV_MULTIARCH "i386-linux-gnu"
#elif defined(__arm__)
#define TKV_MULTIARCH "arm-linux-gnueabihf"
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TKV_MULTIARCH "powerpc64le-linux-gnu"
#elif defined(__s390x__)
#define TKV_MULTIARCH "s390x-linux-gnu"
#elif defined(__riscv) && __riscv_xlen == 64
#define TKV_MULTIARCH "riscv64-linux-gnu"
#else
#define TKV_MULTIARCH ""
#endif

bool IsFileBelow(const Place& place, const std::string& relative) {
  const UniqueFd fd = place.root().OpenBelow(relative, O_PATH);
  struct stat st;
  return fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

// p11-kit's trust module as the root sees it: Debian's and Ubuntu's under
// the multiarch directory (the build's architecture first, then any other
// an image holds), Fedora's and openSUSE's in lib64, Arch's in lib. Empty
// when none is there.
std::string TrustModulePath(const Place& place) {
  const std::string module = "/pkcs11/p11-kit-trust.so";
  std::vector<std::string> candidates;
  if (*TKV_MULTIARCH != '\0') candidates.push_back(std::string("usr/lib/") + TKV_MULTIARCH + module);
  if (const UniqueFd lib = place.OpenDir("usr/lib")) {
    for (const std::string& tuple : EntryNames(lib.get())) {
      if (tuple.find("-linux-gnu") != std::string::npos) candidates.push_back("usr/lib/" + tuple + module);
    }
  }
  candidates.push_back("usr/lib64" + module);
  candidates.push_back("usr/lib" + module);
  for (const std::string& candidate : candidates) {
    if (IsFileBelow(place, candidate)) return "/" + candidate;
  }
  return "";
}

// Merges the tool's entry into `dir`/policies.json (made when `create`).
void MergeFirefoxFile(Place& place, const std::string& dir, bool create, const std::string& module_path) {
  const Command& command = place.command();
  const std::string file = dir + "/" + kPoliciesName;
  const std::string shown = place.Show(file);
  const std::string untouched = "; left as it is, and Firefox does not follow the system store";
  const std::string untrusted = "; Firefox does not follow the system store";
  UniqueFd dir_fd;
  if (create) {
    // Nothing is made in a directory that is not trusted.
    for (const std::string& made : {std::string("etc"), std::string("etc/firefox"), dir}) {
      dir_fd = place.MakeDir(made);
      if (!dir_fd && place.WouldMake(errno)) return place.Changed(file);
      if (!dir_fd) return command.Warn("Firefox: " + place.Show(made) + ": " + Reason(errno));
      if (const std::string why = place.WhyNotWritable(dir_fd.get(), made); !why.empty()) {
        return command.Warn("Firefox: " + why + untrusted);
      }
    }
  } else {
    dir_fd = place.OpenDir(dir);
    if (!dir_fd) return command.Warn("Firefox: " + place.Show(dir) + ": " + Reason(errno));
    if (const std::string why = place.WhyNotWritable(dir_fd.get(), dir); !why.empty()) {
      return command.Warn("Firefox: " + why + untrusted);
    }
  }
  std::string text;
  struct stat st{};
  const DWORD read = ReadPolicyFile(dir_fd.get(), kPoliciesName, &text, &st);
  const bool exists = read == ERROR_SUCCESS;
  if (read == ERROR_CANT_RESOLVE_FILENAME) return command.Warn("Firefox: " + shown + " is a link" + untouched);
  if (!exists && read != ERROR_FILE_NOT_FOUND) {
    return command.Warn("Firefox: " + shown + ": " + ReadFailure(read) + untouched);
  }
  if (exists && text.empty()) {
    // Firefox reads an empty file as one that does not parse.
    return command.Warn("Firefox: " + shown + " is empty" + untouched);
  }
  std::string merged;
  switch (MergeFirefoxPolicies(text, module_path, &merged)) {
    case FirefoxMerge::kUnchanged:
      return;
    case FirefoxMerge::kUnparseable:
      return command.Warn("Firefox: " + shown + " is not valid JSON" + untouched);
    case FirefoxMerge::kTooDeep:
      return command.Warn("Firefox: " + shown + " is nested more than " + std::to_string(kMaxPolicyDepth) +
                          " levels deep" + untouched);
    case FirefoxMerge::kUnexpected:
      return command.Warn("Firefox: " + shown + " does not hold a policies object the tool can add to" + untouched);
    case FirefoxMerge::kMerged:
      break;
  }
  const std::string prefix = std::string(".") + kPoliciesName + ".tkvcert-";
  // An admin's file keeps its mode and owner; a new one is root's, 0644.
  const NewFile written = exists ? NewFile{merged, st.st_mode & 07777, st.st_uid, st.st_gid} : NewFile{merged};
  if (place.carry_out() && WriteAtomically(dir_fd.get(), prefix, dir_fd.get(), kPoliciesName, written) != ERROR_SUCCESS) {
    return command.Warn("Firefox: cannot write " + shown + ": " + Reason(errno));
  }
  place.Changed(file);
}

}  // namespace

std::vector<std::string> InstalledFirefoxes(const Place& place) {
  std::vector<std::string> installed;
  for (const FirefoxInstallation& firefox : kFirefoxInstallations) {
    if (IsFileBelow(place, std::string(firefox.dir) + "/" + firefox.program)) {
      installed.emplace_back(firefox.dir);
    }
  }
  return installed;
}

void UpdateFirefox(Place& place, const std::vector<std::string>& installed) {
  const std::string module_path = TrustModulePath(place);
  if (module_path.empty()) {
    return place.command().Warn("Firefox: p11-kit's trust module (p11-kit-trust.so, Debian's p11-kit-modules) "
                    "is not installed; Firefox does not follow the system store");
  }
  // The file Firefox reads: the machine-wide one when it exists; else the
  // installation's own, when it has one (making the machine-wide file
  // would switch that one off); else the machine-wide one, made.
  if (const UniqueFd etc_dir = place.OpenDir(kFirefoxPoliciesDir)) {
    if (EntryExists(etc_dir.get(), kPoliciesName)) {
      return MergeFirefoxFile(place, kFirefoxPoliciesDir, false, module_path);
    }
  }
  bool merged_into_installation = false;
  for (const std::string& dir : installed) {
    const std::string distribution = dir + "/distribution";
    const UniqueFd distribution_fd = place.OpenDir(distribution);
    if (distribution_fd && EntryExists(distribution_fd.get(), kPoliciesName)) {
      MergeFirefoxFile(place, distribution, false, module_path);
      merged_into_installation = true;
    }
  }
  if (!merged_into_installation) MergeFirefoxFile(place, kFirefoxPoliciesDir, true, module_path);
}

}  // namespace tkv
