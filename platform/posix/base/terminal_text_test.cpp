#include "platform/posix/base/terminal_text.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

struct Case {
  const char* name;
  std::string text;
  std::string shown;
};

TEST(TerminalTextTest, ControlsAreShownEscapedAndOtherTextAsItIs) {
  const Case cases[] = {
      {"text in any script", "Caf\xC3\xA9 \xE8\xAF\x81\xE4\xB9\xA6 \xF0\x9F\x94\x92\ttab",
       "Caf\xC3\xA9 \xE8\xAF\x81\xE4\xB9\xA6 \xF0\x9F\x94\x92\ttab"},
      {"a title, a cleared screen, a colour", "\x1B]0;owned\x07\x1B[2J\x1B[32mDone",
       "\\x1b]0;owned\\x07\\x1b[2J\\x1b[32mDone"},
      {"line ends, NUL and DEL", std::string("a\nb\r\0c\x7F", 7), "a\\x0ab\\x0d\\x00c\\x7f"},
      {"C1 controls spelt in UTF-8", "\xC2\x9B" "2J\xC2\x85\xC2\x80\xC2\x9F",
       "\\u009b2J\\u0085\\u0080\\u009f"},
      {"the first code point past C1", "\xC2\xA0", "\xC2\xA0"},
      {"bytes that are not UTF-8", "\x9B" "2J caf\xE9 \xC0\x9B \xE2\x80",
       "\\x9b2J caf\\xe9 \\xc0\\x9b \\xe2\\x80"},
      {"bidirectional controls", "\xE2\x80\xAEgpj.exe\xE2\x80\xAC \xE2\x81\xA6\xE2\x81\xA9 "
       "\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C",
       "\\u202egpj.exe\\u202c \\u2066\\u2069 \\u200e\\u200f\\u061c"},
      {"line and paragraph separators", "a\xE2\x80\xA8" "b\xE2\x80\xA9", "a\\u2028b\\u2029"},
      {"a backslash is text", "C:\\x1b", "C:\\x1b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeControls(c.text), c.shown);
  }
}

}  // namespace
}  // namespace tkv
