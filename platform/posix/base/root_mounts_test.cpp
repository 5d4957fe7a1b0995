// Which of the mounts below a root its sandbox shows, from mountinfo text.
#include "platform/posix/base/root_mounts.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

// A mountinfo line for `point`, of `type`, numbered `id`.
std::string Line(int id, const std::string& point, const std::string& type) {
  return std::to_string(id) + " 1 8:1 / " + point + " rw,relatime shared:1 - " + type + " /dev/x rw\n";
}

TEST(RootMountsTest, ParsesMountInfoWithItsEscapes) {
  const std::vector<MountInfo> mounts = ParseMountInfo(
      "36 35 98:0 /sub /mnt/a\\040b rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n"
      "37 35 0:30 / /sys/fs/cgroup/pids rw,nosuid - cgroup cgroup rw,pids\n"
      "garbage\n");
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].id, 36u);
  EXPECT_EQ(mounts[0].root, "/sub");
  EXPECT_EQ(mounts[0].mount_point, "/mnt/a b");
  EXPECT_EQ(mounts[0].type, "ext3");
  EXPECT_EQ(mounts[1].options, "rw,pids");
}

TEST(RootMountsTest, ShowsTheRootsOwnFileSystemsAndNoneOfTheKernels) {
  struct Case {
    const char* what;
    std::string mountinfo;
    std::vector<std::string> shown;  // below the root, in order
  } cases[] = {
      {"a usr of its own, parents first", Line(2, "/r/usr/local", "xfs") + Line(3, "/r/usr", "ext4"),
       {"usr", "usr/local"}},
      {"the kernel's interfaces and memory", Line(2, "/r/mnt/sysfs", "sysfs") + Line(3, "/r/var/cache", "tmpfs") +
                                                 Line(4, "/r/mnt/user", "fuse.sshfs"),
       {}},
      {"what a sandbox makes its own", Line(2, "/r/run/data", "ext4") + Line(3, "/r/tmp", "ext4") +
                                           Line(4, "/r/proc", "proc") + Line(5, "/r/devices", "ext4"),
       {"devices"}},
      {"a disk below a kernel interface", Line(2, "/r/mnt/k", "sysfs") + Line(3, "/r/mnt/k/disk", "ext4"), {}},
      {"a disk over a kernel interface at its place", Line(2, "/r/data", "tmpfs") + Line(3, "/r/data", "ext4") +
                                                          Line(4, "/r/data/more", "ext4"),
       {"data", "data/more"}},
      {"elsewhere, or the root itself", Line(2, "/r", "ext4") + Line(3, "/rr/usr", "ext4") + Line(4, "/usr", "ext4"),
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> shown;
    for (const RootMount& mount : MountsBelow(ParseMountInfo(c.mountinfo), "/r")) shown.push_back(mount.below_root);
    EXPECT_EQ(shown, c.shown);
  }
}

TEST(RootMountsTest, AMountHoldsWhatIsAtItsPlaceOrBelow) {
  EXPECT_TRUE(MountHolds({1, "", "ext4"}, "etc/ssl/certs"));
  EXPECT_TRUE(MountHolds({1, "etc", "ext4"}, "etc/ssl/certs"));
  EXPECT_TRUE(MountHolds({1, "etc/ssl/certs", "ext4"}, "etc/ssl/certs"));
  EXPECT_FALSE(MountHolds({1, "etc/ssl/certs/java", "ext4"}, "etc/ssl/certs"));
  EXPECT_FALSE(MountHolds({1, "et", "ext4"}, "etc/ssl/certs"));
  EXPECT_FALSE(MountHolds({1, "run", "ext4"}, "etc/chromium"));
}

TEST(RootMountsTest, ShowsOnlyWhatHoldsWhatTheRefreshNeeds) {
  const std::vector<std::string> needed = {"usr", "etc", "bin", "var/lib/ca-certificates",
                                           "usr/local/share/ca-certificates"};
  const struct {
    const char* below_root;
    bool shown;
  } rows[] = {
      {"", true}, {"usr", true}, {"usr/local", true}, {"usr/src/linux", true}, {"etc/resolv.conf", true},
      {"var", true}, {"var/lib", true}, {"var/lib/ca-certificates", true}, {"var/lib/ca-certificates/x", true},
      {"var/cache", false}, {"var/lib/apt", false}, {"home", false}, {"home/user", false}, {"srv", false},
      {"mnt/host/usr", false}, {"us", false}, {"usrx", false}, {"etcetera", false}, {"binaries", false},
  };
  for (const auto& row : rows) {
    const std::vector<RootMount> shown = NeededMounts({{1, row.below_root, "ext4"}}, needed);
    EXPECT_EQ(shown.size(), row.shown ? 1u : 0u) << row.below_root;
  }
}

}  // namespace
}  // namespace tkv
