// The families whose refresh is p11-kit (Fedora, Arch, openSUSE), against
// p11-kit's own `trust extract` rather than a stand-in. Each test builds a
// root holding p11-kit's trust tool and module, configured with the family's
// trust paths, in which the family's refresh program is a script that runs
// the extract into the family's bundle. What p11-kit's loader takes from the
// anchors directory is then exactly what clients would trust, and the tests
// hold the tool's view of the store against it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/browsers/chromium_policy.h"
#include "tests/support/ci_skip.h"
#include "tests/support/sandbox.h"

namespace tkv::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kTrust[] = "/usr/bin/trust";
constexpr char kTrustModule[] = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so";
constexpr char kShell[] = "/bin/sh";
// Where the refresh script copies what the store keeps aside while it runs.
constexpr char kKeptLog[] = "/kept-during-refresh";

struct P11Family {
  const char* name;
  const char* trust_source;      // p11-kit's local trust path; its "anchors" are the store
  const char* distribution_cas;  // the trust path of the distribution's own CA set
  const char* program;
  const char* argument;  // what the tool must pass the program
  const char* bundle;
  const char* blocklist;  // where the admin's distrust goes
};

// The trust paths are the ones each distribution builds p11-kit with.
const P11Family kFamilies[] = {
    {"Fedora", "/etc/pki/ca-trust/source", "/usr/share/pki/ca-trust-source",
     "/usr/bin/update-ca-trust", "extract", "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
     "/etc/pki/ca-trust/source/blocklist"},
    {"Arch", "/etc/ca-certificates/trust-source", "/usr/share/ca-certificates/trust-source",
     "/usr/bin/update-ca-trust", "", "/etc/ca-certificates/extracted/tls-ca-bundle.pem",
     "/etc/ca-certificates/trust-source/blocklist"},
    {"openSUSE", "/etc/pki/trust", "/usr/share/pki/trust", "/usr/sbin/update-ca-certificates", "",
     "/var/lib/ca-certificates/ca-bundle.pem", "/etc/pki/trust/blacklist"},
};

void PrintTo(const P11Family& family, std::ostream* out) { *out << family.name; }

std::string Imported(const std::string& file) { return "Done importing [" + file + "]\n"; }
std::string Removed(const std::string& name) {
  return "Removing certificate : " + name +
         " \nThe certificate has been removed.\nDone removing [" + name + "]\n";
}
std::string NothingRemoved(const std::string& name) { return "Done removing [" + name + "]\n"; }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A host file into the root under the same name, with what a link leads to.
void CopyIntoRoot(const std::string& root, const std::string& path) {
  const fs::path target = root + path;
  fs::create_directories(target.parent_path());
  fs::copy_file(fs::canonical(path), target, fs::copy_options::overwrite_existing);
}

// A program, and every library the dynamic loader maps for it, the loader
// itself included, each where the loader looks for it.
void CopyWithLibraries(const std::string& root, const std::string& binary) {
  CopyIntoRoot(root, binary);
  const RunResult ldd = RunProgram({"ldd", binary});
  ASSERT_EQ(ldd.status, 0) << ldd.err;
  std::istringstream lines(ldd.out);
  for (std::string line; std::getline(lines, line);) {
    // "libc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x...)" or, for the
    // loader, "/lib64/ld-linux-x86-64.so.2 (0x...)"; the vDSO has no file.
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      if (word[0] == '/') {
        CopyIntoRoot(root, word);
        break;
      }
    }
  }
}

