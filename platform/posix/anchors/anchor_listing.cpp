#include "platform/posix/anchors/anchor_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"

namespace tkv {
namespace {

// Deeper than any anchors tree an admin keeps; it bounds a hostile one.
constexpr int kMaxDepth = 32;

bool EndsWith(const char* text, const char* suffix) {
  const size_t length = strlen(text);
  const size_t n = strlen(suffix);
  return length >= n && memcmp(text + length - n, suffix, n) == 0;
}

struct Walk {
  const RootDirectory& root;
  std::string base;  // below the root
  AnchorSelection reads;
  std::vector<std::string>* names;
  std::vector<std::pair<dev_t, ino_t>> open_dirs;  // the directories being walked: no loops
};

// What an entry is once its links are followed inside the root.
bool StatEntry(const Walk& walk, int dir_fd, const dirent& entry, const std::string& relative,
               struct stat* st) {
  if (entry.d_type == DT_REG) {
    // The listing says what it is: a lookup per anchor would cost a scan
    // as much as reading it, and the reader checks what it opens anyway.
    *st = {};
    st->st_mode = S_IFREG;
    return true;
  }
  if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) {
    return fstatat(dir_fd, entry.d_name, st, AT_SYMLINK_NOFOLLOW) == 0;
  }
  const UniqueFd fd = walk.root.OpenBelow(walk.base + "/" + relative, O_PATH);
  return fd && fstat(fd.get(), st) == 0;
}

bool Selected(AnchorSelection reads, const char* name, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return false;
  switch (reads) {
    case AnchorSelection::kCrtFilesBelow:
      return EndsWith(name, ".crt");
    case AnchorSelection::kTopNonDirectories:
      return true;
    case AnchorSelection::kTopRegularVisible:
      return name[0] != '.';
    case AnchorSelection::kEveryFileBelow:
      return true;
  }
  return false;
}

void WalkDirectory(Walk& walk, int dir_fd, const std::string& prefix, int depth) {
  const bool descends = walk.reads == AnchorSelection::kCrtFilesBelow ||
                        walk.reads == AnchorSelection::kEveryFileBelow;
  ForEachEntry(dir_fd, [&](const dirent& entry) {
    const char* name = entry.d_name;
    if (prefix.empty() && strcmp(name, LockedAnchorDirectory::kStagingName) == 0) return true;
    std::string relative = prefix + name;
    struct stat st;
    if (!StatEntry(walk, dir_fd, entry, relative, &st)) return true;
    if (Selected(walk.reads, name, st)) {
      walk.names->push_back(std::move(relative));
      return true;
    }
    if (!descends || !S_ISDIR(st.st_mode) || depth >= kMaxDepth) return true;
    const std::pair<dev_t, ino_t> id(st.st_dev, st.st_ino);
    if (std::find(walk.open_dirs.begin(), walk.open_dirs.end(), id) != walk.open_dirs.end()) {
      return true;
    }
    const UniqueFd sub = walk.root.OpenBelow(walk.base + "/" + relative, O_RDONLY | O_DIRECTORY);
    if (!sub) return true;
    walk.open_dirs.push_back(id);
    WalkDirectory(walk, sub.get(), relative + "/", depth + 1);
    walk.open_dirs.pop_back();
    return true;
  });
}

// Each directory once, however many links lead to it.
DWORD CheckDirectoryTrusted(const RootDirectory& root, const std::string& relative, int dir_fd,
                            std::set<std::pair<dev_t, ino_t>>* seen, std::string* why) {
  struct stat self;
  if (fstat(dir_fd, &self) != 0) return ErrorFromErrno(errno);
  if (!seen->emplace(self.st_dev, self.st_ino).second) return ERROR_SUCCESS;
  if (DWORD code = root.CheckTrusted(dir_fd, why)) return code;
  DWORD result = ERROR_SUCCESS;
  ForEachEntry(dir_fd, [&](const dirent& entry) {
    if (entry.d_type == DT_REG) return true;
    const std::string child = relative + "/" + entry.d_name;
    const UniqueFd fd = root.OpenBelow(child, O_PATH);
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) return true;  // dangling: it leads nowhere
    // A link is checked all the way to its target: every directory on it.
    if (entry.d_type == DT_LNK) result = root.CheckTrusted(child, why);
    if (result == ERROR_SUCCESS && S_ISDIR(st.st_mode)) {
      const UniqueFd sub = root.OpenBelow(child, O_RDONLY | O_DIRECTORY);
      result = sub ? CheckDirectoryTrusted(root, child, sub.get(), seen, why) : ERROR_SUCCESS;
    }
    return result == ERROR_SUCCESS;
  });
  return result;
}

}  // namespace

DWORD CheckTreeTrusted(const RootDirectory& root, const std::string& base, int dir_fd, std::string* why) {
  if (!root.checks_ownership()) return ERROR_SUCCESS;
  std::set<std::pair<dev_t, ino_t>> seen;
  return CheckDirectoryTrusted(root, base, dir_fd, &seen, why);
}

bool ReadsRegularFile(AnchorSelection reads, const std::string& name) {
  struct stat st = {};
  st.st_mode = S_IFREG;
  return Selected(reads, name.c_str(), st);
}

UniqueFd OpenAnchorsDirectory(const StoreLocation& location) {
  return location.root->OpenBelow(location.layout->anchors_dir, O_RDONLY | O_DIRECTORY);
}

std::vector<std::string> ListFilesBelow(const RootDirectory& root, const std::string& base,
                                        AnchorSelection reads, int dir_fd) {
  std::vector<std::string> names;
  Walk walk{root, base, reads, &names, {}};
  struct stat st;
  if (fstat(dir_fd, &st) == 0) walk.open_dirs.emplace_back(st.st_dev, st.st_ino);
  WalkDirectory(walk, dir_fd, "", 0);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ListAnchorFiles(const StoreLocation& location, int anchors_fd) {
  return ListFilesBelow(*location.root, location.layout->anchors_dir, location.layout->reads,
                        anchors_fd);
}

std::vector<UnreadFile> UnreadAnchorFiles(const StoreLocation& location, int anchors_fd) {
  std::vector<UnreadFile> unread;
  std::vector<BYTE> contents;
  for (const std::string& relative : ListAnchorFiles(location, anchors_fd)) {
    const DWORD code = ReadAnchorFile(location, anchors_fd, relative, &contents);
    if (KeepsUnread(code)) unread.push_back({location.anchors_path() + "/" + relative, code});
  }
  return unread;
}

DWORD ReadAnchorFile(const StoreLocation& location, int anchors_fd, const std::string& relative,
                     std::vector<BYTE>* contents) {
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // A plain file at the top is opened directly; anything reached through a
  // link is resolved inside the root, as the refresh sees it.
  UniqueFd fd;
  if (relative.find('/') == std::string::npos) {
    fd.reset(openat(anchors_fd, relative.c_str(), kFlags | O_NOFOLLOW));
  }
  if (!fd) {
    fd = location.root->OpenBelow(std::string(location.layout->anchors_dir) + "/" + relative,
                                  kFlags);
  }
  if (!fd) return ErrorFromErrno(errno);
  return ReadOpenedFile(fd.get(), TKV_MAX_CERTIFICATE_FILE_SIZE, contents);
}

}  // namespace tkv
