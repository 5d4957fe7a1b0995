// Text from elsewhere (what an image's refresh or hook printed, names found
// in a root) made safe to show on the admin's terminal: it can move no
// cursor, set no title, clear no screen and reorder no text around it.
//
// Escaped, as visible ASCII with lower-case hex digits:
//   \xNN    a byte: a C0 control other than tab (a line end included: one
//           complaint is one line), DEL, and every byte that is not part of
//           valid UTF-8 (so a lone 0x9B, the one-byte CSI, too)
//   \uNNNN  a code point: the C1 controls U+0080..U+009F, the bidirectional
//           controls (U+061C, U+200E, U+200F, U+202A..U+202E,
//           U+2066..U+2069) and the line and paragraph separators U+2028,
//           U+2029
// Everything else, valid UTF-8 in any script, passes unchanged; so does a
// backslash, so text that already reads "\x1b" reads the same.
#ifndef TKVCERT_PLATFORM_POSIX_TERMINAL_TEXT_H_
#define TKVCERT_PLATFORM_POSIX_TERMINAL_TEXT_H_

#include <string>

namespace tkv {

std::string EscapeControls(const std::string& text);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_TERMINAL_TEXT_H_
