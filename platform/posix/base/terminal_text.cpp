#include "platform/posix/base/terminal_text.h"

#include "platform/posix/base/wide_text.h"

namespace tkv {
namespace {

// How DecodeUtf8Lossless shows a byte that is not part of valid UTF-8.
constexpr wchar_t kInvalidByteBase = 0xDC00;

bool IsInvalidByte(wchar_t c) { return c >= kInvalidByteBase + 0x80 && c <= kInvalidByteBase + 0xFF; }

bool IsByteControl(wchar_t c) { return (c < 0x20 && c != L'\t') || c == 0x7F; }

bool IsCodePointControl(wchar_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 ||
         c == 0x2029;
}

void AppendHex(unsigned value, int digits, std::wstring* out) {
  static const char kHex[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out->push_back(static_cast<wchar_t>(kHex[(value >> shift) & 0xF]));
  }
}

}  // namespace

std::string EscapeControls(const std::string& text) {
  std::wstring shown;
  for (const wchar_t c : DecodeUtf8Lossless(text)) {
    if (IsInvalidByte(c) || IsByteControl(c)) {
      shown += L"\\x";
      AppendHex(static_cast<unsigned>(IsInvalidByte(c) ? c - kInvalidByteBase : c), 2, &shown);
    } else if (IsCodePointControl(c)) {
      shown += L"\\u";
      AppendHex(static_cast<unsigned>(c), 4, &shown);
    } else {
      shown.push_back(c);
    }
  }
  return EncodeUtf8Lossless(shown);
}

}  // namespace tkv
