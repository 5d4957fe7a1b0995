#include "platform/posix/change/store_publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/complaint.h"
#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/change/hash_links.h"
#include "platform/posix/change/hook_announcements.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/sandbox/refresh_command.h"
#include "platform/posix/anchors/trust_bundle.h"

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

bool StatBelow(const RootDirectory& root, const char* relative, struct stat* st) {
  const UniqueFd fd = root.OpenBelow(relative, O_PATH);
  return fd && fstat(fd.get(), st) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Located first and read only as a regular file, as every file of a root is.
DWORD FileHolds(const RootDirectory& root, const std::string& relative, const std::vector<BYTE>* der,
                bool* holds) {
  *holds = false;
  const UniqueFd located = root.OpenBelow(relative, O_PATH);
  if (!located) return ErrorFromErrno(errno);
  std::vector<BYTE> contents;
  if (DWORD code = ReadLocatedFile(located.get(), TKV_MAX_CERTIFICATE_FILE_SIZE, &contents)) return code;
  for (const AnchorBlock& block : ParseAnchorFile(contents)) {
    if (block.decoded && (der == nullptr || block.der == *der)) *holds = true;
  }
  return ERROR_SUCCESS;
}

// What a refresh killed midway leaves behind, and the next one would append to.
void RemoveLeftover(const StoreLocation& location) {
  const char* leftover = location.layout->killed_refresh_leftover;
  if (leftover == nullptr) return;
  const UniqueFd dir = OpenParent(*location.root, leftover);
  if (dir) unlinkat(dir.get(), BaseName(leftover).c_str(), 0);
}

// What a family's refresh leaves undone, each a step after it. A step that
// fails is said on standard error and leaves the change recorded, so that
// the next run takes it up again; the bundle's check decides whether
// clients see the change.

// The links Debian's refresh leaves for removed anchors: the hooks hear of
// them, then they go. Cut off in between, the next refresh finds the same
// links and tells the hooks again.
bool AnnounceAndUnlinkRemoved(const StoreLocation& location, const RefreshCommand& refresh, int lock_fd) {
  if (!location.layout->leaves_links_of_removed) return true;
  const UniqueFd certs = OpenParent(*location.root, location.layout->bundle);
  if (!certs) return true;  // no bundle directory: no links either
  const std::vector<std::string> names = EntryNames(certs.get());
  const std::vector<std::string> gone = LinksOfRemoved(location, certs.get(), names);
  if (gone.empty()) return true;
  AnnounceRemovals(location, refresh, lock_fd, gone);
  if (RemoveLinks(certs.get(), names, gone) == ERROR_SUCCESS) return true;
  Complain("cannot take away the links of removed anchors in " +
           location.root->DisplayPath(DirName(location.layout->bundle)) + ": " + strerror(errno));
  return false;
}

// Debian's refresh leaves the bundle as it was when no anchor at all is
// left, which would leave the last removed one trusted: the bundle is
// emptied as a refresh would.
bool EmptyStaleBundle(const StoreLocation& location, const struct stat* before) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  struct stat after;
  if (!layout.keeps_bundle_when_empty || before == nullptr || !StatBelow(root, layout.bundle, &after) ||
      !SameFile(*before, after) || after.st_size == 0) {
    return true;
  }
  bool any = false;
  DWORD code = AnyFileBelowHolds(root, layout.anchors_dir, layout.reads, nullptr, &any);
  if (code == ERROR_SUCCESS && any) return true;
  if (code == ERROR_SUCCESS) {
    const UniqueFd dir = OpenParent(root, layout.bundle);
    const std::string name = BaseName(layout.bundle);
    code = dir ? WriteAtomically(dir.get(), "." + name + ".tkvcert-", dir.get(), name, NewFile{})
               : ErrorFromErrno(errno);
  }
  if (code == ERROR_SUCCESS) return true;
  Complain("cannot empty the stale bundle " + root.DisplayPath(layout.bundle) + ": " + strerror(errno));
  return false;
}

}  // namespace

