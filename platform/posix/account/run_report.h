// The report of a run that TKVCERT_REPORT asks for: one JSON object written
// to the caller's descriptor once the run ends, for configuration
// management to read instead of the console's lines.
#ifndef TKVCERT_PLATFORM_POSIX_RUN_REPORT_H_
#define TKVCERT_PLATFORM_POSIX_RUN_REPORT_H_

#include <openssl/asn1.h>

#include <string>

#include "platform/posix/account/run_account.h"

namespace tkv {

// Bumped when a key changes meaning or goes; new keys keep it.
constexpr int kReportVersion = 1;

// A certificate's time in UTC, for a report ("2026-01-31T12:00:00Z") or for
// a person ("2026-01-31 12:00:00 UTC"); "" when unreadable.
enum class TimeStyle { kReport, kPerson };
std::string TimeText(const ASN1_TIME* time, TimeStyle style);

// The report of a run that ended with `status`, as text.
std::string RunReport(const RunAccount& account, int status);

// Writes it whole to the account's descriptor, never failing the run: a
// reader that went away costs the report, not the change.
void WriteRunReport(const RunAccount& account, int status);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_RUN_REPORT_H_
