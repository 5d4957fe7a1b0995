#include "platform/posix/browser_policies.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/posix/anchor_format.h"
#include "platform/posix/anchor_listing.h"
#include "platform/posix/directory_entries.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/unpredictable_name.h"

namespace tkv {

using Json = nlohmann::ordered_json;

bool BrowsersSwitchedOff(const char* value) {
  return value != nullptr && strcasecmp(value, "off") == 0;
}

std::string ChromiumPolicyText(const std::vector<std::vector<BYTE>>& ders) {
  Json entries = Json::array();
  std::set<std::vector<BYTE>> seen;
  for (const std::vector<BYTE>& der : ders) {
    if (der.empty() || !seen.insert(der).second) continue;
    // Chromium reads the DER as base64 on one line; PEM, or base64 in
    // lines, it passes over without a word.
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]), der.data(),
                                  static_cast<int>(der.size()));
    base64.resize(n < 0 ? 0 : static_cast<size_t>(n));
    Json entry = Json::object();
    entry["certificate"] = base64;
    entry["constraints"]["permitted_cidrs"] = Json::array({"0.0.0.0/0", "::/0"});
    entries.push_back(std::move(entry));
  }
  Json policy = Json::object();
  policy[kChromiumPolicyKey] = std::move(entries);
  return policy.dump(2) + "\n";
}

bool SetsChromiumPolicyKey(const std::string& text) {
  // Chromium's reader allows comments and trailing commas; text that this
  // reader refuses is judged by whether it names the key at all.
  const Json policy = Json::parse(text, nullptr, /*allow_exceptions=*/false,
                                  /*ignore_comments=*/true);
  if (policy.is_discarded()) {
    return text.find(std::string("\"") + kChromiumPolicyKey + "\"") != std::string::npos;
  }
  return policy.is_object() && policy.contains(kChromiumPolicyKey);
}

