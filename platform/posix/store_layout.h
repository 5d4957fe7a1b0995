// Where a distribution keeps the local machine's trust anchors, and how its
// bundle is refreshed after a change. One row per family.
#ifndef TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_
#define TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

struct StoreLayout;

// A layout found on a system root, with absolute paths.
struct StoreLocation {
  const StoreLayout* layout = nullptr;
  std::string root;          // "/" or the absolute TKVCERT_SYSROOT, without a trailing slash
  std::string anchors_dir;   // absolute
  std::string refresh_path;  // the refresh program, absolute on this host
};

// How to run a refresh: the command line, and the root to run it inside
// (empty: run it here).
struct RefreshCommand {
  std::vector<std::string> argv;
  std::string chroot_dir;
};

struct StoreLayout {
  const char* family;
  const char* anchors_dir;       // below the root
  const char* anchor_extension;  // only files ending so are read by the refresh; "" for all
  const char* marker;            // a file only this family has, below the root; null for none
  const char* refresh_program;   // a file name, found in the system directories
  const char* refresh_argument;  // null for none
  // Debian's refresh takes the root's directories as options and runs on the
  // host; the others run inside the root, which needs root's privilege.
  bool refresh_takes_directories;
  // The bundle that the refresh leaves untouched when it finds no
  // certificate at all, below the root; null when the refresh has no such gap.
  const char* stale_bundle;
};

// The families, in the order they are tried.
const std::vector<StoreLayout>& StoreLayouts();

// The directory that stands for "/": TKVCERT_SYSROOT when set, made absolute.
std::string SystemRoot();

// Finds the first family whose anchors directory, refresh program (and
// marker, where it has one) all exist on the root; a directory left behind
// by another package is not enough. ERROR_FILE_NOT_FOUND when none.
DWORD LocateStore(const std::string& root, StoreLocation* location);

// The refresh for that root, or ERROR_PRIVILEGE_NOT_HELD when it cannot be
// run here (it must run inside another root and this is not the superuser).
DWORD PlanRefresh(const StoreLocation& location, RefreshCommand* command);

// Runs the family's refresh while `lock_fd` stays locked, for as long as the
// refresh runs, even if this process dies first. ERROR_SUCCESS once clients
// see exactly the anchors the root now holds; ERROR_FUNCTION_FAILED otherwise.
DWORD RefreshStore(const StoreLocation& location, int lock_fd);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_
