#include "platform/posix/store_layout.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/anchor_directory.h"
#include "platform/posix/bare_root_check.h"
#include "platform/posix/last_error.h"

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

// Debian's script splits its directory options on whitespace and evaluates
// the hooks directory: a root path is handed to it only when no shell could
// read it as anything but one word.
bool IsPlainShellWord(const std::string& path) {
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' ||
                       c == ':' || c == '@' || c == '%';
    if (!plain) return false;
  }
  return true;
}

// The host's tool resolves the paths it is given on the host: inside the
// root they must not pass through a link, which could lead anywhere.
DWORD CheckNoLinks(const RootDirectory& root, const std::vector<std::string>& relatives) {
  for (const std::string& relative : relatives) {
    if (!root.OpenBelowWithoutLinks(relative, O_PATH) && errno != ENOENT) {
      return errno == ELOOP || errno == EXDEV ? ERROR_BAD_PATHNAME : ErrorFromErrno(errno);
    }
  }
  return ERROR_SUCCESS;
}

DWORD PlanHostToolForBareRoot(const StoreLocation& location, RefreshCommand* command) {
  const RootDirectory& root = *location.root;
  const std::string anchors = location.layout->anchors_dir;
  if (!IsPlainShellWord(root.path())) return ERROR_BAD_PATHNAME;
  if (DWORD code = CheckNoLinks(root, {"etc/ssl/certs", "etc/ca-certificates.conf",
                                       "usr/share/ca-certificates", anchors})) {
    return code;
  }
  if (DWORD code = CheckHostToolStaysInRoot(root, anchors)) return code;
  // The certificate directories are given relative to etc/ssl/certs, where
  // the tool works, so that the links it makes still resolve once the root
  // is an image's "/". The root's hooks are the image's programs: the host
  // runs none of them.
  command->argv = {location.refresh_path,
                   "--certsconf", root.HostPath("etc/ca-certificates.conf"),
                   "--certsdir", "../../../usr/share/ca-certificates",
                   "--localcertsdir", "../../../" + anchors,
                   "--etccertsdir", root.HostPath("etc/ssl/certs"),
                   "--hooksdir", root.HostPath(anchors + "/" + LockedAnchorDirectory::kStagingName +
                                               "/" + kNoHooksName)};
  command->chroot_dir.clear();
  return ERROR_SUCCESS;
}

}  // namespace

const std::vector<StoreLayout>& StoreLayouts() {
  // Alpine's and Debian's anchors directory and refresh share their names,
  // and so do Debian's and openSUSE's refresh: markers tell them apart.
  static const std::vector<StoreLayout> layouts = {
      {"Alpine", "etc/alpine-release", "usr/local/share/ca-certificates",
       AnchorSelection::kTopRegularVisible, "update-ca-certificates", nullptr, false,
       "etc/ssl/certs/ca-certificates.crt", nullptr, false, false, "usr/share/ca-certificates"},
      {"Debian, Ubuntu", "etc/ca-certificates.conf", "usr/local/share/ca-certificates",
       AnchorSelection::kCrtFilesBelow, "update-ca-certificates", nullptr, true,
       "etc/ssl/certs/ca-certificates.crt", "etc/ssl/certs/ca-certificates.crt.new", true, true,
       "usr/share/ca-certificates"},
      {"Fedora, RHEL", nullptr, "etc/pki/ca-trust/source/anchors",
       AnchorSelection::kTopNonDirectories, "update-ca-trust", "extract", false,
       "etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", nullptr, false, false,
       "usr/share/pki/ca-trust-source"},
      {"Arch", nullptr, "etc/ca-certificates/trust-source/anchors",
       AnchorSelection::kTopNonDirectories, "update-ca-trust", nullptr, false,
       "etc/ca-certificates/extracted/tls-ca-bundle.pem", nullptr, false, false,
       "usr/share/ca-certificates/trust-source"},
      {"openSUSE, SLES", nullptr, "etc/pki/trust/anchors", AnchorSelection::kTopNonDirectories,
       "update-ca-certificates", nullptr, false, "var/lib/ca-certificates/ca-bundle.pem", nullptr,
       false, false, "usr/share/pki/trust"},
  };
  return layouts;
}

std::string SystemRootPath() {
  const char* configured = getenv("TKVCERT_SYSROOT");
  return configured == nullptr || configured[0] == '\0' ? "/" : configured;
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
      found.refresh_path = root->HostPath(own);
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

DWORD PlanRefresh(const StoreLocation& location, RefreshCommand* command) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  if (location.refresh_inside_root) {
    if (geteuid() != 0) return ERROR_PRIVILEGE_NOT_HELD;
    // Named as the root sees it; the root's own hooks run, inside it.
    command->argv = {location.refresh_path.substr(root.path().size())};
    command->chroot_dir = root.path();
  } else if (root.is_host()) {
    command->argv = {location.refresh_path};
    command->chroot_dir.clear();
  } else {
    return PlanHostToolForBareRoot(location, command);
  }
  if (layout.refresh_argument != nullptr) command->argv.push_back(layout.refresh_argument);
  return ERROR_SUCCESS;
}

}  // namespace tkv
