#include "tests/support/reported_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

namespace tkv::testing {

ReportedRun RunReporting(const std::vector<std::string>& args, const RunOptions& base,
                         const std::vector<std::pair<const char*, std::string>>& settings) {
  TempDir dir;
  const std::string path = dir.File("report.json");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  RunOptions options = base;
  options.leaked_fd = fd;
  std::vector<std::unique_ptr<ScopedEnvironmentVariable>> set;
  set.push_back(std::make_unique<ScopedEnvironmentVariable>("TKVCERT_REPORT", "9"));
  for (const auto& [name, value] : settings) set.push_back(std::make_unique<ScopedEnvironmentVariable>(name, value));
  ReportedRun run{RunTool(args, options), nullptr};
  close(fd);
  const std::string text = ReadFile(path);
  if (!text.empty()) run.report = nlohmann::json::parse(text, nullptr, false);
  return run;
}

std::string RootState(const std::string& root) {
  return RunProgram({"sh", "-c",
                     "cd '" + root + "' && find . -printf '%p %y %m %s %T@\\n' | sort && "
                     "find . -type f -exec sha256sum {} + | sort"})
      .out;
}

RunResult ForeseenRun(const std::vector<std::string>& args, const RunOptions& options, nlohmann::json* report) {
  if (OnWine()) return RunTool(args, options);
  auto state = [&] {
    return RunProgram({"sh", "-c", "cd '" + options.sysroot + "' && find . -path ./files -prune -o -printf "
                       "'%p %y %m %s %T@\\n' | sort && find . -path ./files -prune -o -type f -exec sha256sum {} + | sort"})
        .out;
  };
  const std::string before = state();
  const ReportedRun dry = RunReporting(args, options, {{"TKVCERT_DRY_RUN", "1"}});
  EXPECT_EQ(state(), before) << "the dry run changed the root";
  const ReportedRun real = RunReporting(args, options);
  for (const char* key : {"outcome", "changed", "removed", "error", "browsers_still_trusting"}) {
    EXPECT_EQ(dry.report.value(key, nlohmann::json()), real.report.value(key, nlohmann::json()))
        << key << " foreseen: " << dry.report.dump() << "\n real: " << real.report.dump();
  }
  if (report != nullptr) *report = real.report;
  return real.result;
}

}  // namespace tkv::testing
