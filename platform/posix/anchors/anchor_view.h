// The anchors directory as one command's changes see it: listed once, with
// the files its changes write or remove over what the disk holds, and the
// bundle as their refreshes leave it. A real run writes each change as well,
// and its view says what the disk then holds without listing it again; a
// dry run writes nothing, and its view alone holds what it would have done.
#ifndef TKVCERT_PLATFORM_POSIX_ANCHORS_ANCHOR_VIEW_H_
#define TKVCERT_PLATFORM_POSIX_ANCHORS_ANCHOR_VIEW_H_

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

class AnchorView {
 public:
  AnchorView() = default;
  // The anchors of `location`, open as `anchors_fd` (kept open by the caller).
  AnchorView(const StoreLocation& location, int anchors_fd) : location_(&location), fd_(anchors_fd) {}

  const StoreLocation& location() const { return *location_; }
  int fd() const { return fd_; }

  // The files the refresh reads (see ListAnchorFiles), listed at the first
  // call, with the edits applied.
  const std::vector<std::string>& Files() const;
  // Lists the disk again at the next call: another run may have changed it.
  void ForgetListing() { listed_ = false; }

  // A listed file's contents: as edited, or read from the disk.
  DWORD Read(const std::string& relative, std::vector<BYTE>* contents) const;
  // What `relative` is, as lstat says, an edited file being a regular one
  // with its mode and owner; false with errno ENOENT once removed. One in a
  // subdirectory is looked up in `parent_fd`, that directory opened already.
  bool Stat(const std::string& relative, struct stat* st, int parent_fd = -1) const;
  // Whether `relative` holds exactly `file`, mode and owner included.
  bool Holds(const std::string& relative, const AnchorFile& file) const;

  // A change's edits, and what clients see once its refresh ran.
  void Put(const std::string& relative, const AnchorFile& file);
  void Remove(const std::string& relative);
  void Publish(const ExpectedTrust& expected);

  // Which of `ders` the bundle holds: the disk's, as the changes published
  // leave it.
  DWORD BundleHolds(const std::vector<std::vector<BYTE>>& ders, std::vector<bool>* held) const;
  // Whether the bundle shows `expected` already.
  bool BundleShows(const ExpectedTrust& expected) const;
  // The certificates the changes published add to the bundle and take out.
  const ExpectedTrust& published() const { return published_; }

 private:
  struct Edit {
    bool removed = false;
    AnchorFile file;
  };
  const Edit* EditOf(const std::string& relative) const;
  // The listing with `edit` of `relative` applied.
  void List(const std::string& relative, const Edit& edit) const;

  const StoreLocation* location_ = nullptr;
  int fd_ = -1;
  std::map<std::string, Edit> edits_;
  ExpectedTrust published_;
  mutable bool listed_ = false;
  mutable std::vector<std::string> files_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHORS_ANCHOR_VIEW_H_
