#include "platform/posix/clients/client_look.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/clients/client_account.h"
#include "platform/posix/clients/client_fixes.h"
#include "tests/support/test_certs.h"

namespace tkv {
namespace {

using testing::Bytes;

constexpr const char* kBundle = "etc/ssl/certs/ca-certificates.crt";
const std::string kSite = "usr/local/lib/python3.11/site-packages";
const char* const kUpstreamCore = "def where():\n    return os.path.join(os.path.dirname(__file__), 'cacert.pem')\n";
const char* const kDebianCore = "def where():\n    return \"/etc/ssl/certs/ca-certificates.crt\"\n";

// 'F' a file, 'L' a link, 'P' a FIFO, 'D' a directory; a file's text
// "@CA" is the CA in question as PEM, "@OTHER" another CA, "@DER" the CA's
// DER inside other bytes, as a JKS keystore holds it.
struct Entry {
  char type;
  std::string path;
  std::string text;
};

struct Fixture {
  testing::TempDir dir;
  Bytes ca = testing::MakeCertificate("Client Look CA", 1);
  std::string root() const { return dir.File("root"); }

  void Make(const std::vector<Entry>& entries) {
    mkdir(root().c_str(), 0755);
    for (const Entry& entry : entries) {
      const std::string path = root() + "/" + entry.path;
      ASSERT_EQ(0, system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str()));
      int made = 0;
      if (entry.type == 'D') made = mkdir(path.c_str(), 0755);
      if (entry.type == 'P') made = mkfifo(path.c_str(), 0644);
      if (entry.type == 'L') made = symlink(Text(entry.text).c_str(), path.c_str());
      if (entry.type == 'F') testing::WriteFile(path, Text(entry.text));
      ASSERT_EQ(0, made) << path;
    }
  }

  std::string Text(const std::string& text) const {
    if (text == "@CA") return testing::ToPem(ca);
    if (text == "@OTHER") return testing::ToPem(testing::MakeCertificate("Another CA", 2));
    if (text == "@DER") return "\xfe\xed\xfe\xed" + std::string(ca.begin(), ca.end()) + "tail";
    if (text == "@OUTSIDE") return dir.File("outside");
    return text;
  }

