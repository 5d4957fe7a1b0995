#include "platform/posix/browsers/chromium_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "tests/support/test_certs.h"

namespace tkv {
namespace {

using Json = nlohmann::ordered_json;

struct KeyCase {
  const char* name;
  std::string text;
  const char* key;
  bool sets;
};

const KeyCase kKeyCases[] = {
    {"the plain CACertificates policy is another key", R"j({"CACertificates": ["MIIB"]})j", kChromiumPolicyKey, false},
    {"the same key", R"j({"HomepageLocation": "x", "CACertificatesWithConstraints": []})j", kChromiumPolicyKey, true},
    {"the key only nested", R"j({"X": {"CACertificatesWithConstraints": []}})j", kChromiumPolicyKey, false},
    {"comments, as Chromium allows", "// admin\n{\"CACertificatesWithConstraints\": []}", kChromiumPolicyKey, true},
    {"unparseable text naming the key", "{\"CACertificatesWithConstraints\": [,],}", kChromiumPolicyKey, true},
    {"unparseable text without it", "{\"CACertificates\": [,],}", kChromiumPolicyKey, false},
    {"empty", "", kChromiumPolicyKey, false},
    {"the distrust key", R"j({"CADistrustedCertificates": []})j", kChromiumDistrustKey, true},
    {"the anchors' key is not the distrust key", R"j({"CACertificatesWithConstraints": []})j", kChromiumDistrustKey,
     false},
    {"unparseable text naming the distrust key", "{\"CADistrustedCertificates\": [,],}", kChromiumDistrustKey, true},
};

TEST(ChromiumPolicyTest, FindsAnotherChromiumFileSettingAKey) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetsChromiumPolicyKey(c.text, c.key), c.sets);
  }
}

std::string OneLine(const testing::Bytes& der) {
  std::string base64 = testing::ToBase64(der);
  base64.erase(std::remove(base64.begin(), base64.end(), '\n'), base64.end());
  return base64;
}

testing::Bytes WithAKeyOfItsOwn(const std::string& name) {
  return testing::Resigned(testing::MakeCertificate(name, 2), [](X509* x) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509_set_pubkey(x, key);
    EVP_PKEY_free(key);
  });
}

// A file that outweighs the tool's, with {removed} (the certificate the
// tool's file stopped trusting), {same_key} (another with its key) or
// {other} (another key) in its list.
TEST(ChromiumPolicyTest, AFileThatOutweighsTheToolsLeavesTheRemovedTrustedOrNot) {
  const testing::Bytes removed = testing::MakeCertificate("Outweighed CA");
  const testing::Bytes same_key = testing::MakeCertificate("Outweighed CA Reissued", 3);
  const testing::Bytes other = WithAKeyOfItsOwn("Another CA");
  const struct {
    const char* name;
    std::string text;
    const char* key;
    bool trusted;
  } cases[] = {
      {"distrusting another", R"j({"CADistrustedCertificates": ["{other}"]})j", kChromiumDistrustKey, true},
      {"distrusting none", R"j({"CADistrustedCertificates": []})j", kChromiumDistrustKey, true},
      {"distrusting it", R"j({"CADistrustedCertificates": ["{other}", "{removed}"]})j", kChromiumDistrustKey, false},
      {"distrusting its key", "// admin\n{\"CADistrustedCertificates\": [\"{same_key}\"]}", kChromiumDistrustKey,
       false},
      {"a distrust Chromium cannot read", R"j({"CADistrustedCertificates": "{removed}"})j", kChromiumDistrustKey, true},
      {"unparseable distrust", "{\"CADistrustedCertificates\": [\"{removed}\",],}", kChromiumDistrustKey, true},
      {"trusting it", R"j({"CACertificatesWithConstraints": [{"certificate": "{removed}"}]})j", kChromiumPolicyKey,
       true},
      {"trusting another", R"j({"CACertificatesWithConstraints": [{"certificate": "{other}"}]})j", kChromiumPolicyKey,
       false},
      {"trusting it in another shape", R"j({"CACertificatesWithConstraints": ["{removed}"]})j", kChromiumPolicyKey,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    for (const auto& [mark, der] : {std::pair{"{removed}", &removed}, {"{same_key}", &same_key}, {"{other}", &other}}) {
      for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, strlen(mark), OneLine(*der));
    }
    EXPECT_EQ(ChromiumListLeavesTrusted(text, c.key, removed), c.trusted);
  }
}

TEST(ChromiumPolicyTest, ChromiumFileListsEachCertificateOnceAsOneLineOfBase64) {
  const testing::Bytes a = testing::MakeCertificate("Browser Policy A");
  const testing::Bytes b = testing::MakeCertificate("Browser Policy B", 2);
  const std::string text = ChromiumPolicyText({a, b, a});
  const Json policy = Json::parse(text);
  ASSERT_TRUE(policy.is_object());
  ASSERT_EQ(policy.size(), 1u);
  const Json& entries = policy.at(kChromiumPolicyKey);
  ASSERT_EQ(entries.size(), 2u);
  const testing::Bytes* expected[] = {&a, &b};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const std::string base64 = entries[i].at("certificate").get<std::string>();
    std::string wrapped = testing::ToBase64(*expected[i]);
    wrapped.erase(std::remove(wrapped.begin(), wrapped.end(), '\n'), wrapped.end());
    EXPECT_EQ(base64, wrapped);
    EXPECT_EQ(entries[i].at("constraints").dump(), R"j({"permitted_cidrs":["0.0.0.0/0","::/0"]})j");
  }
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(ChromiumPolicyText({}), "{\n  \"CACertificatesWithConstraints\": []\n}\n");
}

TEST(ChromiumPolicyTest, ChromiumFileDistrustsEachOnceAndNeverAKeyItTrusts) {
  const testing::Bytes a = testing::MakeCertificate("Browser Policy A");
  const testing::Bytes same_key = testing::MakeCertificate("Browser Policy Same Key", 3);
  const testing::Bytes b = WithAKeyOfItsOwn("Browser Policy B");
  const Json policy = Json::parse(ChromiumPolicyText({a}, {b, a, b, same_key}));
  EXPECT_EQ(policy.at(kChromiumDistrustKey), Json::array({OneLine(b)}));
  EXPECT_FALSE(Json::parse(ChromiumPolicyText({a}, {same_key})).contains(kChromiumDistrustKey));
}

}  // namespace
}  // namespace tkv
