#include "platform/posix/base/errno_name.h"

#include <cstring>

#include <gtest/gtest.h>

namespace tkv {
namespace {

// The table against glibc's own, where the tests are built: every name it
// gives is glibc's, and the calls of the sandbox's setup all have one.
TEST(ErrnoNameTest, NamesAsGlibcDoes) {
  for (int value = -1; value < 200; ++value) {
    if (const char* ours = ErrnoName(value)) {
      EXPECT_STREQ(ours, strerrorname_np(value)) << value;
    }
  }
  for (const int value : {EPERM, ENOENT, EACCES, EBADF, EINVAL, ENOMEM, ENOSYS, EOPNOTSUPP, ELOOP, EXDEV}) {
    EXPECT_NE(ErrnoName(value), nullptr) << value;
  }
}

}  // namespace
}  // namespace tkv
