#include "platform/posix/anchors/trust_bundle.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"

namespace tkv {

bool ExpectedTrust::Shows(const std::vector<BYTE>& der, bool now) const {
  for (const std::vector<BYTE>& gone : removed) {
    if (gone == der) return false;
  }
  for (const std::vector<BYTE>& come : added) {
    if (come == der) return true;
  }
  return now;
}
namespace {

constexpr char kDashes[] = "-----";
constexpr size_t kPrefixChars = 8;  // Base64 for the first six bytes

bool IsBase64Digit(BYTE c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Whether the PEM reader reads this block's body from the line after BEGIN,
// as written: the BEGIN line ends at its dashes, every line after it up to
// the END line holds Base64 and nothing else (no header, no blank line,
// which makes the lines before it headers, no stray byte), and the END line
// starts a line. Any other layout the reader may read otherwise, so the
// whole block is decoded.
bool PlainlyLaidOut(const BYTE* after_dashes, const BYTE* body, const BYTE* end_marker) {
  const bool plain_begin = (body - after_dashes == 1 && after_dashes[0] == '\n') ||
                           (body - after_dashes == 2 && after_dashes[0] == '\r' &&
                            after_dashes[1] == '\n');
  if (!plain_begin || end_marker == nullptr || end_marker <= body || end_marker[-1] != '\n') {
    return false;
  }
  size_t line_digits = 0;
  for (const BYTE* p = body; p < end_marker; ++p) {
    if (*p == '\n') {
      if (line_digits == 0) return false;
      line_digits = 0;
    } else if (*p == '\r') {
      if (p + 1 == end_marker || p[1] != '\n') return false;
    } else if (IsBase64Digit(*p) || *p == '=') {
      ++line_digits;
    } else {
      return false;
    }
  }
  return true;
}

// Whether a plainly laid-out body may decode to something that starts with
// `der`: its first Base64 digits are decoded and compared.
bool MayStartWith(const BYTE* body, const BYTE* end, const std::vector<BYTE>& der) {
  char digits[kPrefixChars];
  size_t count = 0;
  for (const BYTE* p = body; p < end && count < kPrefixChars; ++p) {
    if (*p == '\r' || *p == '\n') continue;
    if (!IsBase64Digit(*p)) return true;  // padding this early: too short to tell
    digits[count++] = static_cast<char>(*p);
  }
  if (count < kPrefixChars) return true;
  unsigned char bytes[kPrefixChars / 4 * 3];
  if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(digits),
                      static_cast<int>(kPrefixChars)) != static_cast<int>(sizeof bytes)) {
    return true;
  }
  const size_t compared = der.size() < sizeof bytes ? der.size() : sizeof bytes;
  return memcmp(bytes, der.data(), compared) == 0;
}

}  // namespace

bool BundleTextHolds(const BYTE* text, size_t size, const std::vector<BYTE>& der) {
  PemBlockScanner scanner(text, size);
  for (PemBlock block; scanner.Next(&block);) {
    if (!block.IsCertificate()) continue;
    const BYTE* after_dashes = block.label + block.label_length + sizeof kDashes - 1;
    const bool quick = PlainlyLaidOut(after_dashes, block.body, block.end_marker);
    if ((!quick || MayStartWith(block.body, block.end_marker, der)) &&
        DecodeCertificateBlock(block.begin, static_cast<size_t>(block.end - block.begin)) == der) {
      return true;
    }
  }
  return false;
}

DWORD ReadBundleText(const RootDirectory& root, const char* bundle, std::vector<BYTE>* text) {
  text->clear();
  // Located first, opened only once it is seen to be a regular file: what a
  // refresh gone wrong (or hostile) leaves under the name may be a FIFO or
  // a device, and opening one may block or act. Read, not mapped: a bundle
  // rewritten in place meanwhile must not kill the run between its change
  // and the check. One beyond any real bundle is a failed refresh, not
  // something to allocate for.
  const UniqueFd located = root.OpenBelow(bundle, O_PATH);
  if (!located) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
  return ReadLocatedFile(located.get(), kMaxBundleSize, text);
}

DWORD BundleCertificates(const RootDirectory& root, const char* bundle, std::vector<std::vector<BYTE>>* ders) {
  ders->clear();
  std::vector<BYTE> text;
  if (DWORD code = ReadBundleText(root, bundle, &text)) return code;
  std::set<std::vector<BYTE>> seen;
  for (AnchorBlock& block : ParseAnchorFile(text)) {
    if (block.decoded && seen.insert(block.der).second) ders->push_back(std::move(block.der));
  }
  return ERROR_SUCCESS;
}

DWORD BundleHolds(const RootDirectory& root, const char* bundle,
                  const std::vector<std::vector<BYTE>>& ders, std::vector<bool>* held) {
  held->assign(ders.size(), false);
  std::vector<BYTE> text;
  if (DWORD code = ReadBundleText(root, bundle, &text)) return code;
  for (size_t i = 0; i < ders.size(); ++i) {
    (*held)[i] = BundleTextHolds(text.data(), text.size(), ders[i]);
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
