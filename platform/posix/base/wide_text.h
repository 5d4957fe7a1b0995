// Lossless conversion between bytes (UTF-8 or not) and wide text.
//
// Arguments and file names on Linux are bytes. Valid UTF-8 becomes the code
// points it spells; every byte that is not part of valid UTF-8 (always 0x80
// or above) becomes U+DC00 + byte, a lone surrogate in U+DC80..U+DCFF that
// no valid text contains, and goes back to the same byte. So a file name in any encoding reaches open() unchanged.
#ifndef TKVCERT_PLATFORM_POSIX_WIDE_TEXT_H_
#define TKVCERT_PLATFORM_POSIX_WIDE_TEXT_H_

#include <string>

namespace tkv {

std::wstring DecodeUtf8Lossless(const std::string& bytes);
// The same into `text`, whose buffer is reused: a scan decodes a name per
// anchor.
void DecodeUtf8Lossless(const char* bytes, size_t size, std::wstring* text);
std::string EncodeUtf8Lossless(const std::wstring& text);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_WIDE_TEXT_H_