class P11KitFamilyTest : public ::testing::TestWithParam<P11Family> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) TKV_SKIP("refreshing inside another root needs root");
    if (access(kTrust, X_OK) != 0 || access(kTrustModule, R_OK) != 0) {
      TKV_SKIP("p11-kit is not installed (scripts/install-deps.sh installs it)");
    }
    BuildRoot();
  }

  const P11Family& family() const { return GetParam(); }
  const std::string& root() const { return root_.path(); }
  std::string anchors() const { return root() + family().trust_source + "/anchors"; }
  std::string bundle() const { return root() + family().bundle; }
  std::string files() const { return root() + "/files"; }

  // A file outside the store, for the tool to install and for openssl to verify.
  std::string Put(const std::string& name, const std::string& contents) const {
    WriteFile(files() + "/" + name, contents);
    return files() + "/" + name;
  }

  RunResult Install(const std::string& file) const {
    return RunTool({"/install", file}, {root(), false, files()});
  }
  RunResult Uninstall(const std::string& name) const {
    return RunTool({"/uninstall", name}, {root(), false, files()});
  }

  // Whether the bundle p11-kit extracted makes the certificate in `pem` trusted,
  // and nothing else: the host's own CAs are not consulted.
  bool Trusts(const std::string& pem) const {
    return RunProgram({"openssl", "verify", "-no-CApath", "-no-CAstore", "-CAfile", bundle(), pem})
               .status == 0;
  }

  // Whether p11-kit, loaded in another user's program as every client
  // loads it, takes `label` for an anchor: it reads the blocklist too.
  bool AnotherUserTrusts(const std::string& label) const {
    const RunResult listed = RunProgram(
        {"chroot", "--userspec=65534:65534", root(), kTrust, "list", "--filter=ca-anchors"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    return listed.out.find("label: " + label + "\n") != std::string::npos;
  }

  // A self-signed CA certificate with a key of its own (not the tests'
  // shared one).
  Bytes MakeCertificateWithItsOwnKey(const std::string& name) const {
    const std::string der = files() + "/own-key.der";
    const RunResult made = RunProgram(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", files() + "/own-key.key", "-subj", "/CN=" + name, "-days", "30", "-outform",
         "DER", "-out", der});
    EXPECT_EQ(made.status, 0) << made.err;
    return FromText(ReadFile(der));
  }

  // A leaf certificate issued by the CA in `ca_pem`.
  std::string MakeLeaf(const std::string& ca_pem, const std::string& name) const {
    const std::string key = Put(name + ".key", PrivateKeyPem());
    const std::string request = Put(name + ".csr", ToPem(MakeCsr(name), "CERTIFICATE REQUEST"));
    const std::string leaf = files() + "/" + name + ".pem";
    const RunResult made =
        RunProgram({"openssl", "x509", "-req", "-in", request, "-CA", ca_pem, "-CAkey", key,
                    "-set_serial", "4242", "-days", "30", "-out", leaf});
    EXPECT_EQ(made.status, 0) << made.err;
    return leaf;
  }

 private:
  void BuildRoot() {
    umask(022);  // the tool refuses a root whose directories others may write
    chmod(root().c_str(), 0755);
    for (const char* binary : {kTrust, kTrustModule, kShell}) {
      CopyWithLibraries(root(), binary);
      if (HasFatalFailure()) return;
    }
    for (const std::string& dir : {anchors(), root() + family().distribution_cas + "/anchors",
                                   fs::path(bundle()).parent_path().string(), files(),
                                   root() + "/usr/share/p11-kit/modules"}) {
      fs::create_directories(dir);
    }
    // openSUSE's p11-kit reads its older name for the blocklist; this
    // machine's reads only the newer one, which is led there.
    const fs::path blocklist = root() + family().blocklist;
    if (blocklist.filename() == "blacklist") {
      fs::create_directories(blocklist);
      fs::create_symlink("blacklist", blocklist.parent_path() / "blocklist");
    }
    // p11-kit's loader finds its modules here; "trust-policy" is what makes
    // the extract use this one (without it, it extracts nothing and exits 0).
    WriteFile(root() + "/usr/share/p11-kit/modules/p11-kit-trust.module",
              std::string("module: p11-kit-trust.so\ntrust-policy: yes\nx-init-reserved: paths=") +
                  family().trust_source + ":" + family().distribution_cas + "\n");
    // The family's refresh, reduced to what builds its bundle; it refuses a
    // command line other than the family's own. It also copies what the store
    // keeps in its staging directory while it runs, so that a test can see
    // what p11-kit passed over.
    const std::string anchors_inside = std::string(family().trust_source) + "/anchors";
    const std::string script = root() + family().program;
    fs::create_directories(fs::path(script).parent_path());
    const std::string staging = anchors_inside + "/.tkvcert-staging";
    WriteFile(script,
              std::string("#!/bin/sh\n") +
              "[ \"$*\" = \"" + family().argument + "\" ] ||" +
              " { echo \"args: $*\" >&2; exit 64; }\n" +
              "for kept in " + staging + "/* " + staging + "/.[!.]*; do\n" +
              "  [ -f \"$kept\" ] || continue\n" +
              "  while IFS= read -r line; do echo \"$line\"; done < \"$kept\"\n" +
              "done >> " + kKeptLog + "\n" +
              "exec /usr/bin/trust extract --format=pem-bundle --filter=ca-anchors" +
              " --purpose server-auth --overwrite " + family().bundle + "\n");
    chmod(script.c_str(), 0755);
  }

  TempDir root_;
};

