// One command as every room below the certificate API's calls sees it: its
// settings, read once at its start; where what it learns goes; its clock;
// and what it has said once already. Made when the store is opened and
// handed down: no room keeps any of it in a global.
#ifndef TKVCERT_PLATFORM_POSIX_BASE_COMMAND_H_
#define TKVCERT_PLATFORM_POSIX_BASE_COMMAND_H_

#include <set>
#include <string>

#include "platform/posix/base/command_clock.h"
#include "platform/posix/base/run_events.h"
#include "platform/posix/base/run_settings.h"

namespace tkv {

class Command {
 public:
  Command(const RunSettings& settings, RunEvents& events) : settings_(settings), events_(&events) {}

  const RunSettings& settings() const { return settings_; }
  RunEvents& events() const { return *events_; }
  CommandClock& clock() { return clock_; }
  const CommandClock& clock() const { return clock_; }

  // "tkvcert: <why>" on standard error: what the store knows of a failure.
  void Complain(const std::string& why) const { events_->Said(why, false); }
  // The same of a hook or a browser step: the change stands.
  void Warn(const std::string& why) const { events_->Said(why, true); }
  // Whether `what` is said the first time in this command: a rollback
  // looks at the same anchors again, and says nothing new of them.
  bool FirstTime(const std::string& what) { return said_.insert(what).second; }

 private:
  RunSettings settings_;
  RunEvents* events_;
  CommandClock clock_;
  std::set<std::string> said_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BASE_COMMAND_H_
