// Where a distribution keeps the local machine's trust anchors, what its
// refresh reads, and where the bundle that clients read ends up. One row per
// family; everything that differs between families is in its row.
#ifndef TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_
#define TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/base/root_directory.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Which entries of the anchors directory the family's refresh reads.
enum class AnchorSelection {
  kCrtFilesBelow,       // every *.crt below it, subdirectories, links and hidden names included
  kTopNonDirectories,   // every entry at the top that is not a directory
  kTopRegularVisible,   // every regular, non-hidden file at the top
  kEveryFileBelow,      // every regular file below it (a distribution's own CA set)
};

// How the family stops trusting a certificate of the distribution's set.
enum class DistrustWay {
  kConfLine,       // "!" before the conf's lines that name its file
  kBlocklistFile,  // a copy in the directory p11-kit's refresh reads as distrusted
};

// What runs before the family's refresh, in order.
enum class BeforeRefresh {
  kClearLeftover,      // what a refresh killed midway left (killed_refresh_leftover), which the next would reuse
  kNoteOrphanedLinks,  // Debian's: the links of removed anchors, which a refresh may take away unannounced
};

// What follows the family's refresh, in order.
enum class AfterRefresh {
  kAnnounceRemovals,  // Debian's: hooks hear of the anchors gone, whose links then go
  kEmptyStaleBundle,  // Debian's: a bundle its refresh left as it was, no anchor being left
  kCheckBundle,       // the bundle shows the change: else it fails, and is taken back
  kCheckReadable,     // libcrypto's reader reads the bundle at all
  kBrowsers,          // the browsers follow what the bundle trusts
};

// A family's row. Paths are below the root, without a leading slash.
struct StoreLayout {
  const char* family = nullptr;
  const char* marker = nullptr;       // a file only this family has; null for none
  const char* anchors_dir = nullptr;
  AnchorSelection reads = AnchorSelection::kTopNonDirectories;
  const char* refresh_program = nullptr;   // a file name, found in the system directories
  const char* refresh_argument = nullptr;  // null for none
  // Debian's tool reads only a few files and directories, so the host's
  // copy may refresh a root that has no refresh program of its own, in a
  // sandbox that shows it those of the root and nothing else.
  bool host_tool_serves_bare_root = false;
  const char* hooks_dir = nullptr;  // programs its refresh runs; null for none
  const char* bundle = nullptr;     // what clients read
  const char* killed_refresh_leftover = nullptr;  // in the bundle's directory; null for none
  // Debian's refresh leaves the links of a removed anchor in place unless
  // run fresh, and the bundle as it was when no certificate at all is
  // left: its steps around the refresh do what a fresh one would.
  std::vector<BeforeRefresh> before_refresh;
  std::vector<AfterRefresh> after_refresh = {AfterRefresh::kCheckBundle, AfterRefresh::kCheckReadable,
                                             AfterRefresh::kBrowsers};
  const char* distribution_cas = nullptr;  // the distribution's own CA set
  // What the refresh and its hooks write besides the bundle's directory
  // (Java's keystore, openSUSE's /var/lib/ca-certificates).
  std::vector<const char*> refresh_writes;
  DistrustWay distrust = DistrustWay::kBlocklistFile;
  const char* distrust_path = nullptr;  // the conf, or the blocklist directory

  // Whether a step of the row's runs after its refresh.
  bool RunsAfterRefresh(AfterRefresh step) const;
};

// The directory the bundle is in, below the root: the refresh writes there.
std::string BundleDirectoryOf(const StoreLayout& layout);

// Where a change in the family's store writes: the anchors directory, the
// bundle's directory, and what its refresh writes besides. A sandbox shows
// the root's file systems that hold these writable, those that hold only
// what the family reads read-only, and no other.
std::vector<std::string> WrittenDirectories(const StoreLayout& layout);

// What the family's refresh and its hooks read, below the root: the system's
// programs and configuration (usr, etc, and bin, sbin and lib* where they
// are not links into usr), the distribution's set, the anchors, the hooks.
std::vector<std::string> ReadDirectories(const StoreLayout& layout);

// The families, in the order they are tried.
const std::vector<StoreLayout>& StoreLayouts();

// A layout found on a system root.
struct StoreLocation {
  const StoreLayout* layout = nullptr;
  std::shared_ptr<const RootDirectory> root;
  std::string refresh_path;  // the refresh program, as the root (or the host) names it
  bool refresh_inside_root = false;  // the root's own program: run in its sandbox

  std::string anchors_path() const { return root->DisplayPath(layout->anchors_dir); }
};

// Finds the first family whose marker (where it has one), anchors directory
// and refresh program all exist on the root; a directory left behind by
// another package is not enough. ERROR_FILE_NOT_FOUND when none.
DWORD LocateStore(const std::shared_ptr<const RootDirectory>& root, StoreLocation* location);

// For a root where no family is found: what each family tried lacks
// ("Alpine lacks etc/alpine-release; ...").
std::string WhatEachFamilyLacks(const RootDirectory& root);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STORE_LAYOUT_H_
