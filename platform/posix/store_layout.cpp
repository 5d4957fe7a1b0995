#include "platform/posix/store_layout.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/last_error.h"

namespace tkv {
namespace {

// Searched in the root first, so an image refreshes with its own tool, then
// on the host. Never PATH: the tool runs as root.
const char* const kProgramDirs[] = {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"};

std::string UnderRoot(const std::string& root, const std::string& path) {
  return root == "/" ? path : root + path;
}

// Debian's tool takes every directory as an option. Inside another root the
// certificate directories are given relative to etc/ssl/certs, where the tool
// works, so that the links it makes resolve inside the image as well.
std::vector<std::string> DebianRefresh(const StoreLocation& at) {
  const bool host = at.root == "/";
  const std::string certs_dir = host ? "/usr/share/ca-certificates"
                                     : "../../../usr/share/ca-certificates";
  const std::string local_dir = host ? "/usr/local/share/ca-certificates"
                                     : "../../../usr/local/share/ca-certificates";
  return {at.refresh_path,
          "--certsconf", UnderRoot(at.root, "/etc/ca-certificates.conf"),
          "--certsdir", certs_dir,
          "--localcertsdir", local_dir,
          "--etccertsdir", UnderRoot(at.root, "/etc/ssl/certs"),
          "--hooksdir", UnderRoot(at.root, "/etc/ca-certificates/update.d")};
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string FindProgram(const std::string& root, const char* name) {
  for (const std::string& base : {root, std::string("/")}) {
    for (const char* dir : kProgramDirs) {
      const std::string candidate = UnderRoot(base, std::string(dir) + name);
      if (IsExecutableFile(candidate)) return candidate;
    }
    if (base == "/") break;
  }
  return "";
}

}  // namespace

const std::vector<StoreLayout>& StoreLayouts() {
  static const std::vector<StoreLayout> layouts = {
      {"Debian, Ubuntu", "/usr/local/share/ca-certificates", ".crt", "update-ca-certificates",
       DebianRefresh},
  };
  return layouts;
}

std::string SystemRoot() {
  const char* configured = getenv("TKVCERT_SYSROOT");
  if (configured == nullptr || configured[0] == '\0') return "/";
  char resolved[PATH_MAX];
  if (realpath(configured, resolved) == nullptr) return configured;  // fails to locate later
  return resolved;
}

DWORD LocateStore(const std::string& root, StoreLocation* location) {
  if (!IsDirectory(root)) return ERROR_FILE_NOT_FOUND;
  for (const StoreLayout& layout : StoreLayouts()) {
    const std::string anchors = UnderRoot(root, layout.anchors_dir);
    if (!IsDirectory(anchors)) continue;
    const std::string program = FindProgram(root, layout.refresh_program);
    if (program.empty()) continue;
    *location = StoreLocation{&layout, root, anchors, program};
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

}  // namespace tkv
