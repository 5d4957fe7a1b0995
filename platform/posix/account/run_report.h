// The report of a run that TKVCERT_REPORT asks for: one JSON object written
// to the caller's descriptor once the run ends, for configuration
// management to read instead of the console's lines.
#ifndef TKVCERT_PLATFORM_POSIX_RUN_REPORT_H_
#define TKVCERT_PLATFORM_POSIX_RUN_REPORT_H_

#include <openssl/asn1.h>

#include <string>

#include <memory>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/run_settings.h"
#include "platform/posix/change/store_change.h"
#include "platform/posix/wincrypt_posix.h"
#include "platform/run_channel.h"

namespace tkv {

struct ClientAccount;

// Bumped when a key changes meaning or goes; new keys keep it.
constexpr int kReportVersion = 1;

// A certificate's time in UTC, for a report ("2026-01-31T12:00:00Z") or for
// a person ("2026-01-31 12:00:00 UTC"); "" when unreadable.
enum class TimeStyle { kReport, kPerson };
std::string TimeText(const ASN1_TIME* time, TimeStyle style);

// One "Error :" or "Warning :" line the front end printed.
struct ReportedLine {
  std::string message;
  bool warning = false;
  bool with_last_error = false;
  DWORD last_error = 0;
};

// What a run's account knows when the run ends: what was asked, and what
// the calls told it.
struct RunFacts {
  int report_fd = -1;  // TKVCERT_REPORT; -1 for none
  bool requested = false;
  RunCommand command = RunCommand::kInstall;
  std::wstring parameter;
  std::shared_ptr<const StoreLocation> store;
  std::vector<BYTE> queried;
  size_t certificates_passed_over = 0;
  ChangeOutcome changed;
  std::vector<BYTE> removed;
  size_t sharing_name = 0;  // a removal's certificates of the name, the removed one included
  // A removal that took nothing: "absent", or "distrusted" when the
  // distribution's set holds it and the family distrusts it already.
  std::string already;
  std::vector<std::string> messages;
  std::vector<std::string> warnings;
  std::vector<ReportedLine> reported;
  // A browser that still trusts the certificate removed, and the file of
  // its that outweighs the tool's.
  struct StillTrusting {
    std::string browser;
    std::string file;
  };
  std::vector<StillTrusting> browsers_still_trusting;
  bool refused = false;  // a setting did not hold: nothing was done
  // Clients with roots of their own: the look after a change, or the walk
  // TKVCERT_CLIENTS=1 asks for.
  std::shared_ptr<const ClientAccount> clients;
};

// Every certificate of the store as a table for a person: SHA-1, expiry,
// source and name, a line each.
std::string StoreTable(const StoreLocation& location);

// The report of a run that ended with `status`, as text.
std::string RunReport(const RunFacts& facts, const RunSettings& settings, int status);

// Writes it whole to the report's descriptor, never failing the run: a
// reader that went away costs the report, not the change.
void WriteRunReport(const RunFacts& facts, const RunSettings& settings, int status);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_RUN_REPORT_H_
