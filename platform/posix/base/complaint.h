// A line for the admin on standard error, "tkvcert: <why>": what the store
// knows of a failure and no last-error code can say. Standard output stays
// the tool's own. Much of <why> comes from elsewhere (what an image's
// refresh printed, names found in a root): its controls are shown escaped.
#ifndef TKVCERT_PLATFORM_POSIX_COMPLAINT_H_
#define TKVCERT_PLATFORM_POSIX_COMPLAINT_H_

#include <unistd.h>

#include <string>

#include "platform/posix/base/terminal_text.h"

namespace tkv {

// Keeps the line for the run's report as well.
void RecordComplaint(const std::string& why, bool warning);

inline void Say(const std::string& why, bool warning) {
  RecordComplaint(why, warning);
  const std::string line = "tkvcert: " + EscapeControls(why) + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

inline void Complain(const std::string& why) { Say(why, false); }

// A complaint of a hook or a browser step: the change stands, and the
// report counts the line among its warnings.
inline void Warn(const std::string& why) { Say(why, true); }

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_COMPLAINT_H_
