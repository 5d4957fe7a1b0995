#include "platform/posix/anchors/store_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/base/last_error.h"

namespace tkv {
namespace {

// Never PATH: the tool runs as root.
const char* const kProgramDirs[] = {"usr/sbin/", "usr/bin/", "sbin/", "bin/"};

bool IsExecutable(const UniqueFd& fd) {
  struct stat st;
  return fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

bool Exists(const RootDirectory& root, const char* relative) {
  return static_cast<bool>(root.OpenBelow(relative, O_PATH));
}

bool IsDirectory(const RootDirectory& root, const char* relative) {
  return static_cast<bool>(root.OpenBelow(relative, O_PATH | O_DIRECTORY));
}

// The program below `root`, as that root names it ("usr/sbin/x"); "" when none.
std::string FindProgram(const RootDirectory& root, const char* program) {
  for (const char* dir : kProgramDirs) {
    const std::string candidate = std::string(dir) + program;
    if (IsExecutable(root.OpenBelow(candidate, O_PATH))) return candidate;
  }
  return "";
}

}  // namespace

const std::vector<StoreLayout>& StoreLayouts() {
  // Alpine's and Debian's anchors directory and refresh share their names,
  // and so do Debian's and openSUSE's refresh: markers tell them apart.
  static const std::vector<StoreLayout> layouts = {
      {"Alpine", "etc/alpine-release", "usr/local/share/ca-certificates",
       AnchorSelection::kTopRegularVisible, "update-ca-certificates", nullptr, false, nullptr,
       "etc/ssl/certs/ca-certificates.crt", nullptr, false, false, "usr/share/ca-certificates", {},
       DistrustWay::kConfLine, "etc/ca-certificates.conf"},
      {"Debian, Ubuntu", "etc/ca-certificates.conf", "usr/local/share/ca-certificates",
       AnchorSelection::kCrtFilesBelow, "update-ca-certificates", nullptr, true,
       "etc/ca-certificates/update.d", "etc/ssl/certs/ca-certificates.crt", "etc/ssl/certs/ca-certificates.crt.new", true, true,
       "usr/share/ca-certificates", {"etc/ssl/certs/java"}, DistrustWay::kConfLine, "etc/ca-certificates.conf"},
      {"Fedora, RHEL", nullptr, "etc/pki/ca-trust/source/anchors",
       AnchorSelection::kTopNonDirectories, "update-ca-trust", "extract", false, nullptr,
       "etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", nullptr, false, false,
       "usr/share/pki/ca-trust-source", {"etc/pki/ca-trust/extracted"}, DistrustWay::kBlocklistFile,
       "etc/pki/ca-trust/source/blocklist"},
      {"Arch", nullptr, "etc/ca-certificates/trust-source/anchors",
       AnchorSelection::kTopNonDirectories, "update-ca-trust", nullptr, false, nullptr,
       "etc/ca-certificates/extracted/tls-ca-bundle.pem", nullptr, false, false,
       "usr/share/ca-certificates/trust-source", {"etc/ca-certificates/extracted", "etc/ssl/certs"},
       DistrustWay::kBlocklistFile, "etc/ca-certificates/trust-source/blocklist"},
      {"openSUSE, SLES", nullptr, "etc/pki/trust/anchors", AnchorSelection::kTopNonDirectories,
       "update-ca-certificates", nullptr, false, nullptr, "var/lib/ca-certificates/ca-bundle.pem", nullptr,
       false, false, "usr/share/pki/trust", {"var/lib/ca-certificates"}, DistrustWay::kBlocklistFile,
       "etc/pki/trust/blacklist"},
  };
  return layouts;
}

DWORD LocateStore(const std::shared_ptr<const RootDirectory>& root, StoreLocation* location) {
  for (const StoreLayout& layout : StoreLayouts()) {
    if (layout.marker != nullptr && !Exists(*root, layout.marker)) continue;
    if (!IsDirectory(*root, layout.anchors_dir)) continue;
    StoreLocation found{&layout, root, "", false};
    // An image refreshes with its own program, inside itself; only a bare
    // root may borrow the host's, and only a tool that takes its directories.
    const std::string own = FindProgram(*root, layout.refresh_program);
    if (!own.empty()) {
      found.refresh_path = "/" + own;
      found.refresh_inside_root = !root->is_host();
    } else if (!root->is_host() && layout.host_tool_serves_bare_root) {
      std::shared_ptr<const RootDirectory> host;
      if (RootDirectory::Open("/", &host) != ERROR_SUCCESS) continue;
      const std::string hosts = FindProgram(*host, layout.refresh_program);
      if (hosts.empty()) continue;
      found.refresh_path = "/" + hosts;
    } else {
      continue;
    }
    *location = found;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

std::string WhatEachFamilyLacks(const RootDirectory& root) {
  std::string lacks;
  for (const StoreLayout& layout : StoreLayouts()) {
    std::string missing;
    if (layout.marker != nullptr && !Exists(root, layout.marker)) {
      missing = layout.marker;
    } else if (!IsDirectory(root, layout.anchors_dir)) {
      missing = std::string(layout.anchors_dir) + "/";
    } else if (FindProgram(root, layout.refresh_program).empty()) {
      missing = layout.refresh_program;
    }
    if (!missing.empty()) lacks += (lacks.empty() ? "" : "; ") + std::string(layout.family) + " lacks " + missing;
  }
  return lacks;
}

std::vector<std::string> WrittenDirectories(const StoreLayout& layout) {
  const std::string bundle = layout.bundle;
  std::vector<std::string> written = {layout.anchors_dir, bundle.substr(0, bundle.rfind('/'))};
  written.insert(written.end(), layout.refresh_writes.begin(), layout.refresh_writes.end());
  return written;
}

std::vector<std::string> ReadDirectories(const StoreLayout& layout) {
  std::vector<std::string> read = {"usr", "etc", "bin", "sbin", "lib", "lib32", "lib64", "libx32", layout.anchors_dir};
  for (const char* dir : {layout.distribution_cas, layout.hooks_dir}) {
    if (dir != nullptr) read.push_back(dir);
  }
  return read;
}

}  // namespace tkv
