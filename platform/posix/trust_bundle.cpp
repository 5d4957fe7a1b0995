#include "platform/posix/trust_bundle.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/anchor_format.h"
#include "platform/posix/last_error.h"

namespace tkv {
namespace {

constexpr char kBegin[] = "-----BEGIN ";
constexpr char kDashes[] = "-----";
constexpr size_t kPrefixChars = 8;  // Base64 for the first six bytes

const BYTE* Find(const BYTE* from, const BYTE* end, const std::string& what) {
  if (from >= end) return nullptr;
  return static_cast<const BYTE*>(memmem(from, static_cast<size_t>(end - from), what.data(),
                                         what.size()));
}

const BYTE* LineEnd(const BYTE* from, const BYTE* end) {
  if (from >= end) return end;
  const void* newline = memchr(from, '\n', static_cast<size_t>(end - from));
  return newline == nullptr ? end : static_cast<const BYTE*>(newline) + 1;
}

bool IsBase64Digit(BYTE c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// The PEM reader takes every line before a blank one as a header, so the
// body begins after it.
bool HasBlankLine(const BYTE* from, const BYTE* end) {
  bool blank = true;
  for (const BYTE* p = from; p < end; ++p) {
    if (*p == '\n') {
      if (blank) return true;
      blank = true;
    } else if (*p != ' ' && *p != '\t' && *p != '\r') {
      blank = false;
    }
  }
  return false;
}

// Whether the block's body may decode to something that starts with `der`.
// Only a body that plainly begins with enough Base64 is ruled out here; one
// with headers, or too short to tell, is left to the full decode.
bool MayStartWith(const BYTE* body, const BYTE* end, const std::vector<BYTE>& der) {
  if (HasBlankLine(body, end)) return true;
  char digits[kPrefixChars];
  size_t count = 0;
  for (const BYTE* p = body; p < end && count < kPrefixChars; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') continue;
    if (!IsBase64Digit(*p)) return true;
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
  const BYTE* const end = text + size;
  for (const BYTE* at = Find(text, end, kBegin); at != nullptr;) {
    const BYTE* label_start = at + sizeof kBegin - 1;
    const BYTE* label_end = Find(label_start, end, kDashes);
    const BYTE* line_end = LineEnd(at, end);
    if (label_end == nullptr || label_end > line_end) {
      at = Find(line_end, end, kBegin);
      continue;
    }
    const std::string label(label_start, label_end);
    const BYTE* end_marker = Find(label_end, end, "-----END " + label + kDashes);
    const BYTE* block_end = end_marker == nullptr ? end : LineEnd(end_marker, end);
    // The PEM reader passes over a BEGIN line with anything after its dashes
    // and decodes the next good one: only a plain line's body is known here.
    const BYTE* after_dashes = label_end + sizeof kDashes - 1;
    const bool plain_line = (line_end - after_dashes == 1 && *after_dashes == '\n') ||
                            (line_end - after_dashes == 2 && after_dashes[0] == '\r' &&
                             after_dashes[1] == '\n');
    if (IsCertificateLabel(label) && (!plain_line || MayStartWith(line_end, block_end, der)) &&
        DecodeCertificateBlock(at, static_cast<size_t>(block_end - at)) == der) {
      return true;
    }
    at = Find(block_end, end, kBegin);
  }
  return false;
}

DWORD BundleHolds(const RootDirectory& root, const char* bundle,
                  const std::vector<std::vector<BYTE>>& ders, std::vector<bool>* held) {
  held->assign(ders.size(), false);
  const UniqueFd fd = root.OpenBelow(bundle, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return ERROR_NOT_SUPPORTED;
  if (st.st_size == 0) return ERROR_SUCCESS;
  // Read, not mapped: a bundle rewritten in place meanwhile must not kill
  // the run between its change and the check.
  std::vector<BYTE> text(static_cast<size_t>(st.st_size));
  size_t total = 0;
  while (total < text.size()) {
    const ssize_t n = read(fd.get(), text.data() + total, text.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  for (size_t i = 0; i < ders.size(); ++i) {
    (*held)[i] = BundleTextHolds(text.data(), total, ders[i]);
  }
  return ERROR_SUCCESS;
}

}  // namespace tkv
