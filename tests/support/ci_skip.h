// Skipping a test or a row that cannot run here. Under CI=true, where every
// test this kind of machine can run must run, a skip fails instead, naming
// what is missing, unless docs/development.md lists its reason under "Skips
// under CI=true" (tests/support/skips.sh reads the same list).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tkv::test {

// Empty when a test may skip for `why` here; otherwise the failure to report.
std::string RefusedSkip(const std::string& why);

// For a row of a table that cannot run here: says so, or, under CI=true
// without leave, fails the test. The caller leaves the row out either way.
inline void LeaveOutRow(const std::string& why) {
  const std::string refused = RefusedSkip(why);
  if (refused.empty()) {
    std::printf("SKIP (a row): %s\n", why.c_str());
  } else {
    ADD_FAILURE() << refused;
  }
}

// GTEST_SKIP()'s work, or GTEST_FAIL()'s when CI=true refuses the skip.
inline void SkipOrFail(const char* file, int line, const std::string& why) {
  const std::string refused = RefusedSkip(why);
  ::testing::internal::AssertHelper(
      refused.empty() ? ::testing::TestPartResult::kSkip : ::testing::TestPartResult::kFatalFailure, file, line,
      refused.empty() ? why.c_str() : refused.c_str()) = ::testing::Message();
}

}  // namespace tkv::test

// GTEST_SKIP() for a test that cannot run here; `why` is a std::string.
#define TKV_SKIP(why) return ::tkv::test::SkipOrFail(__FILE__, __LINE__, (why))
