#include "platform/posix/store_refresh.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "platform/posix/anchor_format.h"
#include "platform/posix/command_clock.h"
#include "platform/posix/complaint.h"
#include "platform/posix/anchor_listing.h"
#include "platform/posix/directory_entries.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/last_error.h"
#include "platform/posix/refresh_command.h"
#include "platform/posix/trust_bundle.h"

namespace tkv {
namespace {

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A directory below the root and the name of an entry in it.
UniqueFd OpenParent(const RootDirectory& root, const std::string& relative) {
  return root.OpenBelow(DirName(relative), O_RDONLY | O_DIRECTORY);
}

// OpenSSL's lookup by subject hash: eight hex digits, a dot, an index.
bool ParseHashLinkName(const char* name, std::string* hash, int* index) {
  if (strlen(name) < 10 || name[8] != '.') return false;
  for (int i = 0; i < 8; ++i) {
    if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  int value = 0;
  for (const char* p = name + 9; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > 100000) return false;
    value = value * 10 + (*p - '0');
  }
  hash->assign(name, 8);
  *index = value;
  return true;
}

std::string ReadLinkAt(int dir_fd, const std::string& name) {
  char target[PATH_MAX];
  const ssize_t n = readlinkat(dir_fd, name.c_str(), target, sizeof target);
  return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

// OpenSSL stops at the first missing index of a hash: close the gaps.
void Renumber(int certs_fd, const std::string& hash, std::vector<int> indices) {
  std::sort(indices.begin(), indices.end());
  for (size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] == static_cast<int>(i)) continue;
    renameat(certs_fd, (hash + "." + std::to_string(indices[i])).c_str(), certs_fd,
             (hash + "." + std::to_string(i)).c_str());
  }
}

// The links the refresh made for anchors that are gone (removed, or made by
// a change that was rolled back or cut off), by name in `certs_fd`.
std::vector<std::string> LinksOfRemoved(const StoreLocation& location, int certs_fd,
                                        const std::vector<std::string>& names) {
  // As the refresh names them, from inside the root.
  const std::string anchors = std::string("/") + location.layout->anchors_dir + "/";
  std::vector<std::string> gone;
  for (const std::string& name : names) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".pem") != 0) continue;
    const std::string target = ReadLinkAt(certs_fd, name);
    if (target.compare(0, anchors.size(), anchors) != 0) continue;
    if (location.root->OpenBelow(target.substr(1), O_PATH) || errno != ENOENT) continue;
    gone.push_back(name);
  }
  return gone;
}

// Removes those links, and the hash links that point at them, as a fresh
// refresh would.
void RemoveLinks(int certs_fd, const std::vector<std::string>& names,
                 const std::vector<std::string>& gone) {
  const std::set<std::string> removed(gone.begin(), gone.end());
  std::map<std::string, std::vector<int>> kept;
  std::set<std::string> touched;
  for (const std::string& name : names) {
    std::string hash;
    int index = 0;
    if (!ParseHashLinkName(name.c_str(), &hash, &index)) continue;
    if (removed.count(ReadLinkAt(certs_fd, name)) != 0 && unlinkat(certs_fd, name.c_str(), 0) == 0) {
      touched.insert(hash);
    } else {
      kept[hash].push_back(index);
    }
  }
  for (const std::string& name : gone) unlinkat(certs_fd, name.c_str(), 0);
  for (const std::string& hash : touched) Renumber(certs_fd, hash, kept[hash]);
}

// Passes on what the admin must hear of a refresh, on standard error: when
// it failed, or told (as Debian's does, on its standard output) that a hook
// failed ("E: <hook> exited with code <n>."), everything it wrote to
// standard error and those lines; when all went well, nothing of its
// chatter (openssl rehash's warnings about the bundle, say).
void PassOn(const RefreshOutcome& outcome) {
  std::vector<std::string> failures;
  for (size_t at = 0; at < outcome.output.size();) {
    size_t end = outcome.output.find('\n', at);
    if (end == std::string::npos) end = outcome.output.size();
    if (outcome.output.compare(at, 3, "E: ") == 0) failures.push_back(outcome.output.substr(at, end - at));
    at = end + 1;
  }
  if (outcome.code == ERROR_SUCCESS && failures.empty()) return;
  for (size_t at = 0; at < outcome.errors.size();) {
    size_t end = outcome.errors.find('\n', at);
    if (end == std::string::npos) end = outcome.errors.size();
    if (end > at) Complain(outcome.errors.substr(at, end - at));
    at = end + 1;
  }
  for (const std::string& line : failures) Complain(line);
}

