#include "platform/posix/sandbox/refresh_command.h"

#include <chrono>

#include <gtest/gtest.h>

namespace tkv {
namespace {

struct RunCase {
  const char* name;
  const char* script;
  std::chrono::milliseconds limit;
  DWORD code;
  const char* errors;
};

// The bound a case must finish within: a leftover that held the tool, or
// a limit not kept, would take the script's full sleep.
constexpr auto kWellBeforeTheSleep = std::chrono::seconds(4);

TEST(RefreshCommandTest, WaitsForTheRefreshAndNothingElse) {
  const RunCase cases[] = {
      {"succeeds", "exit 0", std::chrono::seconds(10), ERROR_SUCCESS, ""},
      {"fails, saying why", "echo why >&2; exit 3", std::chrono::seconds(10), ERROR_FUNCTION_FAILED,
       "why\n"},
      {"leaves a process behind that holds its error output",
       "echo done >&2; sleep 5 >&2 & exit 0", std::chrono::seconds(10), ERROR_SUCCESS, "done\n"},
      {"runs past its time limit", "exec sleep 5", std::chrono::milliseconds(300), ERROR_TIMEOUT, ""},
      {"closes its output and runs on past its limit", "exec 2>&-; sleep 5",
       std::chrono::milliseconds(300), ERROR_TIMEOUT, ""},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const RefreshOutcome outcome = RunRefreshCommand({"/bin/sh", "-c", c.script}, Sandbox{}, -1, c.limit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kWellBeforeTheSleep);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.errors, c.errors);
  }
}

struct SaidLines : RunEvents {
  std::vector<std::string> lines;
  void Said(const std::string& why, bool) override { lines.push_back(why); }
  void NameRead(const std::wstring&) override {}
};

// Debian's refresh runs a hook, then the store tells it of removals: one
// that fails both times is said once.
TEST(RefreshCommandTest, AHooksFailureIsSaidOnceACommand) {
  SaidLines said;
  Command command(RunSettings{}, said);
  RefreshOutcome outcome;
  outcome.output = "Running hooks in /etc/ca-certificates/update.d...\n"
                   "E: /etc/ca-certificates/update.d/jks exited with code 3.\n";
  PassOnOutput(command, "/usr/sbin/update-ca-certificates", outcome);
  PassOnOutput(command, "/usr/sbin/update-ca-certificates", outcome);
  EXPECT_EQ(said.lines, std::vector<std::string>{
                            "update-ca-certificates: E: /etc/ca-certificates/update.d/jks exited with code 3."});
  EXPECT_FALSE(command.FirstTime("E: /etc/ca-certificates/update.d/jks exited with code 3."));
}

}  // namespace
}  // namespace tkv