std::string LocalAnchorHolding(const StoreLocation& location, int anchors_fd,
                               const std::vector<BYTE>& der) {
  std::vector<bool> held;
  if (BundleHolds(*location.root, location.layout->bundle, {der}, &held) != ERROR_SUCCESS || !held[0]) {
    return "";
  }
  std::vector<BYTE> contents;
  for (const std::string& file : ListAnchorFiles(location, anchors_fd)) {
    if (ReadAnchorFile(location, anchors_fd, file, &contents) != ERROR_SUCCESS) continue;
    for (const AnchorBlock& block : ParseAnchorFile(contents)) {
      if (block.decoded && block.der == der) return file;
    }
  }
  return "";
}

DWORD AnyFileBelowHolds(const RootDirectory& root, const std::string& base, AnchorSelection reads,
                        const std::vector<BYTE>* der, bool* holds) {
  *holds = false;
  const UniqueFd dir = root.OpenBelow(base, O_RDONLY | O_DIRECTORY);
  if (!dir) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
  for (const std::string& name : ListFilesBelow(root, base, reads, dir.get())) {
    if (DWORD code = FileHolds(root, base + "/" + name, der, holds)) return code;
    if (*holds) return ERROR_SUCCESS;
  }
  return ERROR_SUCCESS;
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
    bool distributions = false;
    if (layout.distribution_cas != nullptr &&
        AnyFileBelowHolds(*location.root, layout.distribution_cas, AnchorSelection::kEveryFileBelow,
                          &expected.removed[i], &distributions) != ERROR_SUCCESS) {
      *why = "cannot read the distribution's CA set " + location.root->DisplayPath(layout.distribution_cas);
      return ERROR_FUNCTION_FAILED;
    }
    if (distributions) continue;  // the distribution's own set trusts it; the README says how to distrust it
    *why = "the refreshed bundle " + bundle + " still holds the removed certificate";
    return ERROR_FUNCTION_FAILED;
  }
  return ERROR_SUCCESS;
}

namespace {

// What in the anchors can make a refresh fail or spoil the bundle: a block
// cut short (copied as it is, it swallows the certificate after it), or a
// lone private key (Debian's refresh stops at it).
void NameCauses(const StoreLocation& location, int anchors_fd) {
  std::vector<std::pair<std::string, AnchorTrouble>> causes;
  for (const auto& found : FindTroubledAnchors(location, anchors_fd)) {
    if (found.second == AnchorTrouble::kCutShort || found.second == AnchorTrouble::kKeyAlone) {
      causes.push_back(found);
    }
  }
  NameTroubledAnchors(location, causes);
}

}  // namespace

DWORD PublishChange(const StoreLocation& location, const RefreshCommand& refresh, int anchors_fd,
                    int lock_fd, const ExpectedTrust& expected, TimeUse use, bool* tidy) {
  const StoreLayout& layout = *location.layout;
  *tidy = true;
  RemoveLeftover(location);
  struct stat before;
  const bool had_bundle = StatBelow(*location.root, layout.bundle, &before) && S_ISREG(before.st_mode);
  const RefreshOutcome outcome =
      RunRefreshCommand(refresh.argv, refresh.sandbox, lock_fd, TimeLeft(use));
  if (outcome.code == ERROR_TIMEOUT) {
    Complain("the refresh " + refresh.argv[0] + " ran past its time limit and was stopped");
    return outcome.code;
  }
  PassOnOutput(outcome);
  if (outcome.code != ERROR_SUCCESS) {
    NameCauses(location, anchors_fd);
    return outcome.code;
  }
  *tidy = AnnounceAndUnlinkRemoved(location, refresh, lock_fd);
  *tidy = EmptyStaleBundle(location, had_bundle ? &before : nullptr) && *tidy;
  std::string why;
  if (CheckBundle(location, expected, &why) != ERROR_SUCCESS) {
    Complain(why);
    NameCauses(location, anchors_fd);
    return ERROR_FUNCTION_FAILED;
  }
  // The bundle shows the change as the store reads it, block by block;
  // libcrypto's reader gives up on the whole of it at one block cut short.
  if (!ClientsCanReadBundle(location)) {
    Complain("OpenSSL's clients read no certificate of " + location.root->DisplayPath(layout.bundle) +
             ": a PEM block in it is cut short or does not decode");
    NameCauses(location, anchors_fd);
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