FirefoxMerge MergeFirefoxPolicies(const std::string& text, const std::string& module_path,
                                  std::string* merged) {
  Json root = Json::object();
  if (!text.empty()) {
    // Firefox's own reader is JSON.parse: no comments.
    root = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) return FirefoxMerge::kUnparseable;
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

// The largest policy file read: Chromium's hold certificates, a few KiB each.
constexpr size_t kMaxPolicyFileSize = 16 << 20;

void Complain(const std::string& why) {
  const std::string line = "tkvcert: " + why + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

std::string Reason(int err) { return strerror(err); }

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

// What the browser step works in: one root, and how to name its paths.
class Place {
 public:
  explicit Place(const RootDirectory& root) : root_(root) {}

  const RootDirectory& root() const { return root_; }
  std::string Show(const std::string& relative) const { return root_.DisplayPath(relative); }

  // `relative` as an open directory, with every link resolved inside the
  // root; -1 with errno set when it is not one.
  UniqueFd OpenDir(const std::string& relative) const {
    return root_.OpenBelow(relative, O_RDONLY | O_DIRECTORY);
  }

  // The same, made (root's, 0755) when missing; its parent must exist.
  UniqueFd MakeDir(const std::string& relative) const {
    UniqueFd dir = OpenDir(relative);
    if (dir || errno != ENOENT) return dir;
    const size_t slash = relative.rfind('/');
    const UniqueFd parent = OpenDir(slash == std::string::npos ? "" : relative.substr(0, slash));
    if (!parent) return UniqueFd();
    const std::string name = relative.substr(slash + 1);
    const bool made_here = mkdirat(parent.get(), name.c_str(), 0755) == 0;
    if (!made_here && errno != EEXIST) return UniqueFd();
    UniqueFd made = OpenDir(relative);
    // Whatever the umask: a directory others cannot read hides the policy.
    if (made && made_here) fchmod(made.get(), 0755);
    return made;
  }

  // Run as root in an image root, a directory that another user owns or
  // can write, or one of its directories up to the root, could swap what
  // the tool writes for what that user likes. True on the host, whose
  // directories are its admin's business.
  bool Trusted(int dir_fd) const {
    if (root_.is_host() || geteuid() != 0) return true;
    struct stat top;
    if (fstat(root_.fd(), &top) != 0) return false;
    UniqueFd current(fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    for (int depth = 0; current && depth < 256; ++depth) {
      struct stat st;
      if (fstat(current.get(), &st) != 0) return false;
      if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
      if (st.st_dev == top.st_dev && st.st_ino == top.st_ino) return true;
      UniqueFd parent(openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      struct stat up;
      if (!parent || fstat(parent.get(), &up) != 0) return false;
      if (up.st_dev == st.st_dev && up.st_ino == st.st_ino) return false;  // above the root
      current = std::move(parent);
    }
    return false;
  }

 private:
  const RootDirectory& root_;
};

// Removes what a run killed while writing left in `dir_fd`: files whose
// names begin with `prefix`, which only this step makes.
void RemoveLeftovers(int dir_fd, const std::string& prefix) {
  std::vector<std::string> names;
  ForEachEntry(dir_fd, [&](const dirent& entry) {
    if (strncmp(entry.d_name, prefix.c_str(), prefix.size()) == 0) names.emplace_back(entry.d_name);
    return true;
  });
  for (const std::string& name : names) unlinkat(dir_fd, name.c_str(), 0);
}

// Puts `contents` under `name` in `dest_fd` atomically: written under an
// unpredictable name beginning with `prefix` in `stage_fd` (the same file
// system), flushed, given its mode and owner, and renamed into place. 0 or
// the errno of the step that failed.
int WriteAtomically(int stage_fd, const std::string& prefix, int dest_fd, const std::string& name,
                    const std::string& contents, mode_t mode, uid_t uid, gid_t gid) {
  RemoveLeftovers(stage_fd, prefix);
  const std::string suffix = UnpredictableHex();
  if (suffix.empty()) return EIO;
  const std::string temporary = prefix + suffix;
  UniqueFd fd(openat(stage_fd, temporary.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return errno;
  int err = 0;
  for (size_t written = 0; err == 0 && written < contents.size();) {
    const ssize_t n = write(fd.get(), contents.data() + written, contents.size() - written);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) written += static_cast<size_t>(n);
  }
  if (err == 0 && (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
      fchown(fd.get(), uid, gid) != 0) {
    err = errno;
  }
  if (err == 0 && fchmod(fd.get(), mode) != 0) err = errno;
  if (err == 0 && fsync(fd.get()) != 0) err = errno;
  // Closed before it is renamed in: a watcher of the destination hears of
  // the file once, complete.
  fd.reset();
  if (err == 0 && renameat(stage_fd, temporary.c_str(), dest_fd, name.c_str()) != 0) err = errno;
  if (err != 0) {
    unlinkat(stage_fd, temporary.c_str(), 0);
    return err;
  }
  fsync(dest_fd);
  return 0;
}

// Reads the regular file `name` of `dir_fd`, not through a link. 0, or the
// errno (ELOOP for a link, EINVAL for what is not a regular file, EFBIG past
// the limit).
int ReadPolicyFile(int dir_fd, const std::string& name, std::string* text, struct stat* st) {
  UniqueFd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return errno;
  if (fstat(fd.get(), st) != 0) return errno;
  std::vector<BYTE> contents;
  switch (ReadOpenedFile(fd.get(), kMaxPolicyFileSize, &contents)) {
    case ERROR_SUCCESS:
      text->assign(contents.begin(), contents.end());
      return 0;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_NOT_SUPPORTED:
    case ERROR_ACCESS_DENIED:
      return EINVAL;
    default:
      return EIO;
  }
}

// ---- Chromium ---------------------------------------------------------

struct ChromiumBrowser {
  const char* name;
  const char* config_dir;  // below the root: there when the browser is installed
};

// Each reads every file of <config_dir>/policies/managed.
const ChromiumBrowser kChromiumBrowsers[] = {
    {"Chromium", "etc/chromium"},
    {"Google Chrome", "etc/opt/chrome"},
};

// Says so when another file of the managed directory sets the same key:
// Chromium takes the key from the last such file in byte order, whole.
void WarnOfOtherFilesSettingTheKey(const Place& place, const ChromiumBrowser& browser,
                                   const std::string& managed, int managed_fd) {
  std::vector<std::string> names;
  ForEachEntry(managed_fd, [&](const dirent& entry) {
    if (strcmp(entry.d_name, kChromiumPolicyFile) != 0) names.emplace_back(entry.d_name);
    return true;
  });
  for (const std::string& name : names) {
    // Chromium follows links; so does the check, inside the root.
    const UniqueFd fd = place.root().OpenBelow(managed + "/" + name,
                                               O_RDONLY | O_NONBLOCK | O_NOCTTY);
    std::vector<BYTE> contents;
    if (!fd || ReadOpenedFile(fd.get(), kMaxPolicyFileSize, &contents) != ERROR_SUCCESS) continue;
    if (!SetsChromiumPolicyKey(std::string(contents.begin(), contents.end()))) continue;
    const bool theirs_win = name > kChromiumPolicyFile;
    Complain(std::string(browser.name) + ": " + place.Show(managed + "/" + name) + " also sets " +
             kChromiumPolicyKey + " and comes " + (theirs_win ? "after " : "before ") +
             kChromiumPolicyFile + ", so " + browser.name + " takes " +
             (theirs_win ? "that file's list and not the tool's anchors"
                         : "the tool's anchors and not that file's list"));
  }
}

void RemoveChromiumFile(const Place& place, const ChromiumBrowser& browser,
                        const std::string& managed) {
  const UniqueFd managed_fd = place.OpenDir(managed);
  if (!managed_fd) {
    if (errno != ENOENT) {
      Complain(std::string(browser.name) + ": " + place.Show(managed) + ": " + Reason(errno));
    }
    return;
  }
  struct stat st;
  if (fstatat(managed_fd.get(), kChromiumPolicyFile, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!place.Trusted(managed_fd.get())) {
    Complain(std::string(browser.name) + ": " + place.Show(managed) +
             " (or a directory above it in the image) is another user's or writable by others; " +
             kChromiumPolicyFile + " left in place");
    return;
  }
  if (unlinkat(managed_fd.get(), kChromiumPolicyFile, 0) != 0) {
    Complain(std::string(browser.name) + ": cannot remove " +
             place.Show(managed + "/" + kChromiumPolicyFile) + ": " + Reason(errno));
    return;
  }
  fsync(managed_fd.get());
}

void WriteChromiumFile(const Place& place, const ChromiumBrowser& browser,
                       const std::string& text) {
  const std::string config = browser.config_dir;
  const std::string policies = config + "/policies";
  const std::string managed = policies + "/managed";
  const std::string what = std::string(browser.name) + ": ";
  const std::string untrusted =
      " (or a directory above it in the image) is another user's or writable by others; "
      "no policy written";
  const UniqueFd config_fd = place.OpenDir(config);
  if (!config_fd) return;
  if (!place.Trusted(config_fd.get())) return Complain(what + place.Show(config) + untrusted);
  const UniqueFd policies_fd = place.MakeDir(policies);
  if (!policies_fd) return Complain(what + place.Show(policies) + ": " + Reason(errno));
  if (!place.Trusted(policies_fd.get())) return Complain(what + place.Show(policies) + untrusted);
  const UniqueFd managed_fd = place.MakeDir(managed);
  if (!managed_fd) return Complain(what + place.Show(managed) + ": " + Reason(errno));
  if (!place.Trusted(managed_fd.get())) return Complain(what + place.Show(managed) + untrusted);

  WarnOfOtherFilesSettingTheKey(place, browser, managed, managed_fd.get());

  std::string current;
  struct stat st;
  if (ReadPolicyFile(managed_fd.get(), kChromiumPolicyFile, &current, &st) == 0 && current == text &&
      (st.st_mode & 07777) == 0644 && st.st_uid == geteuid()) {
    return;  // holds these anchors already
  }
  // Chromium reads every file of managed/, a temporary too: the file is
  // staged beside it, in policies/, and renamed in.
  const std::string prefix = std::string(".") + kChromiumPolicyFile + ".";
  if (int err = WriteAtomically(policies_fd.get(), prefix, managed_fd.get(), kChromiumPolicyFile,
                                text, 0644, static_cast<uid_t>(-1), static_cast<gid_t>(-1))) {
    Complain(what + "cannot write " + place.Show(managed + "/" + kChromiumPolicyFile) + ": " +
             Reason(err));
  }
}

// ---- Firefox ----------------------------------------------------------

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
    std::vector<std::string> tuples;
    ForEachEntry(lib.get(), [&](const dirent& entry) {
      if (strstr(entry.d_name, "-linux-gnu") != nullptr) tuples.emplace_back(entry.d_name);
      return true;
    });
    std::sort(tuples.begin(), tuples.end());
    for (const std::string& tuple : tuples) candidates.push_back("usr/lib/" + tuple + module);
  }
  candidates.push_back("usr/lib64" + module);
  candidates.push_back("usr/lib" + module);
  for (const std::string& candidate : candidates) {
    if (IsFileBelow(place, candidate)) return "/" + candidate;
  }
  return "";
}

bool Exists(int dir_fd, const char* name) {
  struct stat st;
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Merges the tool's entry into `dir`/policies.json (made when `create`).
void MergeFirefoxFile(const Place& place, const std::string& dir, bool create,
                      const std::string& module_path) {
  const std::string file = dir + "/" + kPoliciesName;
  const std::string shown = place.Show(file);
  const std::string untouched = "; left as it is, and Firefox does not follow the system store";
  const std::string untrusted =
      " (or a directory above it in the image) is another user's or writable by others; "
      "Firefox does not follow the system store";
  UniqueFd dir_fd;
  if (create) {
    // Nothing is made in a directory that is not trusted.
    for (const char* parent : {"etc", "etc/firefox"}) {
      const UniqueFd parent_fd = place.MakeDir(parent);
      if (!parent_fd) return Complain("Firefox: " + place.Show(parent) + ": " + Reason(errno));
      if (!place.Trusted(parent_fd.get())) {
        return Complain("Firefox: " + place.Show(parent) + untrusted);
      }
    }
    dir_fd = place.MakeDir(dir);
  } else {
    dir_fd = place.OpenDir(dir);
  }
  if (!dir_fd) return Complain("Firefox: " + place.Show(dir) + ": " + Reason(errno));
  if (!place.Trusted(dir_fd.get())) return Complain("Firefox: " + place.Show(dir) + untrusted);
  std::string text;
  struct stat st{};
  const int err = ReadPolicyFile(dir_fd.get(), kPoliciesName, &text, &st);
  const bool exists = err == 0;
  if (err == ELOOP) return Complain("Firefox: " + shown + " is a link" + untouched);
  if (err != 0 && err != ENOENT) return Complain("Firefox: " + shown + ": " + Reason(err) + untouched);
  if (exists && text.empty()) {
    // Firefox reads an empty file as one that does not parse.
    return Complain("Firefox: " + shown + " is empty" + untouched);
  }
  std::string merged;
  switch (MergeFirefoxPolicies(text, module_path, &merged)) {
    case FirefoxMerge::kUnchanged:
      return;
    case FirefoxMerge::kUnparseable:
      return Complain("Firefox: " + shown + " is not valid JSON" + untouched);
    case FirefoxMerge::kUnexpected:
      return Complain("Firefox: " + shown + " does not hold a policies object the tool can add to" +
                      untouched);
    case FirefoxMerge::kMerged:
      break;
  }
  const std::string prefix = std::string(".") + kPoliciesName + ".tkvcert-";
  const int write_err =
      exists ? WriteAtomically(dir_fd.get(), prefix, dir_fd.get(), kPoliciesName, merged,
                               st.st_mode & 07777, st.st_uid, st.st_gid)
             : WriteAtomically(dir_fd.get(), prefix, dir_fd.get(), kPoliciesName, merged, 0644,
                               static_cast<uid_t>(-1), static_cast<gid_t>(-1));
  if (write_err != 0) Complain("Firefox: cannot write " + shown + ": " + Reason(write_err));
}

// The installations of Firefox in the root, by directory.
std::vector<std::string> InstalledFirefoxes(const Place& place) {
  std::vector<std::string> installed;
  for (const FirefoxInstallation& firefox : kFirefoxInstallations) {
    if (IsFileBelow(place, std::string(firefox.dir) + "/" + firefox.program)) {
      installed.emplace_back(firefox.dir);
    }
  }
  return installed;
}

void UpdateFirefox(const Place& place, const std::vector<std::string>& installed) {
  const std::string module_path = TrustModulePath(place);
  if (module_path.empty()) {
    return Complain("Firefox: p11-kit's trust module (p11-kit-trust.so, Debian's p11-kit-modules) "
                    "is not installed; Firefox does not follow the system store");
  }
  // The file Firefox reads: the machine-wide one when it exists; else the
  // installation's own, when it has one (making the machine-wide file
  // would switch that one off); else the machine-wide one, made.
  if (const UniqueFd etc_dir = place.OpenDir(kFirefoxPoliciesDir)) {
    if (Exists(etc_dir.get(), kPoliciesName)) {
      return MergeFirefoxFile(place, kFirefoxPoliciesDir, false, module_path);
    }
  }
  bool merged_into_installation = false;
  for (const std::string& dir : installed) {
    const std::string distribution = dir + "/distribution";
    const UniqueFd distribution_fd = place.OpenDir(distribution);
    if (distribution_fd && Exists(distribution_fd.get(), kPoliciesName)) {
      MergeFirefoxFile(place, distribution, false, module_path);
      merged_into_installation = true;
    }
  }
  if (!merged_into_installation) MergeFirefoxFile(place, kFirefoxPoliciesDir, true, module_path);
}

}  // namespace

void UpdateBrowserPolicies(const StoreLocation& location, int anchors_fd) {
  const DWORD last_error = GetLastError();
  const int saved_errno = errno;
  const Place place(*location.root);
  const bool off = BrowsersSwitchedOff(getenv("TKVCERT_BROWSERS"));
  std::vector<const ChromiumBrowser*> chromiums;
  for (const ChromiumBrowser& browser : kChromiumBrowsers) {
    if (place.OpenDir(browser.config_dir)) chromiums.push_back(&browser);
  }
  const std::vector<std::string> firefoxes = off ? std::vector<std::string>() : InstalledFirefoxes(place);
  // A machine (or an image) without these browsers costs no scan.
  if (chromiums.empty() && firefoxes.empty()) {
    SetLastError(last_error);
    errno = saved_errno;
    return;
  }
  const std::vector<std::vector<BYTE>> anchors =
      off ? std::vector<std::vector<BYTE>>() : ManagedAnchors(location, anchors_fd);
  const std::string text = anchors.empty() ? "" : ChromiumPolicyText(anchors);
  for (const ChromiumBrowser* browser : chromiums) {
    if (anchors.empty()) {
      RemoveChromiumFile(place, *browser, std::string(browser->config_dir) + "/policies/managed");
    } else {
      WriteChromiumFile(place, *browser, text);
    }
  }
  // The module follows the store from then on; with nothing of the tool's
  // in the store there is nothing to add, and what was added stays (see the
  // README: a machine setting, undone by the admin).
  if (!anchors.empty() && !firefoxes.empty()) UpdateFirefox(place, firefoxes);
  SetLastError(last_error);
  errno = saved_errno;
}

}  // namespace tkv
