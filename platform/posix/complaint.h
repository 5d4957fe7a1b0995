// A line for the admin on standard error, "tkvcert: <why>": what the store
// knows of a failure and no last-error code can say. Standard output stays
// the tool's own. Much of <why> comes from elsewhere (what an image's
// refresh printed, names found in a root): its controls are shown escaped.
#ifndef TKVCERT_PLATFORM_POSIX_COMPLAINT_H_
#define TKVCERT_PLATFORM_POSIX_COMPLAINT_H_

#include <unistd.h>

#include <string>

#include "platform/posix/terminal_text.h"

namespace tkv {

inline void Complain(const std::string& why) {
  const std::string line = "tkvcert: " + EscapeControls(why) + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_COMPLAINT_H_
