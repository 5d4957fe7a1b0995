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
  std::string refresh_path;  // absolute path of the refresh program
};

struct StoreLayout {
  const char* family;
  const char* anchors_dir;      // below the root
  const char* anchor_extension;  // only files ending so are read by the refresh; "" for all
  const char* refresh_program;   // a file name, found in the system directories
  // The full command line that refreshes the bundle of that root.
  std::vector<std::string> (*refresh_command)(const StoreLocation& location);
  // The bundle that the refresh leaves untouched when it finds no
  // certificate at all, below the root; null when the refresh has no such gap.
  const char* stale_bundle;
};

const std::vector<StoreLayout>& StoreLayouts();

// The directory that stands for "/": TKVCERT_SYSROOT when set, made absolute.
std::string SystemRoot();

// Finds the first family, in table order, whose anchors directory and
// refresh program both exist on the root. ERROR_FILE_NOT_FOUND when none.
DWORD LocateStore(const std::string& root, StoreLocation* location);

// Runs the family's refresh for the root. ERROR_SUCCESS once clients see
// exactly the anchors the root now holds; ERROR_FUNCTION_FAILED otherwise.
DWORD RefreshStore(const StoreLocation& location);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_
