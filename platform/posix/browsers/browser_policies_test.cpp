#include "platform/posix/browsers/browser_policies.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

TEST(BrowserPoliciesTest, OnlyOffSwitchesTheStepOffAndOnlyKeepLeavesItOut) {
  const struct {
    const char* value;
    bool off;
    bool kept;
  } cases[] = {{nullptr, false, false}, {"", false, false},    {"on", false, false},
               {"0", false, false},     {"off", true, false},  {"OFF", true, false},
               {"Off", true, false},    {"off ", false, false}, {"keep", false, true},
               {"KEEP", false, true},   {"kept", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
    EXPECT_EQ(BrowsersSwitchedOff(c.value), c.off);
    EXPECT_EQ(BrowsersKept(c.value), c.kept);
  }
}

}  // namespace
}  // namespace tkv
