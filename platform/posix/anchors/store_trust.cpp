#include "platform/posix/anchors/store_trust.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/cert/anchor_format.h"

namespace tkv {
namespace {

// Located first and read only as a regular file, as every file of a root is.
DWORD FileHolds(const RootDirectory& root, const std::string& relative, const std::vector<BYTE>* der,
                bool* holds) {
  *holds = false;
  const UniqueFd located = root.OpenBelow(relative, O_PATH);
  if (!located) return ErrorFromErrno(errno);
  std::vector<BYTE> contents;
  if (DWORD code = ReadLocatedFile(located.get(), TKV_MAX_CERTIFICATE_FILE_SIZE, &contents)) return code;
  for (const AnchorBlock& block : ParseAnchorFile(contents)) {
    if (block.decoded && (der == nullptr || block.der == *der)) *holds = true;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD AnyFileBelowHolds(const RootDirectory& root, const std::string& base, AnchorSelection reads,
                        const std::vector<BYTE>* der, bool* holds) {
  *holds = false;
  const UniqueFd dir = root.OpenBelow(base, O_RDONLY | O_DIRECTORY);
  if (!dir) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
  for (const std::string& name : ListFilesBelow(root, base, reads, dir.get())) {
    if (DWORD code = FileHolds(root, base + "/" + name, der, holds)) return code;
    if (*holds) return ERROR_SUCCESS;
  }
  return ERROR_SUCCESS;
}

DWORD CheckBundle(const StoreLocation& location, const ExpectedTrust& expected, std::string* why) {
  const StoreLayout& layout = *location.layout;
  std::vector<std::vector<BYTE>> wanted = expected.added;
  wanted.insert(wanted.end(), expected.removed.begin(), expected.removed.end());
  std::vector<bool> held;
  const std::string bundle = location.root->DisplayPath(layout.bundle);
  if (BundleHolds(*location.root, layout.bundle, wanted, &held) != ERROR_SUCCESS) {
    *why = "cannot read the refreshed bundle " + bundle;
    return ERROR_FUNCTION_FAILED;
  }
  for (size_t i = 0; i < expected.added.size(); ++i) {
    if (held[i]) continue;
    *why = "the refreshed bundle " + bundle + " does not hold the added certificate";
    return ERROR_FUNCTION_FAILED;
  }
  for (size_t i = 0; i < expected.removed.size(); ++i) {
    if (!held[expected.added.size() + i]) continue;
    *why = "the refreshed bundle " + bundle + " still holds the removed certificate";
    return ERROR_FUNCTION_FAILED;
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
