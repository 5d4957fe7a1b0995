#include "platform/posix/anchors/store_layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/posix/sandbox/refresh_sandbox.h"
#include "platform/posix/sandbox/store_refresh.h"
#include "tests/support/ci_skip.h"
#include "tests/support/test_certs.h"

namespace tkv {
namespace {

const std::vector<std::string> kImageTop = {"--bind-fd", "3", "/"};

using testing::TempDir;
using testing::WriteFile;

struct DetectionCase {
  const char* name;
  std::vector<std::string> dirs;      // made below the root
  std::vector<std::string> programs;  // executable files made below the root
  std::vector<std::string> files;     // plain files made below the root
  const char* family;                 // nullptr: none detected
  std::vector<std::string> refresh;   // the command line, programs as the root sees them
};

void MakeDirs(const std::string& path) {
  ASSERT_EQ(system(("mkdir -p '" + path + "'").c_str()), 0);
}

void Make(const std::string& root, const DetectionCase& c) {
  for (const std::string& dir : c.dirs) MakeDirs(root + dir);
  for (const std::string& file : c.files) {
    MakeDirs(root + file.substr(0, file.rfind('/')));
    WriteFile(root + file, std::string());
  }
  for (const std::string& program : c.programs) {
    MakeDirs(root + program.substr(0, program.rfind('/')));
    WriteFile(root + program, std::string("#!/bin/sh\n"));
    ASSERT_EQ(chmod((root + program).c_str(), 0755), 0);
  }
}

TEST(StoreLayoutTest, FamilyNeedsItsAnchorsAndItsRefreshTogether) {
  const std::string debian_dir = "/usr/local/share/ca-certificates";
  const std::string fedora_dir = "/etc/pki/ca-trust/source/anchors";
  const std::string arch_dir = "/etc/ca-certificates/trust-source/anchors";
  const std::string suse_dir = "/etc/pki/trust/anchors";
  const std::string debian_conf = "/etc/ca-certificates.conf";
  const std::string uca = "/usr/sbin/update-ca-certificates";
  const std::string uct = "/usr/bin/update-ca-trust";
  const DetectionCase cases[] = {
      {"Fedora", {fedora_dir}, {uct}, {}, "Fedora, RHEL", {uct, "extract"}},
      {"Arch", {arch_dir}, {uct}, {}, "Arch", {uct}},
      {"openSUSE", {suse_dir}, {uca}, {}, "openSUSE, SLES", {uca}},
      {"a stray anchors directory", {fedora_dir, arch_dir}, {}, {}, nullptr, {}},
      {"a refresh with no anchors directory", {"/etc/pki"}, {uct}, {}, nullptr, {}},
      {"Debian's directory without its configuration is openSUSE's refresh alone",
       {debian_dir, suse_dir}, {uca}, {}, "openSUSE, SLES", {uca}},
      {"Debian before openSUSE", {debian_dir, suse_dir, "/etc/ssl/certs"}, {uca}, {debian_conf},
       "Debian, Ubuntu", {}},
      {"Debian before Fedora", {debian_dir, fedora_dir}, {uca, uct}, {debian_conf},
       "Debian, Ubuntu", {}},
      {"Fedora before Arch", {fedora_dir, arch_dir}, {uct}, {}, "Fedora, RHEL", {uct, "extract"}},
      {"Alpine: its marker, Debian's directory and refresh name", {debian_dir}, {uca},
       {"/etc/alpine-release"}, "Alpine", {uca}},
      {"Alpine before Debian", {debian_dir}, {uca}, {"/etc/alpine-release", debian_conf}, "Alpine",
       {uca}},
      {"Alpine needs its own refresh: the host's is not Alpine's", {debian_dir}, {},
       {"/etc/alpine-release"}, nullptr, {}},
      {"nothing", {"/etc", "/usr"}, {}, {}, nullptr, {}},
  };
  for (const DetectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    Make(root.path(), c);
    std::shared_ptr<const RootDirectory> opened;
    ASSERT_EQ(RootDirectory::Open(root.path(), &opened), static_cast<DWORD>(ERROR_SUCCESS));
    StoreLocation location;
    const DWORD code = LocateStore(opened, &location);
    if (c.family == nullptr) {
      EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
      continue;
    }
    ASSERT_EQ(code, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_STREQ(location.layout->family, c.family);
    EXPECT_EQ(location.anchors_path(), root.path() + "/" + location.layout->anchors_dir);
    if (c.refresh.empty()) continue;
    if (geteuid() != 0) {
      tkv::test::LeaveOutRow("planning a refresh needs root");
      continue;
    }
    StandardErrorEvents events;
    const Command command(RunSettings{}, events);
    RefreshCommand refresh;
    ASSERT_EQ(PlanRefresh(command, location, &refresh), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(refresh.argv, c.refresh);
    // Made only when a change is decided, not when it is planned.
    EXPECT_TRUE(refresh.sandbox.empty());
    ASSERT_EQ(PrepareSandbox(command, location, &refresh), static_cast<DWORD>(ERROR_SUCCESS));
    // Run in a sandbox whose "/" is the root, mounted from its descriptor.
    const std::vector<std::string>& options = refresh.sandbox.options;
    EXPECT_NE(std::search(options.begin(), options.end(), kImageTop.begin(), kImageTop.end()),
              options.end());
    EXPECT_EQ(refresh.sandbox.mounts.size(), 1u);
  }
}

TEST(StoreLayoutTest, ARootWithoutItsOwnRefreshLendsItsDirectoriesToTheHostsToolNotItsPath) {
  if (access("/usr/sbin/update-ca-certificates", X_OK) != 0) TKV_SKIP("no Debian tool here");
  if (geteuid() != 0 || !SandboxAvailable()) TKV_SKIP("needs root and bubblewrap");
  // Names a shell would split or evaluate: no path string reaches the tool.
  for (const char* name : {"img", "img root", "img$(id)", "img;x", "img\nx"}) {
    SCOPED_TRACE(name);
    TempDir parent;
    const std::string r = parent.path() + "/" + name;
    MakeDirs(r);
    Make(r, {"", {"/usr/local/share/ca-certificates", "/etc/ssl/certs"}, {},
             {"/etc/ca-certificates.conf"}, nullptr, {}});
    std::shared_ptr<const RootDirectory> opened;
    ASSERT_EQ(RootDirectory::Open(r, &opened), static_cast<DWORD>(ERROR_SUCCESS));
    StoreLocation location;
    ASSERT_EQ(LocateStore(opened, &location), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(location.refresh_inside_root);
    StandardErrorEvents events;
    const Command command(RunSettings{}, events);
    RefreshCommand refresh;
    ASSERT_EQ(PlanRefresh(command, location, &refresh), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(PrepareSandbox(command, location, &refresh), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(refresh.argv, std::vector<std::string>{"/usr/sbin/update-ca-certificates"});
    for (const std::string& option : refresh.sandbox.options) {
      EXPECT_EQ(option.find(parent.path()), std::string::npos) << option;
    }
    // The certificates (written), the anchors and the configuration; the
    // distribution's set is missing here and shown as an empty directory.
    EXPECT_EQ(refresh.sandbox.mounts.size(), 3u);
  }
}

}  // namespace
}  // namespace tkv
