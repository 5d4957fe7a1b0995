#include "platform/posix/change/hash_links.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/last_error.h"

namespace tkv {
namespace {

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
DWORD Renumber(int certs_fd, const std::string& hash, std::vector<int> indices) {
  std::sort(indices.begin(), indices.end());
  for (size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] == static_cast<int>(i)) continue;
    if (renameat(certs_fd, (hash + "." + std::to_string(indices[i])).c_str(), certs_fd,
                 (hash + "." + std::to_string(i)).c_str()) != 0) {
      return ErrorFromErrno(errno);
    }
  }
  return ERROR_SUCCESS;
}

// The bundle's directory, below the root.
UniqueFd OpenCertsDirectory(const StoreLocation& location) {
  return location.root->OpenBelow(BundleDirectoryOf(*location.layout), O_RDONLY | O_DIRECTORY);
}

}  // namespace

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

DWORD RemoveLinks(int certs_fd, const std::vector<std::string>& names, const std::vector<std::string>& gone,
                  std::string* why) {
  const std::set<std::string> removed(gone.begin(), gone.end());
  std::map<std::string, std::vector<int>> kept;
  std::set<std::string> touched;
  auto failed = [why](const std::string& name) {
    const DWORD code = ErrorFromErrno(errno);
    *why = name + ": " + strerror(errno);
    return code;
  };
  for (const std::string& name : names) {
    std::string hash;
    int index = 0;
    if (!ParseHashLinkName(name.c_str(), &hash, &index)) continue;
    if (removed.count(ReadLinkAt(certs_fd, name)) == 0) {
      kept[hash].push_back(index);
      continue;
    }
    if (unlinkat(certs_fd, name.c_str(), 0) != 0) return failed(name);
    touched.insert(hash);
  }
  for (const std::string& name : gone) {
    if (unlinkat(certs_fd, name.c_str(), 0) != 0 && errno != ENOENT) return failed(name);
  }
  for (const std::string& hash : touched) {
    if (Renumber(certs_fd, hash, kept[hash]) != ERROR_SUCCESS) return failed(hash);
  }
  return ERROR_SUCCESS;
}

DWORD ForgetLink(const StoreLocation& location, const std::string& anchor_file, std::string* why) {
  if (!location.layout->RunsAfterRefresh(AfterRefresh::kAnnounceRemovals)) return ERROR_SUCCESS;
  const UniqueFd certs = OpenCertsDirectory(location);
  if (!certs || anchor_file.size() < 4) return ERROR_SUCCESS;
  const std::string link = anchor_file.substr(0, anchor_file.size() - 4) + ".pem";
  if (ReadLinkAt(certs.get(), link) != std::string("/") + location.layout->anchors_dir + "/" + anchor_file) {
    return ERROR_SUCCESS;
  }
  return RemoveLinks(certs.get(), EntryNames(certs.get()), {link}, why);
}

}  // namespace tkv
