#include "platform/posix/change/store_publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/anchors/store_trust.h"
#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/browsers/browser_policies.h"
#include "platform/posix/change/hash_links.h"
#include "platform/posix/change/hook_announcements.h"
#include "platform/posix/sandbox/refresh_command.h"

namespace tkv {
namespace {

// The bundle's directory, which the refresh writes in, opened before it
// runs. An image's refresh may put a link in its place, to a host directory
// bound into the image: after it, the tool writes there only through this
// descriptor, and reads there only while the path still leads to it.
class BundleDirectory {
 public:
  BundleDirectory(const RootDirectory& root, const StoreLayout& layout)
      : root_(root), relative_(BundleDirectoryOf(layout)) {
    fd_ = root_.OpenBelow(relative_, O_RDONLY | O_DIRECTORY);
    if (fd_ && root_.CheckWritable(fd_.get(), relative_, &refusal_) != ERROR_SUCCESS) fd_.reset();
  }

  // ERROR_ACCESS_DENIED, with `why`, unless the path leads to the directory
  // opened before, or to none; one the refresh made must be the root's to
  // write, and is kept from then on.
  DWORD Check(std::string* why) {
    if (!refusal_.empty()) {
      *why = refusal_;
      return ERROR_ACCESS_DENIED;
    }
    UniqueFd now = root_.OpenBelow(relative_, O_RDONLY | O_DIRECTORY);
    if (!fd_) {
      if (now && root_.CheckWritable(now.get(), relative_, why) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
      fd_ = std::move(now);
      return ERROR_SUCCESS;
    }
    struct stat kept;
    struct stat found;
    if (now && fstat(fd_.get(), &kept) == 0 && fstat(now.get(), &found) == 0 && kept.st_dev == found.st_dev &&
        kept.st_ino == found.st_ino) {
      return ERROR_SUCCESS;
    }
    *why = root_.DisplayPath(relative_) + " after the refresh: it no longer leads to the directory it was before " +
           "the refresh ran, which may have put a link to elsewhere in its place";
    return ERROR_ACCESS_DENIED;
  }

  int fd() const { return fd_.get(); }  // -1 when there is none

 private:
  const RootDirectory& root_;
  std::string relative_;
  UniqueFd fd_;
  std::string refusal_;  // said before the refresh: the directory is not the root's to write
};

bool StatBelow(const RootDirectory& root, const char* relative, struct stat* st) {
  const UniqueFd fd = root.OpenBelow(relative, O_PATH);
  return fd && fstat(fd.get(), st) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// What a refresh killed midway leaves behind, and the next one would append
// to. One that cannot be removed is said, and left for the next run: its
// refresh clears it first too.
bool RemoveLeftover(const Command& command, const StoreLocation& location, const BundleDirectory& certs) {
  const char* leftover = location.layout->killed_refresh_leftover;
  if (leftover == nullptr) return true;
  if (certs.fd() < 0 || unlinkat(certs.fd(), BaseName(leftover).c_str(), 0) == 0 || errno == ENOENT) return true;
  command.Complain("cannot remove " + location.root->DisplayPath(leftover) +
                   ", which a refresh cut off left: " + strerror(errno));
  return false;
}

// What in the anchors can make a refresh fail or spoil the bundle: a block
// cut short (copied as it is, it swallows the certificate after it), or a
// lone private key (Debian's refresh stops at it).
void NameCauses(Command& command, const StoreLocation& location, const AnchorView& anchors) {
  std::vector<std::pair<std::string, AnchorTrouble>> causes;
  for (const auto& found : FindTroubledAnchors(anchors)) {
    if (found.second == AnchorTrouble::kCutShort || found.second == AnchorTrouble::kKeyAlone) {
      causes.push_back(found);
    }
  }
  NameTroubledAnchors(command, location, causes);
}

// The links of removed anchors before the refresh: one that changes the set
// of links (a "!" line of the conf, say) removes such orphans without a word
// to its hooks.
std::vector<std::string> OrphanedLinks(const StoreLocation& location, const BundleDirectory& certs) {
  if (certs.fd() < 0) return {};
  return LinksOfRemoved(location, certs.fd(), EntryNames(certs.fd()));
}

// The links Debian's refresh leaves for removed anchors, or took away
// without a word: the hooks hear of them, then they go. Cut off in between,
// the next refresh finds the same links and tells the hooks again.
bool AnnounceAndUnlinkRemoved(Command& command, const StoreLocation& location, const RefreshCommand& refresh,
                              int lock_fd, const std::vector<std::string>& orphaned, int certs) {
  if (certs < 0) return true;  // no bundle directory: no links either
  const std::vector<std::string> names = EntryNames(certs);
  std::vector<std::string> gone = LinksOfRemoved(location, certs, names);
  // Those the refresh took away; one it made anew names a live anchor.
  for (const std::string& name : orphaned) {
    if (std::find(names.begin(), names.end(), name) == names.end()) gone.push_back(name);
  }
  if (gone.empty()) return true;
  AnnounceRemovals(command, location, refresh, lock_fd, gone);
  std::string why;
  if (RemoveLinks(certs, names, gone, &why) == ERROR_SUCCESS) return true;
  command.Complain("cannot take away the links of removed anchors in " +
                   location.root->DisplayPath(BundleDirectoryOf(*location.layout)) + ": " + why);
  return false;
}

// Debian's refresh leaves the bundle as it was when no anchor at all is
// left, which would leave the last removed one trusted: the bundle is
// emptied as a refresh would.
bool EmptyStaleBundle(const Command& command, const StoreLocation& location, const struct stat* before, int certs) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  struct stat after;
  if (before == nullptr || !StatBelow(root, layout.bundle, &after) || !SameFile(*before, after) ||
      after.st_size == 0) {
    return true;
  }
  bool any = false;
  DWORD code = AnyFileBelowHolds(root, layout.anchors_dir, layout.reads, nullptr, &any);
  if (code == ERROR_SUCCESS && any) return true;
  if (code == ERROR_SUCCESS) {
    const std::string name = BaseName(layout.bundle);
    code = certs >= 0 ? WriteAtomically(certs, "." + name + ".tkvcert-", certs, name, NewFile{})
                      : ERROR_PATH_NOT_FOUND;
  }
  if (code == ERROR_SUCCESS) return true;
  command.Complain("cannot empty the stale bundle " + root.DisplayPath(layout.bundle) + ": " + strerror(errno));
  return false;
}

// Each step once, in order, each in the bundle's directory as it was
// before the refresh (and the hooks that a step runs); the bundle's check
// ends the loop when it fails.
DWORD RunSteps(Command& command, const StoreLocation& location, const RefreshCommand& refresh,
               const Publication& publication, const std::vector<AfterRefresh>& steps, const struct stat* before,
               const std::vector<std::string>& orphaned, BundleDirectory& certs, Published* published) {
  for (const AfterRefresh step : steps) {
    std::string why;
    if (certs.Check(&why) != ERROR_SUCCESS) {
      command.Complain("refusing " + why + "; nothing more is done there");
      return ERROR_ACCESS_DENIED;
    }
    switch (step) {
      case AfterRefresh::kAnnounceRemovals:
        published->tidy =
            AnnounceAndUnlinkRemoved(command, location, refresh, publication.lock_fd, orphaned, certs.fd()) &&
            published->tidy;
        break;
      case AfterRefresh::kEmptyStaleBundle:
        published->tidy = EmptyStaleBundle(command, location, before, certs.fd()) && published->tidy;
        break;
      case AfterRefresh::kCheckBundle:
        if (CheckBundle(location, publication.expected, &why) != ERROR_SUCCESS) {
          command.Complain(why);
          NameCauses(command, location, *publication.anchors);
          return ERROR_FUNCTION_FAILED;
        }
        break;
      case AfterRefresh::kCheckReadable:
        // The bundle shows the change as the store reads it, block by
        // block; libcrypto's reader gives up on the whole of it at one block
        // cut short.
        if (!ClientsCanReadBundle(location)) {
          command.Complain("OpenSSL's clients read no certificate of " +
                           location.root->DisplayPath(location.layout->bundle) +
                           ": a PEM block in it is cut short or does not decode" +
                           (publication.keep_readable ? "; they read it before the change, which is taken back"
                                                      : ""));
          NameCauses(command, location, *publication.anchors);
          if (publication.keep_readable) return ERROR_FUNCTION_FAILED;
        }
        break;
      case AfterRefresh::kBrowsers:
        published->browser_files = UpdateBrowserPolicies(command, *publication.anchors, publication.expected,
                                                            /*foresee=*/false);
        break;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::vector<AfterRefresh> StepsAfterRefresh(const StoreLayout& layout, bool browsers) {
  std::vector<AfterRefresh> steps;
  for (const AfterRefresh step : layout.after_refresh) {
    if (browsers || step != AfterRefresh::kBrowsers) steps.push_back(step);
  }
  return steps;
}

DWORD PublishChange(Command& command, const StoreLocation& location, const RefreshCommand& refresh,
                    const Publication& publication, const std::vector<AfterRefresh>& steps, Published* published) {
  const StoreLayout& layout = *location.layout;
  *published = Published();
  BundleDirectory certs(*location.root, layout);
  std::string why;
  if (certs.Check(&why) != ERROR_SUCCESS) {
    command.Complain("refusing " + why + "; the refresh is not run");
    return ERROR_ACCESS_DENIED;
  }
  std::vector<std::string> orphaned;
  for (const BeforeRefresh step : layout.before_refresh) {
    switch (step) {
      case BeforeRefresh::kClearLeftover:
        published->tidy = RemoveLeftover(command, location, certs) && published->tidy;
        break;
      case BeforeRefresh::kNoteOrphanedLinks:
        orphaned = OrphanedLinks(location, certs);
        break;
    }
  }
  struct stat before;
  const bool had_bundle = StatBelow(*location.root, layout.bundle, &before) && S_ISREG(before.st_mode);
  const RefreshOutcome outcome = RunRefreshCommand(refresh.argv, refresh.sandbox, publication.lock_fd,
                                                   command.clock().TimeLeft(publication.use));
  if (outcome.code == ERROR_TIMEOUT) {
    command.Complain("the refresh " + refresh.argv[0] + " ran past its time limit and was stopped");
    return outcome.code;
  }
  PassOnOutput(command, refresh.argv[0], outcome);
  if (outcome.code != ERROR_SUCCESS) {
    NameCauses(command, location, *publication.anchors);
    return outcome.code;
  }
  return RunSteps(command, location, refresh, publication, steps, had_bundle ? &before : nullptr, orphaned, certs,
                  published);
}

DWORD RunAfterRefresh(Command& command, const StoreLocation& location, const RefreshCommand& refresh,
                      const Publication& publication, const std::vector<AfterRefresh>& steps, Published* published) {
  *published = Published();
  BundleDirectory certs(*location.root, *location.layout);
  return RunSteps(command, location, refresh, publication, steps, nullptr, {}, certs, published);
}

}  // namespace tkv
