#include "platform/posix/bare_root_check.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "platform/posix/directory_entries.h"
#include "platform/posix/unique_fd.h"

namespace tkv {
namespace {

constexpr int kMaxDepth = 32;

bool Inside(const RootDirectory& root, const std::string& host_path) {
  return host_path == root.path() || host_path.compare(0, root.path().size() + 1, root.path() + "/") == 0;
}

// Calls `visit(dir_fd, name, host_path)` for every link below `relative`.
template <typename Visit>
bool EveryLinkBelow(const RootDirectory& root, const std::string& relative, int depth,
                    const Visit& visit) {
  const UniqueFd dir_fd = root.OpenBelowWithoutLinks(relative, O_RDONLY | O_DIRECTORY);
  if (!dir_fd) return true;  // missing: nothing to lead out
  return ForEachEntry(dir_fd.get(), [&](const dirent& entry) {
    struct stat st;
    if (fstatat(dir_fd.get(), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    const std::string child = relative + "/" + entry.d_name;
    if (S_ISLNK(st.st_mode)) return visit(dir_fd.get(), entry.d_name, root.HostPath(child));
    if (!S_ISDIR(st.st_mode)) return true;
    return depth < kMaxDepth && EveryLinkBelow(root, child, depth + 1, visit);
  });
}

// Where a link leads on the host; a dangling one leads nowhere, which is fine.
bool LeadsInside(const RootDirectory& root, const std::string& host_path) {
  char resolved[PATH_MAX];
  if (realpath(host_path.c_str(), resolved) == nullptr) return true;
  return Inside(root, resolved);
}

bool ConfigurationStaysInside(const RootDirectory& root) {
  const UniqueFd fd = root.OpenBelowWithoutLinks("etc/ca-certificates.conf", O_RDONLY | O_NONBLOCK);
  if (!fd) return true;
  std::ifstream in("/proc/self/fd/" + std::to_string(fd.get()));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '!') line.erase(0, 1);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '/' || line == ".." || line.compare(0, 3, "../") == 0 ||
        line.find("/../") != std::string::npos ||
        (line.size() >= 3 && line.compare(line.size() - 3, 3, "/..") == 0)) {
      return false;
    }
  }
  return true;
}

}  // namespace

DWORD CheckHostToolStaysInRoot(const RootDirectory& root, const std::string& anchors_dir) {
  const bool certs_ok = EveryLinkBelow(root, "etc/ssl/certs", kMaxDepth,
                                       [](int dir_fd, const char* name, const std::string&) {
                                         struct stat st;
                                         return fstatat(dir_fd, name, &st, 0) != 0 ||
                                                !S_ISDIR(st.st_mode);
                                       });
  auto inside = [&root](int, const char*, const std::string& host_path) {
    return LeadsInside(root, host_path);
  };
  if (!certs_ok || !ConfigurationStaysInside(root) ||
      !EveryLinkBelow(root, anchors_dir, 0, inside) ||
      !EveryLinkBelow(root, "usr/share/ca-certificates", 0, inside)) {
    return ERROR_BAD_PATHNAME;
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
