#include "platform/posix/anchors/distribution_set.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/test_certs.h"

namespace tkv {
namespace {

using testing::Bytes;
using testing::ToPem;
using testing::WriteFile;

struct ConfCase {
  const char* name;
  std::string conf;
  bool distrust;
  std::string after;  // "" for no edit
};

// Only the lines that name a file holding the certificate change, by a "!"
// put before them or taken away; every other byte stays.
TEST(DistributionSetTest, OnlyTheLinesThatNameItChange) {
  const ConfCase cases[] = {
      {"a chosen line", "# c\nmozilla/A.crt\n\nmozilla/B.crt\n", true, "# c\nmozilla/A.crt\n\n!mozilla/B.crt\n"},
      {"no line end at the end", "mozilla/A.crt\nmozilla/B.crt", true, "mozilla/A.crt\n!mozilla/B.crt"},
      {"two files that hold it", "mozilla/B.crt\ncopy/B.crt\n", true, "!mozilla/B.crt\n!copy/B.crt\n"},
      {"a comment naming it", "#mozilla/B.crt\n", true, ""},
      {"distrusted already", "!mozilla/B.crt\n", true, ""},
      {"a line with a carriage return names no file", "mozilla/B.crt\r\n", true, ""},
      {"lifted", "mozilla/A.crt\n!mozilla/B.crt\n", false, "mozilla/A.crt\nmozilla/B.crt\n"},
      {"another's distrust stays", "!mozilla/A.crt\n", false, ""},
      {"a file that holds another too", "mozilla/A.crt\nlocal/both.crt\n", true, "refused"},
  };
  const Bytes a = testing::MakeCertificate("Set A");
  const Bytes b = testing::MakeCertificate("Set B", 2);
  for (const ConfCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(system(("mkdir -p '" + dir.path() + "/etc' '" + dir.path() + "/usr/share/ca-certificates/mozilla' '" +
                      dir.path() + "/usr/share/ca-certificates/copy' '" + dir.path() + "/usr/share/ca-certificates/local'")
                         .c_str()),
              0);
    WriteFile(dir.path() + "/usr/share/ca-certificates/mozilla/A.crt", ToPem(a));
    WriteFile(dir.path() + "/usr/share/ca-certificates/mozilla/B.crt", ToPem(b));
    WriteFile(dir.path() + "/usr/share/ca-certificates/copy/B.crt", ToPem(b));
    WriteFile(dir.path() + "/usr/share/ca-certificates/local/both.crt", ToPem(a) + ToPem(b));
    WriteFile(dir.path() + "/etc/ca-certificates.conf", c.conf);
    std::shared_ptr<const RootDirectory> root;
    ASSERT_EQ(RootDirectory::Open(dir.path(), &root), ERROR_SUCCESS);
    const StoreLocation location{&StoreLayouts()[1], root, "", false};
    std::vector<DistrustEdit> edits;
    std::string why;
    const DWORD code = PlanDistrust(location, b, c.distrust, &edits, &why);
    ASSERT_EQ(code, c.after == "refused" ? ERROR_ACCESS_DENIED : ERROR_SUCCESS) << why;
    if (code != ERROR_SUCCESS) continue;
    ASSERT_EQ(edits.size(), c.after.empty() ? 0u : 1u);
    if (edits.empty()) continue;
    EXPECT_EQ(edits[0].dir + "/" + edits[0].name, "etc/ca-certificates.conf");
    EXPECT_EQ(edits[0].file.contents, c.after);
  }
}

// A p11-kit family's set keeps its trust in the objects' attributes: one
// the distribution distrusts is not in the store.
TEST(DistributionSetTest, AnObjectTheDistributionDistrustsIsNotInTheStore) {
  const Bytes a = testing::MakeCertificate("Set A");
  const Bytes b = testing::MakeCertificate("Set B", 2);
  testing::TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string set = dir.path() + "/usr/share/pki/ca-trust-source";
  ASSERT_EQ(system(("mkdir -p '" + set + "'").c_str()), 0);
  WriteFile(set + "/ca-bundle.trust.p11-kit", "[p11-kit-object-v1]\nlabel: \"A\"\ntrusted: true\n" + ToPem(a) +
                                                  "\n[p11-kit-object-v1]\nlabel: \"B\"\nx-distrusted: true\n" +
                                                  ToPem(b));
  std::shared_ptr<const RootDirectory> root;
  ASSERT_EQ(RootDirectory::Open(dir.path(), &root), ERROR_SUCCESS);
  const StoreLocation location{&StoreLayouts()[2], root, "", false};
  std::vector<DistributionCertificate> found;
  ASSERT_EQ(ReadDistributionSet(location, /*distrusted_too=*/true, &found), ERROR_SUCCESS);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].der, a);
}

}  // namespace
}  // namespace tkv