  ClientLook Look(LookScope scope, LookBudget budget = kLookBudget) const {
    UniqueFd fd(open(root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return LookForClients(fd.get(), ReadClientContext(fd.get(), kBundle, ca), scope, budget);
  }
};

std::string Shown(const ClientLook& look) {
  std::string text;
  for (const ClientStore& store : look.stores) {
    text += std::string(text.empty() ? "" : "; ") + store.signature->kind + " " + store.path +
            (store.follows ? " follows" : "") + (store.holds ? " holds" : "") + (store.fix.empty() ? "" : " fix");
  }
  return text;
}

struct LookRow {
  const char* name;
  std::vector<Entry> entries;
  std::string expected;
  LookScope scope = LookScope::kUsualPlaces;
};

const std::vector<LookRow>& LookRows() {
  static const std::vector<LookRow> rows = {
      {"upstream certifi holding the CA",
       {{'F', kSite + "/certifi/cacert.pem", "@CA"}, {'F', kSite + "/certifi/core.py", kUpstreamCore}},
       "certifi /" + kSite + "/certifi/cacert.pem holds fix"},
      {"upstream certifi without it",
       {{'F', kSite + "/certifi/cacert.pem", "@OTHER"}, {'F', kSite + "/certifi/core.py", kUpstreamCore}},
       "certifi /" + kSite + "/certifi/cacert.pem fix"},
      {"Debian's certifi returns the bundle",
       {{'F', "usr/lib/python3/dist-packages/certifi/cacert.pem", "@OTHER"},
        {'F', "usr/lib/python3/dist-packages/certifi/core.py", kDebianCore}},
       ""},
      {"a pointer in etc/environment",
       {{'F', kSite + "/certifi/cacert.pem", "@CA"}, {'F', kSite + "/certifi/core.py", kUpstreamCore},
        {'F', "etc/environment", "PATH=/bin\nREQUESTS_CA_BUNDLE=\"/etc/ssl/certs/ca-certificates.crt\"\n"}},
       "certifi /" + kSite + "/certifi/cacert.pem follows holds"},
      {"pip 23 with its own certifi",
       {{'F', kSite + "/pip/__init__.py", "__version__ = \"23.2.1\"\n"},
        {'F', kSite + "/pip/_vendor/certifi/cacert.pem", "@OTHER"},
        {'F', kSite + "/pip/_vendor/certifi/core.py", kUpstreamCore}},
       "pip /" + kSite + "/pip/_vendor/certifi/cacert.pem fix"},
      {"pip 24.2 uses truststore",
       {{'F', kSite + "/pip/__init__.py", "__version__ = \"24.2\"\n"},
        {'F', kSite + "/pip/_vendor/certifi/cacert.pem", "@OTHER"},
        {'F', kSite + "/pip/_vendor/certifi/core.py", kUpstreamCore}},
       ""},
      {"SDK bundles",
       {{'F', "opt/sdk/lib/botocore/cacert.pem", "@OTHER"}, {'F', "opt/sdk/lib/httplib2/cacerts.txt", "@CA"},
        {'F', "usr/lib/python3/dist-packages/grpc/_cython/_credentials/roots.pem", "@OTHER"}},
       "botocore /opt/sdk/lib/botocore/cacert.pem fix; httplib2 /opt/sdk/lib/httplib2/cacerts.txt holds fix; "
       "grpc /usr/lib/python3/dist-packages/grpc/_cython/_credentials/roots.pem fix"},
      {"a JDK of its own, with the family's keystore",
       {{'F', "usr/lib/jvm/vendor-21/lib/security/cacerts", "@DER"}, {'F', "etc/ssl/certs/java/cacerts", "x"}},
       "jdk /usr/lib/jvm/vendor-21/lib/security/cacerts holds fix"},
      {"a JDK of its own, no keystore to point at",
       {{'F', "opt/jdk/lib/security/cacerts", "\xfe\xed\xfe\xed"}}, "jdk /opt/jdk/lib/security/cacerts"},
      {"Debian's JDK links the family's keystore",
       {{'L', "usr/lib/jvm/java-17/lib/security/cacerts", "/etc/ssl/certs/java/cacerts"},
        {'F', "etc/ssl/certs/java/cacerts", "x"}},
       ""},
      {"a registry's copy", {{'F', "etc/docker/certs.d/registry:5000/ca.crt", "@CA"}},
       "certs.d /etc/docker/certs.d/registry:5000/ca.crt holds"},
      {"an Electron app", {{'F', "opt/App/resources/app.asar", "x"}}, "electron /opt/App"},
      {"certifi in a snap, which nothing reaches",
       {{'F', "snap/tool/12/lib/python3/site-packages/certifi/cacert.pem", "@OTHER"},
        {'F', "snap/tool/12/lib/python3/site-packages/certifi/core.py", kUpstreamCore},
        {'L', "snap/tool/current", "12"}},
       "certifi /snap/tool/current/lib/python3/site-packages/certifi/cacert.pem"},
      {"a pyenv under a home",
       {{'F', "home/ann/.pyenv/versions/3.12.1/lib/python3.12/site-packages/certifi/cacert.pem", "@OTHER"},
        {'F', "home/ann/.pyenv/versions/3.12.1/lib/python3.12/site-packages/certifi/core.py", kUpstreamCore}},
       "certifi /home/ann/.pyenv/versions/3.12.1/lib/python3.12/site-packages/certifi/cacert.pem fix"},
      {"a FIFO named as a bundle", {{'P', kSite + "/certifi/cacert.pem", ""}, {'F', kSite + "/certifi/core.py", kUpstreamCore}},
       ""},
      {"a link loop named as a package",
       {{'L', kSite + "/certifi", "certifi"}, {'L', kSite + "/grpc", "/" + kSite}, {'L', "opt/loop", "/opt"}}, ""},
      {"a link out of the root",
       {{'L', kSite + "/certifi", "@OUTSIDE"}, {'L', "opt/sdk", "@OUTSIDE"}}, ""},
      {"a node the bounded look does not read",
       {{'F', "usr/local/bin/node", std::string("\x7f" "ELF use bundled CA store (default)")}}, ""},
      {"node judged by the whole walk",
       {{'F', "usr/local/bin/node", std::string("\x7f" "ELF use bundled CA store (default)")},
        {'F', "usr/lib/x86_64-linux-gnu/libnode.so.108", std::string("\x7f" "ELF use OpenSSL's default CA store (default)")},
        {'F', "srv/app/venv/lib/python3.11/site-packages/certifi/cacert.pem", "@OTHER"},
        {'F', "srv/app/venv/lib/python3.11/site-packages/certifi/core.py", kUpstreamCore}},
       "certifi /srv/app/venv/lib/python3.11/site-packages/certifi/cacert.pem fix; "
       "node /usr/local/bin/node fix",
       LookScope::kWholeRoot},
      {"a fix run reads the nodes of the usual places",
       {{'F', "usr/local/bin/node", std::string("\x7f" "ELF use bundled CA store (default)")},
        {'F', "opt/node-18/bin/node", std::string("\x7f" "ELF use OpenSSL's default CA store (default)")}},
       "node /usr/local/bin/node fix",
       LookScope::kUsualPlacesAndNodes},
  };
  return rows;
}

class ClientLookRows : public ::testing::TestWithParam<size_t> {};

TEST_P(ClientLookRows, FindsWhatItShould) {
  const LookRow& row = LookRows()[GetParam()];
  Fixture fixture;
  // Outside the root: an upstream certifi that no link may lead the look to.
  fixture.Make({});
  ASSERT_EQ(0, system(("mkdir -p '" + fixture.dir.File("outside/certifi") + "'").c_str()));
  testing::WriteFile(fixture.dir.File("outside/certifi/cacert.pem"), testing::ToPem(fixture.ca));
  testing::WriteFile(fixture.dir.File("outside/certifi/core.py"), kUpstreamCore);
  fixture.Make(row.entries);
  const ClientLook look = fixture.Look(row.scope);
  EXPECT_EQ(row.expected, Shown(look)) << row.name;
  EXPECT_FALSE(look.ran_out) << row.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientLookRows, ::testing::Range<size_t>(0, LookRows().size()));

TEST(ClientLook, SaysWhichNodesItDidNotRead) {
  Fixture fixture;
  fixture.Make({{'F', "opt/node-v20/bin/node", "\x7f" "ELF"}});
  const ClientLook look = fixture.Look(LookScope::kUsualPlaces);
  EXPECT_EQ(1u, look.unjudged_nodes);
}

// 20,000 directories: of a site-packages only the packages with signatures
// are entered, and anywhere else the budget ends the look, said once.
TEST(ClientLook, StaysWithinItsBudget) {
  Fixture fixture;
  fixture.Make({{'F', kSite + "/certifi/cacert.pem", "@OTHER"}, {'F', kSite + "/certifi/core.py", kUpstreamCore}});
  ASSERT_EQ(0, mkdir((fixture.root() + "/opt").c_str(), 0755));
  for (int i = 0; i < 20000; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/pkg%05d", i);
    ASSERT_EQ(0, mkdir((fixture.root() + "/" + kSite + name).c_str(), 0755));
    ASSERT_EQ(0, mkdir((fixture.root() + "/opt" + name).c_str(), 0755));
  }
  const ClientLook look = fixture.Look(LookScope::kUsualPlaces);
  EXPECT_TRUE(look.ran_out);
  EXPECT_EQ(kLookBudget.directories, look.directories);
  EXPECT_LT(look.took, std::chrono::microseconds(kLookBudget.time) + std::chrono::milliseconds(200));
  size_t said = 0;
  for (const std::string& line : ClientLines(look, false)) said += line.find("budget") != std::string::npos;
  EXPECT_EQ(1u, said);
  // The same site-packages with opt empty: the certifi is found, within the budget.
  ASSERT_EQ(0, system(("rm -rf '" + fixture.root() + "/opt'").c_str()));
  const ClientLook pruned = fixture.Look(LookScope::kUsualPlaces);
  EXPECT_FALSE(pruned.ran_out);
  EXPECT_EQ("certifi /" + kSite + "/certifi/cacert.pem fix", Shown(pruned));
}

struct MergeRow {
  const char* before;
  const char* name;
  const char* value;
  const char* after;  // null: unchanged
  const char* other;
};

TEST(ClientFixes, MergesIntoWhatIsThere) {
  const std::string trust = "-Djavax.net.ssl.trustStore=/k";
  const MergeRow rows[] = {
      {"", "REQUESTS_CA_BUNDLE", "/b", "REQUESTS_CA_BUNDLE=/b\n", ""},
      {"PATH=/bin\n", "NODE_EXTRA_CA_CERTS", "/b", "PATH=/bin\nNODE_EXTRA_CA_CERTS=/b\n", ""},
      {"PATH=/bin\nREQUESTS_CA_BUNDLE=\"/b\"\n", "REQUESTS_CA_BUNDLE", "/b", nullptr, ""},
      {"REQUESTS_CA_BUNDLE=/own.pem\n", "REQUESTS_CA_BUNDLE", "/b", nullptr, "REQUESTS_CA_BUNDLE=/own.pem"},
      {"JAVA_TOOL_OPTIONS=-Xmx1g\n", "JAVA_TOOL_OPTIONS", trust.c_str(),
       "JAVA_TOOL_OPTIONS=\"-Xmx1g -Djavax.net.ssl.trustStore=/k\"\n", ""},
      {"JAVA_TOOL_OPTIONS=\"-Djavax.net.ssl.trustStore=/mine\"\n", "JAVA_TOOL_OPTIONS", trust.c_str(), nullptr,
       "JAVA_TOOL_OPTIONS=\"-Djavax.net.ssl.trustStore=/mine\""},
  };
  for (const MergeRow& row : rows) {
    std::string other;
    EXPECT_EQ(row.after == nullptr ? row.before : row.after, MergedEnvironment(row.before, row.name, row.value, &other))
        << row.before;
    EXPECT_EQ(row.other, other) << row.before;
  }
  const MergeRow pip[] = {
      {"", "", "/b", "[global]\ncert = /b\n", ""},
      {"[global]\ntimeout = 5\n[install]\nuser = no\n", "", "/b",
       "[global]\ncert = /b\ntimeout = 5\n[install]\nuser = no\n", ""},
      {"[global]\ncert = /b\n", "", "/b", nullptr, ""},
      {"[global]\ncert: /mine.pem\n", "", "/b", nullptr, "cert: /mine.pem"},
  };
  for (const MergeRow& row : pip) {
    std::string other;
    EXPECT_EQ(row.after == nullptr ? row.before : row.after, MergedPipConfig(row.before, row.value, &other)) << row.before;
    EXPECT_EQ(row.other, other) << row.before;
  }
  const MergeRow npm[] = {
      {"", "", "/b", "cafile=/b\n", ""},
      {"; cafile=/old\nfund=false\n", "", "/b", "; cafile=/old\nfund=false\ncafile=/b\n", ""},
      {"cafile = \"/b\"\n", "", "/b", nullptr, ""},
      {"cafile=/mine.pem\n", "", "/b", nullptr, "cafile=/mine.pem"},
      {"ca[]=\"-----BEGIN CERTIFICATE-----\"\n", "", "/b", nullptr, "ca[]=\"-----BEGIN CERTIFICATE-----\""},
  };
  for (const MergeRow& row : npm) {
    std::string other;
    EXPECT_EQ(row.after == nullptr ? row.before : row.after, MergedNpmConfig(row.before, row.value, &other))
        << row.before;
    EXPECT_EQ(row.other, other) << row.before;
  }
  EXPECT_EQ("opt/node-v20/etc/npmrc", NpmConfigOf("/opt/node-v20/bin/node"));
  EXPECT_EQ("", NpmConfigOf("/home/ann/.nvm/versions/node/v20.1.0/bin/node"));
  EXPECT_EQ("", NpmConfigOf("/usr/lib/x86_64-linux-gnu/libnode.so.108"));
}

// The fixes name paths as the root sees them; once written, the stores
// follow; a dry run writes nothing.
TEST(ClientFixes, PointTheStoresAtTheFamilys) {
  Fixture fixture;
  fixture.Make({{'F', kSite + "/certifi/cacert.pem", "@CA"}, {'F', kSite + "/certifi/core.py", kUpstreamCore},
                {'F', "opt/jdk/lib/security/cacerts", "@DER"}, {'F', "etc/ssl/certs/java/cacerts", "x"},
                {'F', "etc/environment", "JAVA_TOOL_OPTIONS=-Xss2m\n"}, {'D', "etc/systemd", ""},
                {'F', "opt/node/bin/node", std::string("\x7f" "ELF use bundled CA store (default)")}});
  std::shared_ptr<const RootDirectory> root;
  ASSERT_EQ(ERROR_SUCCESS, RootDirectory::Open(fixture.root(), &root));
  const ClientContext context = ReadClientContext(root->fd(), kBundle, fixture.ca);
  const ClientLook look = LookForClients(root->fd(), context, LookScope::kUsualPlacesAndNodes, kFixBudget);
  EXPECT_EQ("jdk /opt/jdk/lib/security/cacerts holds fix; node /opt/node/bin/node fix; certifi /" + kSite +
                "/certifi/cacert.pem holds fix",
            Shown(look));
  StandardErrorEvents events;
  FixClients(*root, context, look, /*dry_run=*/true, events);
  EXPECT_EQ("JAVA_TOOL_OPTIONS=-Xss2m\n", testing::ReadFile(fixture.root() + "/etc/environment"));
  EXPECT_NE(0, access((fixture.root() + "/opt/node/etc").c_str(), F_OK));
  FixClients(*root, context, look, /*dry_run=*/false, events);
  EXPECT_EQ("JAVA_TOOL_OPTIONS=\"-Xss2m -Djavax.net.ssl.trustStore=/etc/ssl/certs/java/cacerts\"\n"
            "NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt\n"
            "REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt\n",
            testing::ReadFile(fixture.root() + "/etc/environment"));
  EXPECT_EQ("[Manager]\nDefaultEnvironment=\"JAVA_TOOL_OPTIONS=-Xss2m -Djavax.net.ssl.trustStore="
            "/etc/ssl/certs/java/cacerts\" \"NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt\" "
            "\"REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt\"\n",
            testing::ReadFile(fixture.root() + "/" + kServicesDropIn));
  EXPECT_EQ("cafile=/etc/ssl/certs/ca-certificates.crt\n", testing::ReadFile(fixture.root() + "/opt/node/etc/npmrc"));
  const ClientLook after = fixture.Look(LookScope::kUsualPlacesAndNodes);
  EXPECT_EQ("jdk /opt/jdk/lib/security/cacerts follows holds; node /opt/node/bin/node follows; certifi /" + kSite +
                "/certifi/cacert.pem follows holds",
            Shown(after));
  // A run cut off after etc/environment: the next one writes the rest, the stores following already.
  const std::string services = testing::ReadFile(fixture.root() + "/" + kServicesDropIn);
  ASSERT_EQ(0, unlink((fixture.root() + "/opt/node/etc/npmrc").c_str()));
  ASSERT_EQ(0, unlink((fixture.root() + "/" + kServicesDropIn).c_str()));
  FixClients(*root, context, after, /*dry_run=*/false, events);
  EXPECT_EQ("cafile=/etc/ssl/certs/ca-certificates.crt\n", testing::ReadFile(fixture.root() + "/opt/node/etc/npmrc"));
  EXPECT_EQ(services, testing::ReadFile(fixture.root() + "/" + kServicesDropIn));
}

}  // namespace
}  // namespace tkv
