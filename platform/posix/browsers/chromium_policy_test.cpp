#include "platform/posix/browsers/chromium_policy.h"

#include <gtest/gtest.h>

#include <algorithm>

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
  bool sets;
};

const KeyCase kKeyCases[] = {
    {"the plain CACertificates policy is another key", R"j({"CACertificates": ["MIIB"]})j", false},
    {"the same key", R"j({"HomepageLocation": "x", "CACertificatesWithConstraints": []})j", true},
    {"the key only nested", R"j({"X": {"CACertificatesWithConstraints": []}})j", false},
    {"comments, as Chromium allows", "// admin\n{\"CACertificatesWithConstraints\": []}", true},
    {"unparseable text naming the key", "{\"CACertificatesWithConstraints\": [,],}", true},
    {"unparseable text without it", "{\"CACertificates\": [,],}", false},
    {"empty", "", false},
};

TEST(ChromiumPolicyTest, FindsAnotherChromiumFileSettingTheKey) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetsChromiumPolicyKey(c.text), c.sets);
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
  const testing::Bytes b = testing::Resigned(testing::MakeCertificate("Browser Policy B", 2), [](X509* x) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509_set_pubkey(x, key);
    EVP_PKEY_free(key);
  });
  const Json policy = Json::parse(ChromiumPolicyText({a}, {b, a, b, same_key}));
  std::string b64 = testing::ToBase64(b);
  b64.erase(std::remove(b64.begin(), b64.end(), '\n'), b64.end());
  EXPECT_EQ(policy.at(kChromiumDistrustKey), Json::array({b64}));
  EXPECT_FALSE(Json::parse(ChromiumPolicyText({a}, {same_key})).contains(kChromiumDistrustKey));
}

}  // namespace
}  // namespace tkv
