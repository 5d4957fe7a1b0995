#include "tests/support/ci_skip.h"

#include <cstdlib>
#include <optional>

namespace tkv::test {
namespace {

// CI as the test found it, put back afterwards.
class CiSetting {
 public:
  CiSetting() {
    if (const char* value = std::getenv("CI")) was_ = value;
  }
  ~CiSetting() {
    if (was_) {
      setenv("CI", was_->c_str(), 1);
    } else {
      unsetenv("CI");
    }
  }

 private:
  std::optional<std::string> was_;
};

TEST(CiSkipTest, UnderCiOnlyTheListedReasonsSkip) {
  const CiSetting kept;
  setenv("CI", "true", 1);
  EXPECT_EQ(RefusedSkip("a sanitized build is not packaged"), "");
  EXPECT_EQ(RefusedSkip("the Linux build's own: anchor files"), "");
  EXPECT_EQ(RefusedSkip("needs root"), "CI=true, and this cannot run: needs root");
  EXPECT_NE(RefusedSkip("the Linux build's owner"), "");
  EXPECT_NE(RefusedSkip("a sanitized build is not packaged, nor is this"), "");
  setenv("CI", "1", 1);
  EXPECT_EQ(RefusedSkip("needs root"), "");
  unsetenv("CI");
  EXPECT_EQ(RefusedSkip("needs root"), "");
}

}  // namespace
}  // namespace tkv::test
