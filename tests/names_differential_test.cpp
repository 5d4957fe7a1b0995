// Our layer and Wine's crypt32, an independent implementation of the same
// API, must agree on the simple display name of every subject form.
#include <openssl/x509v3.h>

#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/ci_skip.h"
#include "tests/support/sandbox.h"

namespace tkv::testing {
namespace {

struct NameCase {
  const char* name;
  CertSpec spec;
  const char* wine_wrong = nullptr;  // where Wine departs from Windows' documentation
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TEST(NamesDifferentialTest, OurNamesAreWines) {
  if (!OnWine()) TKV_SKIP("the Windows build's own: compares with it under Wine");
  const std::string wine_probe = WineProbe();
  const int u8 = V_ASN1_UTF8STRING;
  const std::string ip = std::string("\xC0\x00\x02\x01", 4);
  const NameCase cases[] = {
      {"CN only", {{{"CN", "Only CN", u8}}}},
      {"CN, O and OU", {{{"O", "Org", u8}, {"OU", "Unit", u8}, {"CN", "Common", u8}}}},
      {"OU and O", {{{"O", "Org", u8}, {"OU", "Unit", u8}}}},
      {"O only", {{{"C", "DE", V_ASN1_PRINTABLESTRING}, {"O", "Org", u8}}}},
      {"emailAddress only", {{{"emailAddress", "ca@example.org", V_ASN1_IA5STRING}}}},
      {"C only", {{{"C", "DE", V_ASN1_PRINTABLESTRING}}}},
      {"SAN rfc822 after DNS", {{{"C", "DE", V_ASN1_PRINTABLESTRING}},
                                {{GEN_DNS, "dns.example"}, {GEN_EMAIL, "mail@example.org"}}}},
      {"SAN DNS only", {{{"C", "DE", V_ASN1_PRINTABLESTRING}}, {{GEN_DNS, "dns.example"}}}},
      {"SAN IP first", {{{"C", "DE", V_ASN1_PRINTABLESTRING}}, {{GEN_IPADD, ip}, {GEN_DNS, "x.example"}}},
       "Wine's crypt32 crashes formatting an IP address entry"},
      {"two CNs", {{{"CN", "First", u8}, {"CN", "Second", u8}}}},
      {"UTF8String, non-ASCII", {{{"CN", "Z\xC3\xBCrich \xD0\x9F\xD1\x80\xD0\xBE", u8}}}},
      {"UTF8String, outside the BMP", {{{"CN", "Lock \xF0\x9F\x94\x92", u8}}}},
      {"BMPString", {{{"CN", "B\xC3\xA9la BMP", V_ASN1_BMPSTRING}}}},
      {"T61String as Latin-1", {{{"CN", "Caf\xC3\xA9 T61", V_ASN1_T61STRING}}}},
      {"UniversalString", {{{"CN", "Universal \xC3\xA5", V_ASN1_UNIVERSALSTRING}}},
       "Wine gives an empty name where Windows decodes a UniversalString"},
      {"empty CN", {{{"O", "Org", u8}, {"CN", "", u8}}}},
      {"5,000-character CN", {{{"CN", std::string(5000, 'x'), u8}}}},
  };
  TempDir dir;
  std::vector<std::string> files;
  std::vector<const NameCase*> compared;
  for (const NameCase& c : cases) {
    if (c.wine_wrong != nullptr) continue;
    files.push_back(std::to_string(files.size()) + ".pem");
    WriteFile(dir.File(files.back()), ToPem(MakeCertificate(c.spec)));
    compared.push_back(&c);
  }
  std::vector<std::string> ours_argv = {NAME_PROBE_BINARY};
  std::vector<std::string> wine_argv = {"wine", wine_probe};
  ours_argv.insert(ours_argv.end(), files.begin(), files.end());
  wine_argv.insert(wine_argv.end(), files.begin(), files.end());
  const std::vector<std::string> ours = Lines(RunProgram(ours_argv, dir.path()).out);
  const std::vector<std::string> wines = Lines(RunProgram(wine_argv, dir.path()).out);
  ASSERT_EQ(ours.size(), compared.size());
  ASSERT_EQ(wines.size(), compared.size());
  for (size_t i = 0; i < compared.size(); ++i) {
    SCOPED_TRACE(compared[i]->name);
    EXPECT_EQ(ours[i], wines[i]);
  }
}

}  // namespace
}  // namespace tkv::testing
