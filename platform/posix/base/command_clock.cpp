#include "platform/posix/base/command_clock.h"

namespace tkv {

std::chrono::milliseconds CommandClock::TimeLeft(TimeUse use) const {
  const auto end = use == TimeUse::kRollback ? deadline_ : deadline_ - kRollbackReserve;
  return std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
}

}  // namespace tkv
