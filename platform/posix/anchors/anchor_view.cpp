#include "platform/posix/anchors/anchor_view.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/base/directory_entries.h"

namespace tkv {
namespace {

void Drop(std::vector<std::vector<BYTE>>* ders, const std::vector<BYTE>& der) {
  ders->erase(std::remove(ders->begin(), ders->end(), der), ders->end());
}

}  // namespace

const AnchorView::Edit* AnchorView::EditOf(const std::string& relative) const {
  const auto found = edits_.find(relative);
  return found == edits_.end() ? nullptr : &found->second;
}

void AnchorView::List(const std::string& relative, const Edit& edit) const {
  const auto at = std::lower_bound(files_.begin(), files_.end(), relative);
  const bool listed = at != files_.end() && *at == relative;
  if (edit.removed && listed) {
    files_.erase(at);
  } else if (!edit.removed && !listed && ReadsRegularFile(location_->layout->reads, BaseName(relative))) {
    files_.insert(at, relative);
  }
}

const std::vector<std::string>& AnchorView::Files() const {
  if (listed_) return files_;
  files_ = ListAnchorFiles(*location_, fd_);
  for (const auto& edit : edits_) List(edit.first, edit.second);
  listed_ = true;
  return files_;
}

DWORD AnchorView::Read(const std::string& relative, std::vector<BYTE>* contents) const {
  const Edit* edit = EditOf(relative);
  if (edit == nullptr) return ReadAnchorFile(*location_, fd_, relative, contents);
  if (edit->removed) return ERROR_FILE_NOT_FOUND;
  contents->assign(edit->file.contents.begin(), edit->file.contents.end());
  return ERROR_SUCCESS;
}

bool AnchorView::Stat(const std::string& relative, struct stat* st, int parent_fd) const {
  const Edit* edit = EditOf(relative);
  if (edit == nullptr) {
    const std::string name = parent_fd >= 0 ? BaseName(relative) : relative;
    return fstatat(parent_fd >= 0 ? parent_fd : fd_, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
  }
  if (edit->removed) {
    errno = ENOENT;
    return false;
  }
  *st = {};
  st->st_mode = S_IFREG | edit->file.mode;
  st->st_uid = edit->file.uid == static_cast<uid_t>(-1) ? 0 : edit->file.uid;
  st->st_gid = edit->file.gid == static_cast<gid_t>(-1) ? 0 : edit->file.gid;
  st->st_size = static_cast<off_t>(edit->file.contents.size());
  return true;
}

bool AnchorView::Holds(const std::string& relative, const AnchorFile& file) const {
  const Edit* edit = EditOf(relative);
  if (edit == nullptr) {
    const std::string parent = DirName(relative);
    if (parent.empty()) return AlreadyHolds(fd_, relative, file);
    const UniqueFd dir = OpenBeneathWithoutLinks(fd_, parent, O_RDONLY | O_DIRECTORY);
    return dir && AlreadyHolds(dir.get(), BaseName(relative), file);
  }
  return !edit->removed && edit->file.contents == file.contents && edit->file.mode == file.mode &&
         (file.uid == static_cast<uid_t>(-1) || edit->file.uid == file.uid) &&
         (file.gid == static_cast<gid_t>(-1) || edit->file.gid == file.gid);
}

void AnchorView::Put(const std::string& relative, const AnchorFile& file) {
  const Edit& edit = edits_[relative] = {false, file};
  if (listed_) List(relative, edit);
}

void AnchorView::Remove(const std::string& relative) {
  const Edit& edit = edits_[relative] = {true, {}};
  if (listed_) List(relative, edit);
}

void AnchorView::Publish(const ExpectedTrust& expected) {
  for (const std::vector<BYTE>& der : expected.removed) {
    Drop(&published_.added, der);
    Drop(&published_.removed, der);
    published_.removed.push_back(der);
  }
  for (const std::vector<BYTE>& der : expected.added) {
    Drop(&published_.removed, der);
    Drop(&published_.added, der);
    published_.added.push_back(der);
  }
  for (const std::vector<BYTE>& der : expected.distrusted) {
    Drop(&published_.distrusted, der);
    published_.distrusted.push_back(der);
  }
  for (const std::vector<BYTE>& der : expected.added) Drop(&published_.distrusted, der);
}

DWORD AnchorView::BundleHolds(const std::vector<std::vector<BYTE>>& ders, std::vector<bool>* held) const {
  if (DWORD code = tkv::BundleHolds(*location_->root, location_->layout->bundle, ders, held)) return code;
  for (size_t i = 0; i < ders.size(); ++i) (*held)[i] = published_.Shows(ders[i], (*held)[i]);
  return ERROR_SUCCESS;
}

bool AnchorView::BundleShows(const ExpectedTrust& expected) const {
  std::vector<std::vector<BYTE>> wanted = expected.added;
  wanted.insert(wanted.end(), expected.removed.begin(), expected.removed.end());
  std::vector<bool> held;
  if (BundleHolds(wanted, &held) != ERROR_SUCCESS) return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (held[i] != (i < expected.added.size())) return false;
  }
  return true;
}

}  // namespace tkv
