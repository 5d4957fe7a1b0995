// The bundle a refresh leaves for clients: what the store checks after every
// change, so that it never reports a change that clients do not see.
#ifndef TKVCERT_PLATFORM_POSIX_TRUST_BUNDLE_H_
#define TKVCERT_PLATFORM_POSIX_TRUST_BUNDLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/base/root_directory.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// What a change must show in the bundle once it is published.
struct ExpectedTrust {
  std::vector<std::vector<BYTE>> added;    // held by the bundle
  std::vector<std::vector<BYTE>> removed;  // not held
  // Of those removed, the ones the family now distrusts: a certificate of
  // the distribution's set, which browsers with roots of their own may
  // still trust.
  std::vector<std::vector<BYTE>> distrusted;

  // Whether the bundle shows `der` once the change is published, when it
  // shows it now as `now` says.
  bool Shows(const std::vector<BYTE>& der, bool now) const;
};

// Whether PEM text holds a certificate block whose certificate is `der`, as
// the anchors' own reader would find it: only blocks whose first bytes could
// be that certificate are decoded, so a large bundle is checked quickly.
bool BundleTextHolds(const BYTE* text, size_t size, const std::vector<BYTE>& der);

// Distributions' bundles are a few hundred KiB; clients read them whole.
constexpr uint64_t kMaxBundleSize = 512ull << 20;

// Reads the bundle below the root whole; a missing one is empty. Fails when
// it cannot be read, is not a regular file, or is over kMaxBundleSize
// (ERROR_FILE_TOO_LARGE).
DWORD ReadBundleText(const RootDirectory& root, const char* bundle, std::vector<BYTE>* text);

// Reads the bundle below the root (a missing one holds nothing) and says
// which of `ders` it holds. Fails when it cannot be read, is not a regular
// file, or is over kMaxBundleSize (ERROR_FILE_TOO_LARGE).
DWORD BundleHolds(const RootDirectory& root, const char* bundle,
                  const std::vector<std::vector<BYTE>>& ders, std::vector<bool>* held);

// Every certificate the bundle holds, in its order, each once: what clients
// read. Fails as ReadBundleText does.
DWORD BundleCertificates(const RootDirectory& root, const char* bundle, std::vector<std::vector<BYTE>>* ders);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_TRUST_BUNDLE_H_
