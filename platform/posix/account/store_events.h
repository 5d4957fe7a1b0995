// What the certificate API's calls tell of a run, at the top of the layer,
// as the rooms below tell theirs (base/run_events.h): a store opened, a
// file queried, a change made, a certificate removed. Whoever keeps the
// run's account hears them and decides what to say; the calls never read
// it back, and only the process's entry (api/process.cpp) names it.
#ifndef TKVCERT_PLATFORM_POSIX_ACCOUNT_STORE_EVENTS_H_
#define TKVCERT_PLATFORM_POSIX_ACCOUNT_STORE_EVENTS_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/run_events.h"
#include "platform/posix/change/store_change.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

class StoreEvents : public RunEvents {
 public:
  virtual void StoreOpened(const std::shared_ptr<const StoreLocation>& store) = 0;
  // A file to install held `der` first, and `passed_over` certificates after it.
  virtual void Queried(const std::vector<BYTE>& der, size_t passed_over) = 0;
  virtual void Changed(const ChangeOutcome& outcome) = 0;
  // A scan found in this anchor file (relative to the anchors directory) no
  // certificate, or a private key beside one: `trouble`.
  virtual void TroubledFile(const std::string& relative, AnchorTrouble trouble) = 0;
  // A removal took `der`; `listing` is its scan's, which met it in its file `at`.
  virtual void Removed(const std::vector<BYTE>& der, const std::shared_ptr<const std::vector<std::string>>& listing,
                       size_t at) = 0;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ACCOUNT_STORE_EVENTS_H_
