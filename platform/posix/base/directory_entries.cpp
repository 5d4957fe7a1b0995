#include "platform/posix/base/directory_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tkv {

bool ForEachEntry(int dir_fd, const std::function<bool(const dirent&)>& visit) {
  // A descriptor of its own: closedir() closes it, and the caller's stays.
  const int listing_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing_fd < 0) return false;
  DIR* dir = fdopendir(listing_fd);
  if (dir == nullptr) {
    close(listing_fd);
    return false;
  }
  bool completed = true;
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (!visit(*entry)) {
      completed = false;
      break;
    }
  }
  closedir(dir);
  return completed;
}

std::vector<std::string> EntryNames(int dir_fd) {
  std::vector<std::string> names;
  ForEachEntry(dir_fd, [&](const dirent& entry) {
    names.emplace_back(entry.d_name);
    return true;
  });
  std::sort(names.begin(), names.end());
  return names;
}

bool EntryExists(int dir_fd, const std::string& name) {
  struct stat st;
  return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tkv
