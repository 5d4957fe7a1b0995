#include "platform/posix/change/store_plan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/anchors/store_trust.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/change/hook_announcements.h"

namespace tkv {
namespace {

// The anchors directory, where every change writes: never on a file system
// that a link of the root's led to and that holds no anchors of its own.
DWORD CheckAnchorsWritable(const Command& command, const StoreLocation& location, int anchors_fd) {
  std::string why;
  if (location.root->CheckWritable(anchors_fd, location.layout->anchors_dir, &why) == ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  command.Complain("refusing " + why);
  return ERROR_ACCESS_DENIED;
}

// The first anchor file that holds `der`, when the bundle already holds it
// too; "" otherwise. The anchors are read only when the bundle holds it:
// adding a certificate that clients do not trust yet costs one bundle read
// more.
std::string LocalAnchorHolding(const AnchorView& view, const std::vector<BYTE>& der) {
  std::vector<bool> held;
  if (view.BundleHolds({der}, &held) != ERROR_SUCCESS || !held[0]) return "";
  std::vector<BYTE> contents;
  for (const std::string& file : view.Files()) {
    if (view.Read(file, &contents) != ERROR_SUCCESS) continue;
    for (const AnchorBlock& block : ParseAnchorFile(contents)) {
      if (block.decoded && block.der == der) return file;
    }
  }
  return "";
}

// An addition: the certificate's own anchor, unless it is in place already,
// or another local anchor that the bundle already shows holds it, which
// pins it as well; a second copy would only be one more file to remove. A
// certificate of the distribution's set gets none: lifting the family's
// distrust brings the set's own copy back, and a local one would keep it
// trusted here after the distribution drops or distrusts it.
DWORD PlanAddition(const StoreLocation& location, const AnchorView& view, const std::vector<BYTE>& der,
                   ChangePlan* plan) {
  const std::string name = AnchorFileName(der);
  const AnchorFile own{PemCertificate(der)};
  if (name.empty() || own.contents.empty()) return ERROR_NOT_ENOUGH_MEMORY;
  plan->expected.added.push_back(der);
  if (view.Holds(name, own)) return ERROR_SUCCESS;
  DistributionCertificate in_set;
  if (!plan->distrust.empty()) {
    // A distrust that is no set's (an admin's blocklist of a local CA)
    // leaves nothing to trust once lifted but the anchor written here.
    if (FindInDistributionSet(location, der, &in_set)) {
      plan->set_trust = SetTrust::kTrustedAgain;
      plan->set_file = in_set.file;
      return ERROR_SUCCESS;
    }
    plan->edits.push_back({"", name, false, own});
    return ERROR_SUCCESS;
  }
  const std::string holder = LocalAnchorHolding(view, der);
  if (!holder.empty() && holder != name) {
    plan->already_held_by = holder;
    return ERROR_SUCCESS;
  }
  // One the set trusts and the bundle lags (a change cut off before its
  // refresh) only needs the refresh.
  if (holder.empty() && FindInDistributionSet(location, der, &in_set) && !in_set.distrusted) {
    plan->set_trust = SetTrust::kTrustedAlready;
    plan->set_file = in_set.file;
    return ERROR_SUCCESS;
  }
  plan->edits.push_back({"", name, false, own});
  return ERROR_SUCCESS;
}

// A copy found: the file, its text, and its blocks.
struct Copy {
  std::string relative;
  std::vector<BYTE> contents;
  std::vector<AnchorBlock> blocks;
};

// Every copy of `der` that the refresh reads.
std::vector<Copy> FindCopies(const AnchorView& view, const std::vector<BYTE>& der) {
  std::vector<Copy> copies;
  for (const std::string& relative : view.Files()) {
    Copy copy{relative, {}, {}};
    if (view.Read(relative, &copy.contents) != ERROR_SUCCESS) continue;
    copy.blocks = ParseAnchorFile(copy.contents);
    for (const AnchorBlock& block : copy.blocks) {
      if (block.decoded && block.der == der) {
        copies.push_back(std::move(copy));
        break;
      }
    }
  }
  return copies;
}

// The file's text without the blocks that hold `der`.
std::string WithoutCertificate(const Copy& copy, const std::vector<BYTE>& der);

bool OnlyCertificate(const Copy& copy, const std::vector<BYTE>& der) {
  for (const AnchorBlock& block : copy.blocks) {
    if (!block.decoded || block.der != der) return false;
  }
  return true;
}

// Whether the file keeps a PEM block that is no certificate (a private key)
// beside it: the admin's, never deleted with the certificate, nor left
// alone under a name the refresh reads, which Debian's refresh stops at.
bool KeepsOtherBlocks(const Copy& copy, const std::vector<BYTE>& der) {
  const std::string rest = WithoutCertificate(copy, der);
  return PemBlockScanner(reinterpret_cast<const BYTE*>(rest.data()), rest.size()).HasAny();
}

std::string WithoutCertificate(const Copy& copy, const std::vector<BYTE>& der) {
  std::string rest;
  size_t from = 0;
  for (const AnchorBlock& block : copy.blocks) {
    if (!block.decoded || block.der != der) continue;
    rest.append(copy.contents.begin() + static_cast<long>(from),
                copy.contents.begin() + static_cast<long>(block.begin));
    from = block.end;
  }
  rest.append(copy.contents.begin() + static_cast<long>(from), copy.contents.end());
  return rest;
}

// The other certificate blocks of a file, and nothing else: what stays of a
// file that is not the store's when it is written as one of the store's.
// A key or anything else kept beside the certificates stays where it was.
// A block that does not decode is dropped too: no client trusts it, and
// one with no END line runs to the end of the file, over whatever follows.
std::string OtherCertificates(const Copy& copy, const std::vector<BYTE>& der) {
  std::string rest;
  for (const AnchorBlock& block : copy.blocks) {
    if (!block.decoded || block.der == der) continue;
    rest.append(copy.contents.begin() + static_cast<long>(block.begin),
                copy.contents.begin() + static_cast<long>(block.end));
  }
  return rest;
}

// Where a file's blocks that are not certificates (a private key) stay once
// its only certificate is removed: a name beside it that the family's
// refresh does not read, since Debian's stops at a file of a key alone, and
// one that copies files whole would publish the key. p11-kit's passes over
// such blocks and copies none, so there the file itself keeps them.
std::string KeptBlocksName(AnchorSelection reads, const std::string& name) {
  const bool crt = name.size() > 4 && name.compare(name.size() - 4, 4, ".crt") == 0;
  const std::string stem = crt ? name.substr(0, name.size() - 4) : name;
  switch (reads) {
    case AnchorSelection::kCrtFilesBelow:
      return stem + ".key";
    case AnchorSelection::kTopRegularVisible:
      return "." + stem + ".key";
    case AnchorSelection::kTopNonDirectories:
    case AnchorSelection::kEveryFileBelow:
      break;
  }
  return name;
}

// The file's other blocks kept with its owner, readable by no one its mode
// kept out, by no other user at all, and executable by no one; under a
// name of their own unless the refresh passes over them. One that name
// already holds, with other contents, is the admin's: the removal is refused.
DWORD PlanKeepingOtherBlocks(const Command& command, const StoreLocation& location, const Copy& copy,
                             const std::vector<BYTE>& der, const AnchorView& view, int parent_fd,
                             const struct stat& st, AnchorEdit edit, ChangePlan* plan) {
  const std::string kept_name = KeptBlocksName(location.layout->reads, edit.name);
  const AnchorFile kept{WithoutCertificate(copy, der), st.st_mode & 0660, st.st_uid, st.st_gid};
  const std::string kept_relative = (edit.parent.empty() ? "" : edit.parent + "/") + kept_name;
  if (kept_name != edit.name) {
    struct stat there;
    if (view.Stat(kept_relative, &there, parent_fd) && !view.Holds(kept_relative, kept)) {
      command.Complain("refusing to remove the certificate of " + location.anchors_path() + "/" + copy.relative +
                       ": the file keeps a private key (or another PEM block) beside it, which would go to " +
                       location.anchors_path() + "/" + kept_relative +
                       ", and that name is taken; move the key out of the anchors directory, then run again");
      return ERROR_ACCESS_DENIED;
    }
    plan->edits.push_back({edit.parent, kept_name, false, kept});
    edit.remove = true;
  } else {
    edit.file = kept;
  }
  plan->edits.push_back(std::move(edit));
  plan->kept_aside.emplace_back(copy.relative, kept_relative);
  return ERROR_SUCCESS;
}

// What stays of a copy reached through a link, as a file of the store's in
// the link's place: the target's other certificates, readable by no one
// the target's mode and group keep out, writable by its owner alone,
// executable by no one.
DWORD LinkedRest(const StoreLocation& location, const Copy& copy, const std::vector<BYTE>& der, AnchorFile* rest) {
  const UniqueFd target =
      location.root->OpenBelow(std::string(location.layout->anchors_dir) + "/" + copy.relative, O_PATH);
  struct stat st;
  if (!target || fstat(target.get(), &st) != 0) return ErrorFromErrno(errno);
  rest->contents = OtherCertificates(copy, der);
  rest->mode = st.st_mode & 0644;
  rest->gid = st.st_gid;
  return ERROR_SUCCESS;
}

// Takes one copy out of the anchors tree. A copy under a link goes with the
// link, never through it: the link's target is not the store's to change,
// so its other certificates stay as a file in the link's place. A copy in a
// directory reached through a link is refused: removing that link would
// take whatever else it holds with it. A file of the store's own that holds
// other certificates is rewritten in place with its mode and owner, and all
// but the certificate's blocks as they were: it gains no reader, and an
// admin's notes beside them stay; one that holds only this certificate goes.
DWORD PlanCopyRemoval(const Command& command, const StoreLocation& location, const AnchorView& view,
                      const Copy& copy, const std::vector<BYTE>& der, ChangePlan* plan) {
  const size_t slash = copy.relative.rfind('/');
  AnchorEdit edit;
  edit.parent = slash == std::string::npos ? "" : copy.relative.substr(0, slash);
  edit.name = copy.relative.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::string shown = location.anchors_path() + "/" + copy.relative;
  UniqueFd parent;
  if (!edit.parent.empty()) {
    parent = OpenBeneathWithoutLinks(view.fd(), edit.parent, O_RDONLY | O_DIRECTORY);
    if (!parent && (errno == ELOOP || errno == EXDEV)) {
      command.Complain("cannot remove the copy in " + shown +
                       ": a linked directory leads to it, and removing the link would take all it holds");
      return ERROR_ACCESS_DENIED;
    }
    if (!parent) return ErrorFromErrno(errno);
    std::string why;
    if (location.root->CheckWritable(parent.get(), std::string(location.layout->anchors_dir) + "/" + edit.parent,
                                     &why) != ERROR_SUCCESS) {
      command.Complain("cannot remove the copy in " + shown + ": " + why);
      return ERROR_ACCESS_DENIED;
    }
  }
  struct stat st;
  const int parent_fd = parent ? parent.get() : -1;
  if (!view.Stat(copy.relative, &st, parent_fd)) return ErrorFromErrno(errno);
  if (!S_ISLNK(st.st_mode) && OnlyCertificate(copy, der) && KeepsOtherBlocks(copy, der)) {
    return PlanKeepingOtherBlocks(command, location, copy, der, view, parent_fd, st, std::move(edit), plan);
  }
  edit.remove = OnlyCertificate(copy, der);
  if (!edit.remove && S_ISLNK(st.st_mode)) {
    if (DWORD code = LinkedRest(location, copy, der, &edit.file)) return code;
    edit.remove = edit.file.contents.empty();  // no other certificate
  } else if (!edit.remove) {
    edit.file = {WithoutCertificate(copy, der), st.st_mode & 07777, st.st_uid, st.st_gid};
  }
  plan->edits.push_back(std::move(edit));
  return ERROR_SUCCESS;
}

// A certificate that clients read in the bundle, and that no file the tool
// can read yields: from a file too large or unreadable for it, which the
// refresh reads all the same, so that the removal cannot be made and is
// refused, naming the file where only one can be it; or from none at all,
// a bundle that lags the anchors, which the refresh brings back in line.
DWORD PlanBundleOnlyRemoval(const Command& command, const StoreLocation& location, const AnchorView& view,
                            const std::vector<BYTE>& der, ChangePlan* plan) {
  const RootDirectory& root = *location.root;
  std::vector<bool> held;
  if (view.BundleHolds({der}, &held) != ERROR_SUCCESS || !held[0]) return CRYPT_E_NOT_FOUND;
  std::vector<UnreadFile> unread;
  std::vector<BYTE> contents;
  for (const std::string& relative : view.Files()) {
    const DWORD code = view.Read(relative, &contents);
    if (KeepsUnread(code)) unread.push_back({location.anchors_path() + "/" + relative, code});
  }
  std::vector<DistributionCertificate> set;
  ReadDistributionSet(location, /*distrusted_too=*/false, &set, &unread);
  const std::string bundle = root.DisplayPath(location.layout->bundle);
  if (unread.empty()) {
    command.Complain("no anchor holds it, but clients still read it in " + bundle +
                     ", which lags the anchors: the refresh takes it out");
    plan->expected.removed.push_back(der);
    return ERROR_SUCCESS;
  }
  const auto why = [](DWORD code) {
    return code == ERROR_FILE_TOO_LARGE ? "too large for the tool to read" : "unreadable to the tool";
  };
  if (unread.size() == 1) {
    command.Complain("cannot remove it: clients read it in " + bundle + ", copied there from " + unread[0].path +
                     ", which is " + why(unread[0].code) + "; mend or move that file, then run again");
  } else {
    std::string files;
    for (const UnreadFile& file : unread) files += (files.empty() ? "" : ", ") + file.path + " (" + why(file.code) + ")";
    command.Complain("cannot remove it: clients read it in " + bundle + ", copied there from one of the files " +
                     "the tool cannot read: " + files + "; mend or move the one that holds it, then run again");
  }
  return unread[0].code;
}

DWORD PlanRemoval(const Command& command, const StoreLocation& location, const AnchorView& view,
                  const std::vector<BYTE>& der, ChangePlan* plan) {
  const std::vector<Copy> copies = FindCopies(view, der);
  if (copies.empty() && plan->distrust.empty()) return PlanBundleOnlyRemoval(command, location, view, der, plan);
  plan->expected.removed.push_back(der);
  if (!plan->distrust.empty()) plan->expected.distrusted.push_back(der);
  for (const Copy& copy : copies) {
    plan->copies.push_back(copy.relative);
    if (DWORD code = PlanCopyRemoval(command, location, view, copy, der, plan)) return code;
  }
  // Debian's refresh leaves a removed anchor's links, which the store tells
  // the hooks of, as its own removal step would.
  const StoreLayout& layout = *location.layout;
  const bool hooks_run = location.root->is_host() || location.refresh_inside_root;
  if (!copies.empty() && layout.RunsAfterRefresh(AfterRefresh::kAnnounceRemovals) && layout.hooks_dir != nullptr && hooks_run) {
    plan->hooks = ListHooks(*location.root, layout.hooks_dir);
  }
  return ERROR_SUCCESS;
}

// A refresh copies the anchors into the bundle as they are, and one block
// cut short makes libcrypto's reader give up on the whole bundle: a change
// never turns a bundle that clients read into one they cannot. One they
// cannot read already is published all the same, and said after the refresh.
DWORD LookBeforeWriting(Command& command, const AnchorView& view, ChangePlan* plan) {
  const StoreLocation& location = view.location();
  const RefreshOutlook outlook = LookBeforeRefresh(view);
  plan->bundle_readable = outlook.bundle_readable;
  if (outlook.cut_short.empty()) return ERROR_SUCCESS;
  command.Complain("refusing the change: OpenSSL's clients read " + location.root->DisplayPath(location.layout->bundle) +
                   " today, and would read none of it once the refresh copies in what follows; mend or move "
                   "the file, then run again");
  NameTroubledAnchors(command, location, outlook.cut_short);
  return ERROR_INVALID_DATA;
}

}  // namespace

DWORD PlanChange(Command& command, RefreshCommand* refresh, const AnchorView& view, ChangeKind kind,
                 const std::vector<BYTE>& der, ChangePlan* plan) {
  const StoreLocation& location = view.location();
  *plan = ChangePlan();
  if (DWORD code = PlanRefresh(command, location, refresh)) return code;
  if (DWORD code = CheckAnchorsWritable(command, location, view.fd())) return code;
  std::string why;
  if (DWORD code = PlanDistrust(location, der, kind == ChangeKind::kRemove, &plan->distrust, &why)) {
    command.Complain((code == ERROR_ACCESS_DENIED ? "refusing " : "") + why);
    return code;
  }
  const DWORD planned = kind == ChangeKind::kAdd ? PlanAddition(location, view, der, plan)
                                                 : PlanRemoval(command, location, view, der, plan);
  if (planned != ERROR_SUCCESS) return planned;
  plan->refresh = !plan->edits.empty() || !plan->distrust.empty() || !view.BundleShows(plan->expected);
  if (plan->refresh) {
    if (DWORD code = LookBeforeWriting(command, view, plan)) return code;
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