TEST_P(P11KitFamilyTest, AnInstalledCaIsExtractedAndARemovedOneIsNot) {
  const Bytes first = MakeCertificate("P11 First CA", 11);
  const Bytes second = MakeCertificate("P11 Second CA", 12);
  const std::string first_pem = Put("first.pem", ToPem(first));
  const std::string second_pem = Put("second.pem", ToPem(second));
  const std::string leaf = MakeLeaf(first_pem, "P11 Leaf");

  RunResult run = Install("first.pem");
  EXPECT_EQ(run.out, Imported("first.pem")) << run.err;
  EXPECT_EQ(run.status, 0);
  // The store's own file, PEM named by the thumbprint and mode 0644, is one
  // p11-kit's loader takes.
  ASSERT_EQ(Sandbox::ListFiles(anchors()), std::vector<std::string>{AnchorFileName(first)});
  struct stat st;
  ASSERT_EQ(stat((anchors() + "/" + AnchorFileName(first)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_TRUE(Trusts(first_pem));
  EXPECT_TRUE(Trusts(leaf));
  EXPECT_FALSE(Trusts(second_pem));

  run = Install("second.pem");
  EXPECT_EQ(run.out, Imported("second.pem")) << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Trusts(first_pem));
  EXPECT_TRUE(Trusts(second_pem));

  run = Uninstall("P11 First CA");
  EXPECT_EQ(run.out, Removed("P11 First CA")) << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(Trusts(first_pem));
  EXPECT_FALSE(Trusts(leaf));
  EXPECT_TRUE(Trusts(second_pem));
  // The removed file sat in the staging directory while p11-kit read the
  // anchors, and p11-kit passed it over.
  bool kept = false;
  for (const AnchorBlock& block : ParseAnchorFile(FromText(ReadFile(root() + kKeptLog)))) {
    kept = kept || block.der == first;
  }
  EXPECT_TRUE(kept);

  run = Uninstall("P11 Second CA");
  EXPECT_EQ(run.out, Removed("P11 Second CA")) << run.err;
  EXPECT_EQ(run.status, 0);
  ASSERT_TRUE(Exists(bundle()));
  EXPECT_FALSE(Trusts(second_pem));
  EXPECT_TRUE(Sandbox::ListFiles(anchors()).empty());
}

// What an admin may leave in the anchors directory besides the store's own
// files. The tool must find to remove exactly what p11-kit reads: an anchor
// it cannot see stays trusted, and one it removes that p11-kit never read
// changes nothing a client sees. Chromium, which reads none of it, must be
// given exactly what the bundle trusts.
struct Entry {
  const char* what;
  const char* file;  // the certificate: below the anchors, or in the root when it begins with "/"
  const char* link;  // when not null, a link of this name in the anchors leads to `target`
  const char* target;
  bool der;
  bool read_by_p11kit;  // as measured with p11-kit 0.24
  // A copy in the blocklist beside the anchors distrusts it. p11-kit
  // distrusts every certificate of a blocklisted key, so its key is its own.
  bool blocklisted = false;
  // A private key before the certificate: p11-kit passes over it, so the
  // file keeps it once the certificate is removed.
  bool key_beside = false;
};

const Entry kEntries[] = {
    {"a hidden file", ".hidden.pem", nullptr, nullptr, false, true},
    {"a file named without an extension", "no-extension", nullptr, nullptr, false, true},
    {"a DER file", "binary.cer", nullptr, nullptr, true, true},
    {"a file in a subdirectory", "sub/in-subdirectory.crt", nullptr, nullptr, false, false},
    {"a link to a file elsewhere in the root", "/srv/elsewhere/linked.pem", "linked.pem",
     "/srv/elsewhere/linked.pem", false, true},
    // More ".." than the anchors are deep: inside the root, "/.." is "/".
    {"a link climbing past the root", "/srv/elsewhere/climbing.pem", "climbing.pem",
     "../../../../../../../../../../srv/elsewhere/climbing.pem", false, true},
    {"a file in a directory linked from the anchors", "/srv/linked-dir/inside.pem", "dir-link",
     "/srv/linked-dir", false, false},
    {"a file whose certificate the admin distrusted", "distrusted.pem", nullptr, nullptr, false, true,
     true},
    {"a file with a private key before the certificate", "keyed.pem", nullptr, nullptr, false, true, false, true},
};

// The certificates of the tool's Chromium file in the root, as base64.
std::set<std::string> ListedForChromium(const std::string& root) {
  const nlohmann::json policy = nlohmann::json::parse(
      ReadFile(root + "/etc/chromium/policies/managed/" + kChromiumPolicyFile));
  std::set<std::string> listed;
  for (const nlohmann::json& entry : policy.at(kChromiumPolicyKey)) {
    listed.insert(entry.at("certificate").get<std::string>());
  }
  return listed;
}

std::string OneLineBase64(const Bytes& der) {
  std::string base64 = ToBase64(der);
  base64.erase(std::remove(base64.begin(), base64.end(), '\n'), base64.end());
  return base64;
}

TEST_P(P11KitFamilyTest, TheToolRemovesWhatP11KitReadsAndNothingElse) {
  fs::create_directories(root() + "/etc/chromium");
  std::vector<std::string> names;
  std::vector<std::string> pems;
  std::set<std::string> trusted;
  for (const Entry& e : kEntries) {
    names.push_back(std::string("P11 entry: ") + e.what);
    const Bytes der = e.blocklisted ? MakeCertificateWithItsOwnKey(names.back())
                                    : MakeCertificate(names.back(), 100 + static_cast<long>(names.size()));
    pems.push_back(Put("entry" + std::to_string(names.size()) + ".pem", ToPem(der)));
    const std::string file = e.file[0] == '/' ? root() + e.file : anchors() + "/" + e.file;
    fs::create_directories(fs::path(file).parent_path());
    WriteFile(file, e.der ? Text(der) : (e.key_beside ? PrivateKeyPem() : "") + ToPem(der));
    if (e.link != nullptr) fs::create_symlink(e.target, anchors() + "/" + e.link);
    if (e.blocklisted) {
      const std::string blocklist = root() + family().trust_source + "/blocklist";
      fs::create_directories(blocklist);
      WriteFile(blocklist + "/" + fs::path(e.file).filename().string(), ToPem(der));
    }
    if (e.read_by_p11kit && !e.blocklisted) trusted.insert(OneLineBase64(der));
  }
  const Bytes trigger = MakeCertificate("P11 Trigger CA", 99);
  trusted.insert(OneLineBase64(trigger));
  Put("trigger.pem", ToPem(trigger));
  RunResult run = Install("trigger.pem");  // a refresh, with every entry in place
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (size_t i = 0; i < std::size(kEntries); ++i) {
    EXPECT_EQ(Trusts(pems[i]), kEntries[i].read_by_p11kit && !kEntries[i].blocklisted)
        << kEntries[i].what;
  }
  EXPECT_EQ(ListedForChromium(root()), trusted);

  for (size_t i = 0; i < std::size(kEntries); ++i) {
    const Entry& e = kEntries[i];
    SCOPED_TRACE(e.what);
    const std::string entry = anchors() + "/" + (e.link != nullptr ? e.link : e.file);
    run = Uninstall(names[i]);
    EXPECT_EQ(run.status, 0) << run.err;
    if (e.read_by_p11kit) {
      EXPECT_EQ(run.out, Removed(names[i])) << run.err;
      EXPECT_EQ(Exists(entry), e.key_beside);
      if (e.key_beside) {
        EXPECT_EQ(ReadFile(entry), PrivateKeyPem());
      }
      EXPECT_FALSE(Trusts(pems[i]));
    } else {
      EXPECT_EQ(run.out, NothingRemoved(names[i]));
      EXPECT_TRUE(Exists(entry));
    }
  }
  EXPECT_TRUE(Trusts(files() + "/trigger.pem"));
}

// A CA of the distribution's own set is removed by a copy in the family's
// blocklist, named by its thumbprint, which p11-kit's extract leaves out
// whatever else holds it; installing it lifts that again.
TEST_P(P11KitFamilyTest, ADistributionsCaIsDistrustedByBlocklistAndTrustedAgain) {
  const Bytes der = MakeCertificateWithItsOwnKey("P11 Distribution CA");
  const std::string pem = Put("distribution.pem", ToPem(der));
  WriteFile(root() + family().distribution_cas + "/anchors/distribution.pem", ToPem(der));
  Put("trigger.pem", ToPem(MakeCertificate("P11 Trigger CA", 7)));
  ASSERT_EQ(Install("trigger.pem").status, 0);
  ASSERT_TRUE(Trusts(pem));
  const std::string blocked = root() + family().blocklist + "/" + AnchorFileName(der);
  const std::string anchor = anchors() + "/" + AnchorFileName(der);
  // An install writes no local copy of the distribution's own CA: one would
  // keep it trusted here once the distribution drops or distrusts it.
  const struct {
    const char* what;
    bool install;
    bool trusted_after;
    bool admins_copy_before;  // an anchor of the admin's holds it too
    const char* said;
  } steps[] = {
      {"removed from the distribution's set alone", false, false, false, ""},
      {"installed again", true, true, false, "the distribution's copy is trusted again"},
      {"installed once more", true, true, false, "the distribution's set already trusts"},
      {"removed when held by the anchors and the distribution's set", false, false, true, ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.admins_copy_before) WriteFile(anchor, ToPem(der));
    const RunResult run = step.install ? Install("distribution.pem") : Uninstall("P11 Distribution CA");
    EXPECT_EQ(run.out, step.install ? Imported("distribution.pem") : Removed("P11 Distribution CA")) << run.err;
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find(step.said), std::string::npos) << run.err;
    EXPECT_EQ(Trusts(pem), step.trusted_after);
    EXPECT_EQ(Exists(blocked), !step.trusted_after);
    if (!step.trusted_after) {
      EXPECT_EQ(ReadFile(blocked), ToPem(der));
      struct stat st;
      ASSERT_EQ(stat(blocked.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    EXPECT_EQ(AnotherUserTrusts("P11 Distribution CA"), step.trusted_after);
    EXPECT_FALSE(Exists(anchor));
    EXPECT_TRUE(Trusts(files() + "/trigger.pem"));
  }
}

INSTANTIATE_TEST_SUITE_P(Families, P11KitFamilyTest, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<P11Family>& row) {
                           return row.param.name;
                         });

}  // namespace
}  // namespace tkv::testing
