// One time limit for a whole command: every program it runs for the store,
// hooks and the refresh of a rollback included. Waiting for another run's
// lock does not count: that run's own limit bounds it.
#ifndef TKVCERT_PLATFORM_POSIX_COMMAND_CLOCK_H_
#define TKVCERT_PLATFORM_POSIX_COMMAND_CLOCK_H_

#include <chrono>

namespace tkv {

// Longer than any real refresh of a large store on a slow disk, with its
// hooks; a command still running then is stuck, and holds the store's lock.
constexpr std::chrono::minutes kCommandTimeLimit{10};
// The last part of it, kept for putting back a change whose refresh failed,
// so that a stuck refresh cannot leave no time for the rollback.
constexpr std::chrono::minutes kRollbackReserve{1};

enum class TimeUse { kChange, kRollback };

class CommandClock {
 public:
  // Started when made: when the store is opened.
  CommandClock() : deadline_(std::chrono::steady_clock::now() + kCommandTimeLimit) {}
  // Counts a wait for the lock out of the command's time.
  void DiscountLockWait(std::chrono::steady_clock::duration waited) { deadline_ += waited; }
  // The time left for a step of `use`: what a change may use ends
  // kRollbackReserve before the end. Zero or less when none is left.
  std::chrono::milliseconds TimeLeft(TimeUse use) const;

 private:
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_COMMAND_CLOCK_H_