// The programs in the family's hooks directory, as run-parts picks them:
// executable files named with letters, digits, '_' and '-', in byte order.
std::vector<std::string> Hooks(const RootDirectory& root, const std::string& hooks_dir) {
  std::vector<std::string> hooks;
  const UniqueFd dir = root.OpenBelow(hooks_dir, O_RDONLY | O_DIRECTORY);
  if (!dir) return hooks;
  ForEachEntry(dir.get(), [&](const dirent& entry) {
    const std::string name = entry.d_name;
    if (name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") !=
        std::string::npos) {
      return true;
    }
    const UniqueFd hook = root.OpenBelow(hooks_dir + "/" + name, O_PATH);
    struct stat st;
    if (hook && fstat(hook.get(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
      hooks.push_back("/" + hooks_dir + "/" + name);
    }
    return true;
  });
  std::sort(hooks.begin(), hooks.end());
  return hooks;
}

// Debian's refresh tells its hooks of the anchors it adds, and of those
// deselected in its configuration, but not of one that is simply gone: the
// store tells them, with the lines its removal step would send, where and
// how the refresh ran them. A bare root's hooks are the image's programs,
// which the host never runs.
void AnnounceRemovals(const StoreLocation& location, const RefreshCommand& refresh, int lock_fd,
                      const std::vector<std::string>& gone) {
  const StoreLayout& layout = *location.layout;
  if (gone.empty() || layout.hooks_dir == nullptr) return;
  if (!location.root->is_host() && !location.refresh_inside_root) return;
  const std::string bundle = layout.bundle;
  const std::string certs = "/" + bundle.substr(0, bundle.rfind('/')) + "/";
  std::string lines;
  for (const std::string& name : gone) lines += "-" + certs + name + "\n";
  for (const std::string& hook : Hooks(*location.root, layout.hooks_dir)) {
    const RefreshOutcome outcome =
        RunRefreshCommand({hook}, refresh.sandbox, lock_fd, TimeLeft(TimeUse::kChange), lines);
    PassOn(outcome);
    if (outcome.code == ERROR_TIMEOUT) {
      Complain("E: " + hook + " ran past its time limit and was stopped.");
    } else if (outcome.code != ERROR_SUCCESS) {
      Complain("E: " + hook + " exited with code " + std::to_string(outcome.exit_status) + ".");
    }
  }
}

// After a refresh of a family that leaves the links of removed anchors:
// the hooks hear of them, then they go. Cut off in between, the next
// refresh finds the same links and tells the hooks again.
void FinishRemovals(const StoreLocation& location, const RefreshCommand& refresh, int lock_fd) {
  const UniqueFd certs = OpenParent(*location.root, location.layout->bundle);
  if (!certs) return;
  std::vector<std::string> names;
  ForEachEntry(certs.get(), [&](const dirent& entry) {
    names.emplace_back(entry.d_name);
    return true;
  });
  const std::vector<std::string> gone = LinksOfRemoved(location, certs.get(), names);
  if (gone.empty()) return;
  AnnounceRemovals(location, refresh, lock_fd, gone);
  RemoveLinks(certs.get(), names, gone);
}

bool StatBelow(const RootDirectory& root, const char* relative, struct stat* st) {
  const UniqueFd fd = root.OpenBelow(relative, O_PATH);
  return fd && fstat(fd.get(), st) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool FileHolds(const RootDirectory& root, const std::string& relative,
               const std::vector<BYTE>* der) {
  const UniqueFd fd = root.OpenBelow(relative, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  std::vector<BYTE> contents;
  if (!fd || ReadOpenedFile(fd.get(), TKV_MAX_CERTIFICATE_FILE_SIZE, &contents) != ERROR_SUCCESS) {
    return false;
  }
  for (const AnchorBlock& block : ParseAnchorFile(contents)) {
    if (block.decoded && (der == nullptr || block.der == *der)) return true;
  }
  return false;
}

// Replaces the bundle with an empty one, atomically, as the refresh would.
void WriteEmptyBundle(const RootDirectory& root, const std::string& bundle) {
  const UniqueFd dir = OpenParent(root, bundle);
  if (!dir) return;
  const std::string temporary = BaseName(bundle) + ".tkvcert-empty";
  const UniqueFd fd(openat(dir.get(), temporary.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return;
  if (fchmod(fd.get(), 0644) != 0 || fsync(fd.get()) != 0 ||
      renameat(dir.get(), temporary.c_str(), dir.get(), BaseName(bundle).c_str()) != 0) {
    unlinkat(dir.get(), temporary.c_str(), 0);
  }
}

// What a refresh killed midway leaves behind, and the next one would append to.
void RemoveLeftover(const StoreLocation& location) {
  const char* leftover = location.layout->killed_refresh_leftover;
  if (leftover == nullptr) return;
  const UniqueFd dir = OpenParent(*location.root, leftover);
  if (dir) unlinkat(dir.get(), BaseName(leftover).c_str(), 0);
}

}  // namespace

void ForgetLink(const StoreLocation& location, const std::string& anchor_file) {
  if (!location.layout->leaves_links_of_removed) return;
  const UniqueFd certs = OpenParent(*location.root, location.layout->bundle);
  if (!certs || anchor_file.size() < 4) return;
  const std::string link = anchor_file.substr(0, anchor_file.size() - 4) + ".pem";
  if (ReadLinkAt(certs.get(), link) != std::string("/") + location.layout->anchors_dir + "/" + anchor_file) {
    return;
  }
  std::vector<std::string> names;
  ForEachEntry(certs.get(), [&](const dirent& entry) {
    names.emplace_back(entry.d_name);
    return true;
  });
  RemoveLinks(certs.get(), names, {link});
}

bool AnyFileBelowHolds(const RootDirectory& root, const std::string& base, AnchorSelection reads,
                       const std::vector<BYTE>* der) {
  const UniqueFd dir = root.OpenBelow(base, O_RDONLY | O_DIRECTORY);
  if (!dir) return false;
  for (const std::string& name : ListFilesBelow(root, base, reads, dir.get())) {
    if (FileHolds(root, base + "/" + name, der)) return true;
  }
  return false;
}

DWORD CheckBundle(const StoreLocation& location, const ExpectedTrust& expected, std::string* why) {
  const StoreLayout& layout = *location.layout;
  std::vector<std::vector<BYTE>> wanted = expected.added;
  wanted.insert(wanted.end(), expected.removed.begin(), expected.removed.end());
  std::vector<bool> held;
  const std::string bundle = location.root->DisplayPath(layout.bundle);
  if (BundleHolds(*location.root, layout.bundle, wanted, &held) != ERROR_SUCCESS) {
    *why = "cannot read the refreshed bundle " + bundle;
    return ERROR_FUNCTION_FAILED;
  }
  for (size_t i = 0; i < expected.added.size(); ++i) {
    if (held[i]) continue;
    *why = "the refreshed bundle " + bundle + " does not hold the added certificate";
    return ERROR_FUNCTION_FAILED;
  }
  for (size_t i = 0; i < expected.removed.size(); ++i) {
    if (!held[expected.added.size() + i]) continue;
    if (layout.distribution_cas != nullptr &&
        AnyFileBelowHolds(*location.root, layout.distribution_cas, AnchorSelection::kEveryFileBelow,
                          &expected.removed[i])) {
      continue;  // the distribution's own set trusts it; the README says how to distrust it
    }
    *why = "the refreshed bundle " + bundle + " still holds the removed certificate";
    return ERROR_FUNCTION_FAILED;
  }
  return ERROR_SUCCESS;
}

DWORD PublishChange(const StoreLocation& location, const RefreshCommand& refresh, int anchors_fd,
                    const ExpectedTrust& expected, TimeUse use) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  RemoveLeftover(location);
  struct stat before;
  const bool had_bundle = StatBelow(root, layout.bundle, &before) && S_ISREG(before.st_mode);
  const RefreshOutcome outcome =
      RunRefreshCommand(refresh.argv, refresh.sandbox, anchors_fd, TimeLeft(use));
  if (outcome.code == ERROR_TIMEOUT) {
    Complain("the refresh " + refresh.argv[0] + " ran past its time limit and was stopped");
    return outcome.code;
  }
  PassOn(outcome);
  if (outcome.code != ERROR_SUCCESS) return outcome.code;
  if (layout.leaves_links_of_removed) FinishRemovals(location, refresh, anchors_fd);
  struct stat after;
  if (layout.keeps_bundle_when_empty && had_bundle && StatBelow(root, layout.bundle, &after) &&
      SameFile(before, after) && after.st_size > 0 &&
      !AnyFileBelowHolds(root, layout.anchors_dir, layout.reads, nullptr)) {
    WriteEmptyBundle(root, layout.bundle);
  }
  std::string why;
  if (CheckBundle(location, expected, &why) != ERROR_SUCCESS) {
    Complain(why);
    return ERROR_FUNCTION_FAILED;
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
