// Runs of the tool with its JSON report, and a dry run held to the real
// run that follows it.
#ifndef TKVCERT_TESTS_SUPPORT_REPORTED_RUN_H_
#define TKVCERT_TESTS_SUPPORT_REPORTED_RUN_H_

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/sandbox.h"

namespace tkv::testing {

// A run with TKVCERT_REPORT=9 (and the settings given), and the report it
// wrote; null when it wrote none.
struct ReportedRun {
  RunResult result;
  nlohmann::json report;
};

ReportedRun RunReporting(const std::vector<std::string>& args, const RunOptions& base,
                         const std::vector<std::pair<const char*, std::string>>& settings = {});

// Everything below a root: names, kinds, modes, sizes, times and contents.
std::string RootState(const std::string& root);

// Runs `args` twice, each with its report: dry, then for real. The dry run
// must leave every byte of the root as it was (the inputs in files/ aside)
// and foresee what the real run then does: its outcome, what it changes,
// its error, the browsers that still trust a removed CA (a GoogleTest
// failure otherwise). The real run's result, and with `report` its report.
// Under Wine, which has no report, the real run alone.
RunResult ForeseenRun(const std::vector<std::string>& args, const RunOptions& options,
                      nlohmann::json* report = nullptr);

}  // namespace tkv::testing

#endif  // TKVCERT_TESTS_SUPPORT_REPORTED_RUN_H_
