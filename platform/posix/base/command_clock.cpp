#include "platform/posix/base/command_clock.h"

namespace tkv {
namespace {

using Clock = std::chrono::steady_clock;
Clock::time_point deadline = Clock::now() + kCommandTimeLimit;

}  // namespace

void StartCommandClock() { deadline = Clock::now() + kCommandTimeLimit; }

void DiscountLockWait(Clock::duration waited) { deadline += waited; }

std::chrono::milliseconds TimeLeft(TimeUse use) {
  const Clock::time_point end = use == TimeUse::kRollback ? deadline : deadline - kRollbackReserve;
  return std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
}

}  // namespace tkv
