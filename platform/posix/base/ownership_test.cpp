// Who could have changed what the tool trusts: the rule on its own, then as
// an image root's directories and links meet it.
#include "platform/posix/base/ownership.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix/base/root_directory.h"
#include "tests/support/ci_skip.h"
#include "tests/support/test_certs.h"

namespace tkv {
namespace {

struct stat Stat(mode_t mode, uid_t uid) {
  struct stat st{};
  st.st_mode = mode;
  st.st_uid = uid;
  st.st_gid = 50;
  return st;
}

TEST(OwnershipTest, RootsAloneMeansRootsAndWritableByNoOneElse) {
  struct Case {
    mode_t mode;
    uid_t uid;
    bool alone;
    bool keeps_names;  // as a directory above an image root
    const char* why;
  } cases[] = {
      {S_IFDIR | 0755, 0, true, true, ""},
      {S_IFDIR | 0555, 0, true, true, ""},
      {S_IFDIR | 0775, 0, false, false, "writable by group 50 (mode 0775)"},
      {S_IFDIR | 0757, 0, false, false, "writable by anyone (mode 0757)"},
      {S_IFDIR | 01777, 0, false, true, "writable by anyone (mode 1777)"},
      {S_IFDIR | 01775, 0, false, true, "writable by group 50 (mode 1775)"},
      {S_IFDIR | 0755, 1000, false, false, "owned by uid 1000 (mode 0755)"},
      {S_IFDIR | 01777, 1000, false, false, "owned by uid 1000 (mode 1777)"},
      {S_IFREG | 0644, 0, true, false, ""},
      {S_IFREG | 0664, 0, false, false, "writable by group 50 (mode 0664)"},
      {S_IFREG | 0600, 1000, false, false, "owned by uid 1000 (mode 0600)"},
  };
  for (const Case& c : cases) {
    const struct stat st = Stat(c.mode, c.uid);
    SCOPED_TRACE(ModeText(st) + " uid " + std::to_string(c.uid));
    EXPECT_EQ(OwnedAlone(st, 0), c.alone);
    EXPECT_EQ(KeepsRootsNames(st), c.keeps_names);
    EXPECT_EQ(WhyNotOwnedAlone(st, 0), c.why);
  }
  // Whose alone is asked: the staging directory is the tool's own user's.
  EXPECT_TRUE(OwnedAlone(Stat(S_IFDIR | 0700, 1000), 1000));
  EXPECT_FALSE(OwnedAlone(Stat(S_IFDIR | 0700, 0), 1000));
}

void Shell(const std::string& command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

// An image root's anchors directory, and the ways to it, as root checks
// them: every directory a name is looked up in, through links too.
TEST(OwnershipTest, AnImageRootsWayToItsAnchorsIsRootsAlone) {
  if (geteuid() != 0) TKV_SKIP("needs root, to own files as another user");
  struct Case {
    const char* what;
    const char* arrange;  // run in the root
    bool trusted;
  } cases[] = {
      {"root's, 0755 all the way", "", true},
      {"the anchors directory group-writable", "chmod 0775 a/anchors", false},
      {"the anchors directory writable by anyone", "chmod 0757 a/anchors", false},
      {"the anchors directory sticky and open", "chmod 1777 a/anchors", false},
      {"the anchors directory another user's", "chown 1000 a/anchors", false},
      {"a directory on the way group-writable", "chmod 0775 a", false},
      {"a directory on the way another user's", "chown 1000 a", false},
      {"the root itself group-writable", "chmod 0775 .", false},
      {"a link to root's directory", "mv a/anchors b/real && ln -s ../b/real a/anchors", true},
      {"a link to another user's directory", "mv a/anchors b/real && ln -s /b/real a/anchors && chown 1000 b/real",
       false},
      {"a link through a group-writable directory", "mv a/anchors b/real && ln -s ../b/real a/anchors && chmod 0775 b",
       false},
      {"a link that another user owns, in root's directory, to root's", "mv a/anchors b/real && "
       "ln -s /b/real a/anchors && chown -h 1000 a/anchors", true},
      {"a link that climbs out, back to root's", "mv a/anchors b/real && ln -s ../../../../b/real a/anchors", true},
      {"not there at all", "rmdir a/anchors", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const std::string root = dir.path() + "/root";
    Shell("mkdir -m 0755 '" + root + "' && cd '" + root + "' && mkdir -m 0755 -p a/anchors b && " +
          (*c.arrange ? c.arrange : "true"));
    std::shared_ptr<const RootDirectory> opened;
    std::string why;
    const DWORD open = RootDirectory::Open(root, &opened, &why);
    if (open != ERROR_SUCCESS) {
      EXPECT_FALSE(c.trusted) << why;
      EXPECT_EQ(open, static_cast<DWORD>(ERROR_ACCESS_DENIED));
      continue;
    }
    const DWORD code = opened->CheckTrusted("a/anchors", &why);
    EXPECT_EQ(code, c.trusted ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_ACCESS_DENIED)) << why;
    if (!c.trusted) {
      EXPECT_NE(why.find("another user could change"), std::string::npos) << why;
    }
  }
}

TEST(OwnershipTest, AboveAnImageRootOthersMayAddNamesOnlyWhereTheyCannotRemoveRoots) {
  if (geteuid() != 0) TKV_SKIP("needs root, to own files as another user");
  struct Case {
    const char* mode_and_owner;
    bool opens;
  } cases[] = {{"0755 0", true}, {"1777 0", true}, {"0777 0", false}, {"0775 0", false}, {"1777 1000", false},
               {"0755 1000", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode_and_owner);
    testing::TempDir dir;
    const std::string above = dir.path() + "/above";
    Shell("mkdir -p '" + above + "/root' && set -- " + c.mode_and_owner + " && chmod $1 '" + above +
          "' && chown $2 '" + above + "'");
    std::shared_ptr<const RootDirectory> opened;
    std::string why;
    EXPECT_EQ(RootDirectory::Open(above + "/root", &opened, &why),
              c.opens ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_ACCESS_DENIED))
        << why;
  }
}

}  // namespace
}  // namespace tkv
