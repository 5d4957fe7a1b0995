#include "platform/posix/browsers/firefox_policy.h"

#include <gtest/gtest.h>

namespace tkv {
namespace {

constexpr char kModule[] = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so";

struct MergeCase {
  const char* name;
  std::string text;      // the file as found; empty: none yet
  FirefoxMerge result;
  std::string expected;  // the file written, for kMerged
};

// A policies file that holds the tool's entry and nothing else.
constexpr char kOnlyOurEntry[] = R"j({
  "policies": {
    "SecurityDevices": {
      "Add": {
        "p11-kit-trust (tkvcert)": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"
      }
    }
  }
}
)j";

const MergeCase kMergeCases[] = {
    {"no file yet: one entry under Add", "", FirefoxMerge::kMerged,
     kOnlyOurEntry},
    {"an admin's other policies and top-level keys stay, in their order",
     R"j({"zeta": 1, "policies": {"DisableAppUpdate": true, "Homepage": {"URL": "https://intra.example/", "Locked": true}, "Certificates": {"ImportEnterpriseRoots": true}}, "alpha": [1, 2]})j",
     FirefoxMerge::kMerged,
     R"j({
  "zeta": 1,
  "policies": {
    "DisableAppUpdate": true,
    "Homepage": {
      "URL": "https://intra.example/",
      "Locked": true
    },
    "Certificates": {
      "ImportEnterpriseRoots": true
    },
    "SecurityDevices": {
      "Add": {
        "p11-kit-trust (tkvcert)": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"
      }
    }
  },
  "alpha": [
    1,
    2
  ]
}
)j"},
    {"another device under Add stays, and a Delete list",
     R"j({"policies": {"SecurityDevices": {"Delete": ["Old"], "Add": {"OpenSC": "/usr/lib/opensc-pkcs11.so"}}}})j",
     FirefoxMerge::kMerged,
     R"j({
  "policies": {
    "SecurityDevices": {
      "Delete": [
        "Old"
      ],
      "Add": {
        "OpenSC": "/usr/lib/opensc-pkcs11.so",
        "p11-kit-trust (tkvcert)": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"
      }
    }
  }
}
)j"},
    {"a Delete list alone gains an Add beside it",
     R"j({"policies": {"SecurityDevices": {"Delete": ["Old"]}}})j", FirefoxMerge::kMerged,
     R"j({
  "policies": {
    "SecurityDevices": {
      "Delete": [
        "Old"
      ],
      "Add": {
        "p11-kit-trust (tkvcert)": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"
      }
    }
  }
}
)j"},
    {"the old form (names straight under SecurityDevices) keeps its form: Add would hide them",
     R"j({"policies": {"SecurityDevices": {"OpenSC": "/usr/lib/opensc-pkcs11.so"}}})j",
     FirefoxMerge::kMerged,
     R"j({
  "policies": {
    "SecurityDevices": {
      "OpenSC": "/usr/lib/opensc-pkcs11.so",
      "p11-kit-trust (tkvcert)": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"
    }
  }
}
)j"},
    {"our entry with another path is replaced in place",
     R"j({"policies": {"SecurityDevices": {"Add": {"p11-kit-trust (tkvcert)": "/usr/lib/pkcs11/p11-kit-trust.so", "B": "/b.so"}}}})j",
     FirefoxMerge::kMerged,
     R"j({
  "policies": {
    "SecurityDevices": {
      "Add": {
        "p11-kit-trust (tkvcert)": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so",
        "B": "/b.so"
      }
    }
  }
}
)j"},
    {"the module already loaded under an admin's name: nothing to write",
     R"j({"policies": {"SecurityDevices": {"Add": {"p11-kit": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"}}}})j",
     FirefoxMerge::kUnchanged, ""},
    {"the module already loaded in the old form: nothing to write",
     R"j({"policies": {"SecurityDevices": {"trust": "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"}}})j",
     FirefoxMerge::kUnchanged, ""},
    {"an empty policies object", R"j({"policies": {}})j", FirefoxMerge::kMerged,
     kOnlyOurEntry},
    {"non-ASCII text is kept as UTF-8",
     "{\"policies\": {\"Homepage\": {\"URL\": \"https://\\u00e9xample.test/\\u2603\"}}}",
     FirefoxMerge::kMerged,
     "{\n  \"policies\": {\n    \"Homepage\": {\n      \"URL\": \"https://\xc3\xa9xample.test/\xe2\x98\x83\"\n"
     "    },\n    \"SecurityDevices\": {\n      \"Add\": {\n        \"p11-kit-trust (tkvcert)\": "
     "\"/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so\"\n      }\n    }\n  }\n}\n"},
    {"not JSON", "{\"policies\": {", FirefoxMerge::kUnparseable, ""},
    {"nested 100,000 deep: not parsed, so never written out level by level on the stack",
     "{\"policies\": {\"Deep\": " + std::string(100000, '[') + std::string(100000, ']') + "}}",
     FirefoxMerge::kTooDeep, ""},
    {"a comment (Firefox's JSON.parse refuses it too)j",
     "// admin\n{\"policies\": {}}", FirefoxMerge::kUnparseable, ""},
    {"a trailing comma", R"j({"policies": {"A": 1,}})j", FirefoxMerge::kUnparseable, ""},
    {"text after the object", R"j({"policies": {}} x)j", FirefoxMerge::kUnparseable, ""},
    {"invalid UTF-8", "{\"policies\": {\"A\": \"\xff\"}}", FirefoxMerge::kUnparseable, ""},
    {"a NUL byte, before text that a rewrite would drop",
     std::string("{\"policies\": {}}") + '\0' + "{\"broken\"", FirefoxMerge::kUnparseable, ""},
    {"only white space", " \n", FirefoxMerge::kUnparseable, ""},
    {"an array at the top", "[]", FirefoxMerge::kUnexpected, ""},
    {"policies not an object", R"j({"policies": [1]})j", FirefoxMerge::kUnexpected, ""},
    {"SecurityDevices not an object", R"j({"policies": {"SecurityDevices": "x"}})j",
     FirefoxMerge::kUnexpected, ""},
    {"Add not an object", R"j({"policies": {"SecurityDevices": {"Add": ["x"]}}})j",
     FirefoxMerge::kUnexpected, ""},
};

TEST(FirefoxPolicyTest, FirefoxMergeAddsOnlyItsEntry) {
  for (const MergeCase& c : kMergeCases) {
    SCOPED_TRACE(c.name);
    std::string merged = "untouched";
    EXPECT_EQ(MergeFirefoxPolicies(c.text, kModule, &merged), c.result);
    if (c.result != FirefoxMerge::kMerged) {
      EXPECT_EQ(merged, "untouched");
      continue;
    }
    EXPECT_EQ(merged, c.expected);
    // A second run finds its entry and writes nothing.
    std::string again = "untouched";
    EXPECT_EQ(MergeFirefoxPolicies(merged, kModule, &again), FirefoxMerge::kUnchanged);
    EXPECT_EQ(again, "untouched");
  }
}

}  // namespace
}  // namespace tkv
