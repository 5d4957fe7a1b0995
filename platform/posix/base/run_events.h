// What the layer's rooms learn on the way, told upward to whoever keeps the
// run's account, which decides what to say of it and when. A room reports
// through this interface and never reads the account back.
#ifndef TKVCERT_PLATFORM_POSIX_BASE_RUN_EVENTS_H_
#define TKVCERT_PLATFORM_POSIX_BASE_RUN_EVENTS_H_

#include <string>

namespace tkv {

class RunEvents {
 public:
  virtual ~RunEvents() = default;

  // A line for the admin, "tkvcert: <why>", on standard error at once: what
  // no last-error code can say. A warning (a hook's, a browser step's)
  // leaves the command's outcome as it is.
  virtual void Said(const std::string& why, bool warning) = 0;
  // A removal's scan read this name.
  virtual void NameRead(const std::wstring& name) = 0;
  // A browser still trusts the certificate a removal took, because `file`
  // (as shown) outweighs the tool's policy file; `why` says so, as a
  // warning.
  virtual void BrowserStillTrusts(const std::string& browser, const std::string& file, const std::string& why) {
    (void)browser, (void)file;
    Said(why, true);
  }
};

// Lines to standard error, and nothing kept: for programs without an
// account (the benchmarks, the fuzz targets, unit tests).
class StandardErrorEvents : public RunEvents {
 public:
  void Said(const std::string& why, bool warning) override;
  void NameRead(const std::wstring&) override {}
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BASE_RUN_EVENTS_H_
