#include "platform/posix/account/run_account.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

TEST(RunSettingsTest, OnlyOffSwitchesTheBrowserStepOffAndOnlyKeepLeavesItOut) {
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
    EXPECT_EQ(BrowserSettingOf(c.value) == BrowserSetting::kOff, c.off);
    EXPECT_EQ(BrowserSettingOf(c.value) == BrowserSetting::kKeep, c.kept);
  }
}

}  // namespace
}  // namespace tkv
