#include "platform/posix/browser_policies.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

TEST(BrowserPoliciesTest, OnlyOffSwitchesTheStepOff) {
  const struct {
    const char* value;
    bool off;
  } cases[] = {{nullptr, false}, {"", false}, {"on", false}, {"0", false},
               {"off", true},    {"OFF", true}, {"Off", true}, {"off ", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
    EXPECT_EQ(BrowsersSwitchedOff(c.value), c.off);
  }
}

}  // namespace
}  // namespace tkv
