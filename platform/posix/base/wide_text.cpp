#include "platform/posix/base/wide_text.h"

namespace tkv {
namespace {

constexpr wchar_t kEscapeBase = 0xDC00;  // + a byte of 0x80..0xFF

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at bytes[i], or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF are not valid).
size_t ValidSequenceLength(const char* bytes, size_t size, size_t i, char32_t* cp) {
  const unsigned char lead = static_cast<unsigned char>(bytes[i]);
  size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > size) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char b = static_cast<unsigned char>(bytes[i + k]);
    if (!IsContinuation(b)) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF) return 0;
  if (value >= 0xD800 && value <= 0xDFFF) return 0;
  *cp = value;
  return length;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

void DecodeUtf8Lossless(const char* bytes, size_t size, std::wstring* text) {
  text->clear();
  text->reserve(size);
  for (size_t i = 0; i < size;) {
    char32_t cp = 0;
    const size_t length = ValidSequenceLength(bytes, size, i, &cp);
    if (length == 0) {
      text->push_back(kEscapeBase + static_cast<unsigned char>(bytes[i]));
      ++i;
    } else {
      text->push_back(static_cast<wchar_t>(cp));
      i += length;
    }
  }
}

std::wstring DecodeUtf8Lossless(const std::string& bytes) {
  std::wstring text;
  DecodeUtf8Lossless(bytes.data(), bytes.size(), &text);
  return text;
}

std::string EncodeUtf8Lossless(const std::wstring& text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (wchar_t wc : text) {
    const char32_t cp = static_cast<char32_t>(wc);
    if (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF) {
      bytes.push_back(static_cast<char>(cp - kEscapeBase));
    } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      AppendUtf8(0xFFFD, &bytes);  // no byte form; show the replacement mark
    } else {
      AppendUtf8(cp, &bytes);
    }
  }
  return bytes;
}

}  // namespace tkv
