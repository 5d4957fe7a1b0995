// The Linux layer's own account of a run: the settings it was given, read
// once before anything is opened; what the front end said it was asked;
// and what the layer's calls learned on the way, told to it as events. It
// listens and decides nothing for the layer: it says on standard error what
// a person needs, as lines come and once the run ends, and writes the
// report last.
#ifndef TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_
#define TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/account/run_report.h"
#include "platform/posix/account/store_events.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/store_names.h"
#include "platform/posix/base/run_events.h"
#include "platform/posix/base/run_settings.h"
#include "platform/posix/change/store_change.h"
#include "platform/posix/wincrypt_posix.h"
#include "platform/run_channel.h"

namespace tkv {

// What TKVCERT_BROWSERS (null when unset) asks: "off" or "keep" in any case,
// else to follow.
BrowserSetting BrowserSettingOf(const char* value);

class RunAccount : public StoreEvents {
 public:
  // The channel's calls (platform/run_channel.h), in the order a run makes
  // them. Begin reads the settings; it and Request are false when the run
  // must end at once with status 1 (a line on standard error says why).
  bool Begin(int arguments);
  int List();
  bool Request(RunCommand command, const wchar_t* parameter, size_t ignored_arguments);
  void Error(const wchar_t* message, bool warning, bool with_last_error);
  std::wstring ShownName(const wchar_t* name) const;
  void End(int status);

  const RunSettings& settings() const { return settings_; }
  // The settings a store is opened with: the run's, read once by Begin; in
  // a process that opens stores without a run (a unit test, a benchmark),
  // read from the environment at each open.
  RunSettings SettingsForStore() const;

  // What the certificate API's calls tell it, from the top of the layer.
  void StoreOpened(const std::shared_ptr<const StoreLocation>& store) override { facts_.store = store; }
  void Queried(const std::vector<BYTE>& der, size_t passed_over) override;
  void Changed(const ChangeOutcome& outcome) override;
  void Removed(const std::vector<BYTE>& der, const std::shared_ptr<const std::vector<std::string>>& listing,
               size_t at) override;

  // What the layer's rooms learn on the way.
  void Said(const std::string& why, bool warning) override;
  void NameRead(const std::wstring& name) override;
  void TroubledFile(const std::string& relative, AnchorTrouble trouble) override;
  void BrowserStillTrusts(const std::string& browser, const std::string& file, const std::string& why) override;

  // What it knows, for the report.
  const RunFacts& facts() const { return facts_; }

 private:
  bool Refuse(const std::string& why);
  void SayNothingMatched();
  bool SayAlreadyDistrusted();
  void SayWhatRemains();
  void SayWhatWasKept();
  void SayWhatAnchorsHoldAmiss();
  void SayWhatWillNotWork();

  RunSettings settings_;
  RunFacts facts_;
  std::unique_ptr<NameSuggestions> suggestions_;
  std::vector<std::pair<std::string, AnchorTrouble>> troubled_files_;
  std::shared_ptr<const std::vector<std::string>> removed_listing_;
  size_t removed_at_ = 0;
  bool began_ = false;
  bool ended_ = false;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_
