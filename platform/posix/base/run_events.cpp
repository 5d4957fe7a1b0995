#include "platform/posix/base/run_events.h"

#include <unistd.h>

#include "platform/posix/base/terminal_text.h"

namespace tkv {

void StandardErrorEvents::Said(const std::string& why, bool) {
  const std::string line = "tkvcert: " + EscapeControls(why) + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

}  // namespace tkv
