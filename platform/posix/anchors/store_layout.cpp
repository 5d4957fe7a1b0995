#include "platform/posix/anchors/store_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/last_error.h"

namespace tkv {
namespace {

// Never PATH: the tool runs as root.
const char* const kProgramDirs[] = {"usr/sbin/", "usr/bin/", "sbin/", "bin/"};

bool IsExecutable(const UniqueFd& fd) {
  struct stat st;
  return fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

bool HasFile(const RootDirectory& root, const char* relative) {
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

bool StoreLayout::RunsAfterRefresh(AfterRefresh step) const {
  return std::find(after_refresh.begin(), after_refresh.end(), step) != after_refresh.end();
}

namespace {

StoreLayout Alpine() {
  StoreLayout row;
  row.family = "Alpine";
  row.marker = "etc/alpine-release";
  row.anchors_dir = "usr/local/share/ca-certificates";
  row.reads = AnchorSelection::kTopRegularVisible;
  row.refresh_program = "update-ca-certificates";
  row.bundle = "etc/ssl/certs/ca-certificates.crt";
  row.distribution_cas = "usr/share/ca-certificates";
  row.distrust = DistrustWay::kConfLine;
  row.distrust_path = "etc/ca-certificates.conf";
  return row;
}

StoreLayout Debian() {
  StoreLayout row;
  row.family = "Debian, Ubuntu";
  row.marker = "etc/ca-certificates.conf";
  row.anchors_dir = "usr/local/share/ca-certificates";
  row.reads = AnchorSelection::kCrtFilesBelow;
  row.refresh_program = "update-ca-certificates";
  row.host_tool_serves_bare_root = true;
  row.hooks_dir = "etc/ca-certificates/update.d";
  row.bundle = "etc/ssl/certs/ca-certificates.crt";
  row.killed_refresh_leftover = "etc/ssl/certs/ca-certificates.crt.new";
  row.before_refresh = {BeforeRefresh::kClearLeftover, BeforeRefresh::kNoteOrphanedLinks};
  row.after_refresh = {AfterRefresh::kAnnounceRemovals, AfterRefresh::kEmptyStaleBundle, AfterRefresh::kCheckBundle,
                       AfterRefresh::kCheckReadable, AfterRefresh::kBrowsers};
  row.distribution_cas = "usr/share/ca-certificates";
  row.refresh_writes = {"etc/ssl/certs/java"};
  row.distrust = DistrustWay::kConfLine;
  row.distrust_path = "etc/ca-certificates.conf";
  return row;
}

StoreLayout Fedora() {
  StoreLayout row;
  row.family = "Fedora, RHEL";
  row.anchors_dir = "etc/pki/ca-trust/source/anchors";
  row.refresh_program = "update-ca-trust";
  row.refresh_argument = "extract";
  row.bundle = "etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem";
  row.distribution_cas = "usr/share/pki/ca-trust-source";
  row.refresh_writes = {"etc/pki/ca-trust/extracted"};
  row.distrust_path = "etc/pki/ca-trust/source/blocklist";
  return row;
}

StoreLayout Arch() {
  StoreLayout row;
  row.family = "Arch";
  row.anchors_dir = "etc/ca-certificates/trust-source/anchors";
  row.refresh_program = "update-ca-trust";
  row.bundle = "etc/ca-certificates/extracted/tls-ca-bundle.pem";
  row.distribution_cas = "usr/share/ca-certificates/trust-source";
  row.refresh_writes = {"etc/ca-certificates/extracted", "etc/ssl/certs"};
  row.distrust_path = "etc/ca-certificates/trust-source/blocklist";
  return row;
}

StoreLayout OpenSuse() {
  StoreLayout row;
  row.family = "openSUSE, SLES";
  row.anchors_dir = "etc/pki/trust/anchors";
  row.refresh_program = "update-ca-certificates";
  row.bundle = "var/lib/ca-certificates/ca-bundle.pem";
  row.distribution_cas = "usr/share/pki/trust";
  row.refresh_writes = {"var/lib/ca-certificates"};
  row.distrust_path = "etc/pki/trust/blacklist";
  return row;
}

}  // namespace

const std::vector<StoreLayout>& StoreLayouts() {
  // Alpine's and Debian's anchors directory and refresh share their names,
  // and so do Debian's and openSUSE's refresh: markers tell them apart.
  static const std::vector<StoreLayout> layouts = {Alpine(), Debian(), Fedora(), Arch(), OpenSuse()};
  return layouts;
}

DWORD LocateStore(const std::shared_ptr<const RootDirectory>& root, StoreLocation* location) {
  for (const StoreLayout& layout : StoreLayouts()) {
    if (layout.marker != nullptr && !HasFile(*root, layout.marker)) continue;
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
    if (layout.marker != nullptr && !HasFile(root, layout.marker)) {
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

std::string BundleDirectoryOf(const StoreLayout& layout) { return DirName(layout.bundle); }

std::vector<std::string> WrittenDirectories(const StoreLayout& layout) {
  std::vector<std::string> written = {layout.anchors_dir, BundleDirectoryOf(layout)};
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
