#include "platform/posix/base/wide_text.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  std::wstring text;
};

TEST(WideTextTest, DecodesUtf8AndEscapesEveryOtherByteLosslessly) {
  const Case cases[] = {
      {"ASCII", "ca.pem", L"ca.pem"},
      {"two, three and four bytes", "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x94\x92", L"\u00FC\u20AC\U0001F512"},
      {"Latin-1 byte", "caf\xE9", L"caf\xDCE9"},
      {"overlong slash", "\xC0\xAF", L"\xDCC0\xDCAF"},
      {"encoded surrogate", "\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
      {"truncated sequence at the end", "a\xE2\x82", L"a\xDCE2\xDC82"},
      {"lone continuation", "\x80x", L"\xDC80x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeUtf8Lossless(c.bytes), c.text);
    EXPECT_EQ(EncodeUtf8Lossless(c.text), c.bytes);
  }
}

TEST(WideTextTest, TextWithNoByteFormShowsTheReplacementMark) {
  // Surrogates outside the escape range never come from decoding.
  EXPECT_EQ(EncodeUtf8Lossless(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(EncodeUtf8Lossless(std::wstring(1, static_cast<wchar_t>(0xDC41))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tkv
