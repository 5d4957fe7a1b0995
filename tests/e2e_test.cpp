// The built tool, run as a user would run it, against sandbox roots.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/posix/browsers/chromium_policy.h"
#include "platform/posix/cert/anchor_format.h"
#include "tests/support/ci_skip.h"
#include "tests/support/reported_run.h"
#include "tests/support/sandbox.h"

namespace tkv::testing {
namespace {

std::string ErrorLines(const std::string& message, const std::string& code) {
  return "Error : " + message + "\nLastError: " + code + "\n";
}
std::string Imported(const std::string& file) { return "Done importing [" + file + "]\n"; }
std::string Removed(const std::string& subject) { return "Done removing [" + subject + "]\n"; }
std::string RemovalLines(const std::string& name) {
  return "Removing certificate : " + name + " \nThe certificate has been removed.\n";
}

std::string AnchorName(const Bytes& der) { return AnchorFileName(der); }

bool IsRoot() { return geteuid() == 0; }

// A certificate's expiry as a person reads it ("2027-01-31 12:00:00 UTC").
std::string NotAfterText(const Bytes& der) {
  const unsigned char* p = der.data();
  X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  struct tm tm {};
  char text[32] = "";
  if (certificate != nullptr && ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &tm) == 1) {
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  }
  X509_free(certificate);
  return text;
}

// An expected line with "{anchors}" standing for the sandbox's anchors directory,
// and "{store}" for both places a removal looks.
std::string WithAnchors(std::string text, const Sandbox& sandbox) {
  const std::string store = "{store}";
  for (size_t at; (at = text.find(store)) != std::string::npos;) {
    text.replace(at, store.size(), "{anchors} or the distribution's set " + sandbox.root() + "/usr/share/ca-certificates");
  }
  const std::string mark = "{anchors}";
  for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), sandbox.anchors_dir());
  const std::string root = "{root}";
  for (size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), sandbox.root());
  return text;
}

// Cases that exercise our own store layer (its files, permissions and
// refresh) say why they do not apply to the Windows build.
#define SKIP_ON_WINE(why) \
  if (OnWine()) TKV_SKIP(std::string("the Linux build's own: ") + (why))

// Wine's crypt32 gives CRYPT_E_NO_MATCH for every failed query; Windows
// documents no code, and ours names the cause.
std::string QueryCode(const std::string& ours) { return OnWine() ? "0x80092009" : ours; }

// Wine keeps the LocalMachine Root store in its registry, keyed by thumbprint.
bool InWineRootStore(const Bytes& der) {
  std::string thumbprint = AnchorFileName(der);
  thumbprint.resize(thumbprint.size() - 4);  // ".crt"
  return RunProgram({"wine", "reg", "query",
                     "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
                         thumbprint})
             .status == 0;
}

class ToolTest : public ::testing::Test {
 protected:
  RunResult Run(const std::vector<std::string>& args, bool as_nobody = false) {
    return RunTool(args, {sandbox_.root(), as_nobody, sandbox_.root() + "/files"});
  }
  ReportedRun Report(const std::vector<std::string>& args,
                     const std::vector<std::pair<const char*, std::string>>& settings = {}) {
    return RunReporting(args, {sandbox_.root(), false, sandbox_.root() + "/files"}, settings);
  }
  // Installs through the tool and checks that it said so.
  void Install(const Bytes& der, const std::string& file) {
    sandbox_.Put(file, ToPem(der));
    const RunResult r = Run({"/install", file});
    ASSERT_EQ(r.out, Imported(file));
    ASSERT_EQ(r.status, 0);
  }
  Sandbox sandbox_;
};

struct ArgsCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  int status;
  const char* err = nullptr;  // the Linux build's standard error, where the row names it
};

// Off Windows an absolute path begins with "/", so after a known command
// such an argument is the parameter; the Windows build (run under Wine) keeps
// taking every argument that begins with "/" as a command.
template <typename T>
T LinuxElseWine(T linux_value, T wine_value) {
  return OnWine() ? wine_value : linux_value;
}

TEST_F(ToolTest, CommandLineIsCollectedAndDispatchedExactly) {
  const std::string ca = sandbox_.Put("ca.pem", ToPem(MakeCertificate("Front End CA")));
  const std::string missing = sandbox_.root() + "/files/missing.pem";
  const std::string usage = UsageText();
  const std::string no_file = ErrorLines("CryptQueryObject failed", QueryCode("0x2"));
  const ArgsCase cases[] = {
      {"no arguments", {}, usage, 1},
      {"a command alone", {"/install"}, usage, 1},
      {"one argument and a file", {"ca.pem"}, usage, 1},
      {"a file name first", {"ca.pem", "/install"}, usage, 1},
      {"only an empty parameter", {"/install", ""}, usage, 1},
      {"a capitalised command", {"/Install", "ca.pem"}, usage, 1},
      {"a prefix of a command", {"/instal", "ca.pem"}, usage, 1},
      {"an unknown command", {"/x", "ca.pem"}, usage, 1},
      {"a later command replaces install", {"/install", "/uninstall", "Nobody"}, Removed("Nobody"), 0},
      {"a later command replaces uninstall", {"/uninstall", "/install", "ca.pem"}, Imported("ca.pem"), 0},
      {"two commands and nothing more", {"/install", "/uninstall"}, usage, 1},
      // Arguments beginning with "/" after a known command.
      {"an absolute path", {"/install", ca}, LinuxElseWine(Imported(ca), usage), LinuxElseWine(0, 1)},
      {"an absolute path after an empty argument", {"/install", "", ca},
       LinuxElseWine(Imported(ca), usage), LinuxElseWine(0, 1)},
      {"a second absolute path is ignored", {"/install", ca, missing},
       LinuxElseWine(Imported(ca), usage), LinuxElseWine(0, 1)},
      {"a slash-name that is no file", {"/install", "/x"},
       LinuxElseWine(no_file + Imported("/x"), usage), 1},
      {"a slash-name, then a file", {"/install", "/x", "ca.pem"},
       LinuxElseWine(no_file + Imported("/x"), usage), 1},
      {"a subject beginning with a slash", {"/uninstall", "/CN"},
       LinuxElseWine(Removed("/CN"), usage), LinuxElseWine(0, 1)},
      {"a later command still replaces one", {"/install", "/uninstall", "/CN"},
       LinuxElseWine(Removed("/CN"), usage), LinuxElseWine(0, 1)},
      // Before any known command, "/" begins a command everywhere.
      {"an unknown command, then an absolute path", {"/x", ca}, usage, 1},
      {"an unknown command, then a path that is no file", {"/x", "/etc/ca.pem"}, usage, 1},
      {"an empty argument is passed over", {"/install", "", "ca.pem"}, Imported("ca.pem"), 0},
      {"a second file is ignored", {"/install", "ca.pem", "missing.pem"}, Imported("ca.pem"), 0,
       "tkvcert: ignored 1 argument after \"ca.pem\": a command takes one parameter; "
       "quote a name that holds spaces\n"},
      {"a name left unquoted", {"/uninstall", "Front", "End", "CA"}, Removed("Front"), 0,
       "tkvcert: ignored 2 arguments after \"Front\": a command takes one parameter; "
       "quote a name that holds spaces\n"
       "tkvcert: nothing was removed: no certificate in {store} is named \"Front\"; "
       "names are matched exactly, case and spaces included\n"
       "tkvcert: the closest names there: \"Front End CA\"\n"},
      {"wildcards are not expanded", {"/install", "*.pem"},
       ErrorLines("CryptQueryObject failed", QueryCode("0x2")) + Imported("*.pem"), 1},
  };
  for (const ArgsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    if (c.err != nullptr && !OnWine()) {
      EXPECT_EQ(r.err, WithAnchors(c.err, sandbox_));
    }
    if (OnWine()) continue;
    // Asked for a report, the run is the same run, and says so in it.
    const ReportedRun reported = Report(c.args);
    EXPECT_EQ(reported.result.out, c.out);
    EXPECT_EQ(reported.result.status, c.status);
    ASSERT_TRUE(reported.report.is_object());
    EXPECT_EQ(reported.report["report"], 1);
    EXPECT_EQ(reported.report["version"], TKVCERT_VERSION_UNDER_TEST);
    EXPECT_EQ(reported.report["status"], c.status);
    EXPECT_EQ(reported.report["outcome"], c.out == usage ? "usage" : c.status == 0 ? "ok" : "error");
  }
}

TEST_F(ToolTest, InstallPutsOnePemAnchorAndRefreshesTheBundle) {
  const Bytes der = MakeCertificate("Installed CA");
  sandbox_.Put("ca.der", der);
  for (int round = 0; round < 2; ++round) {  // the second install leaves one copy
    const RunResult r = Run({"/install", "ca.der"});
    EXPECT_EQ(r.out, Imported("ca.der"));
    EXPECT_EQ(r.status, 0);
    if (!OnWine()) {
      EXPECT_EQ(r.err, "");  // the refresh's chatter is not the user's business
    }
  }
  if (OnWine()) {
    EXPECT_TRUE(InWineRootStore(der));
    return;
  }
  const std::string anchor = AnchorName(der);
  EXPECT_EQ(sandbox_.AnchorNames(), std::vector<std::string>{anchor});
  EXPECT_EQ(ReadFile(sandbox_.anchors_dir() + "/" + anchor), ToPem(der));
  struct stat st;
  ASSERT_EQ(stat((sandbox_.anchors_dir() + "/" + anchor).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(sandbox_.BundleCount(), 1);

  // Held by an anchor under another name, and so by the bundle: nothing to
  // change, and no refresh. Nor does a CA that the distribution's set
  // trusts: a local copy would pin it.
  ASSERT_EQ(rename((sandbox_.anchors_dir() + "/" + anchor).c_str(),
                   (sandbox_.anchors_dir() + "/corp.crt").c_str()), 0);
  ASSERT_EQ(stat(sandbox_.bundle().c_str(), &st), 0);
  RunResult r = Run({"/install", "ca.der"});
  EXPECT_EQ(r.out, Imported("ca.der"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "tkvcert: " + sandbox_.anchors_dir() + "/corp.crt already holds this certificate: "
                   "nothing was changed\n");
  EXPECT_EQ(sandbox_.AnchorNames(), std::vector<std::string>{"corp.crt"});
  struct stat after;
  ASSERT_EQ(stat(sandbox_.bundle().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, st.st_ino);

  const Bytes distributed = MakeCertificate("Distributed CA");
  WriteFile(sandbox_.root() + "/usr/share/ca-certificates/distributed.crt", ToPem(distributed));
  WriteFile(sandbox_.root() + "/etc/ca-certificates.conf", std::string("distributed.crt\n"));
  sandbox_.Put("distributed.pem", ToPem(distributed));
  ASSERT_EQ(Run({"/uninstall", "Installed CA"}).status, 0);  // a refresh: the bundle holds it now
  ASSERT_EQ(sandbox_.BundleCount(), 1);
  r = Run({"/install", "distributed.pem"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "tkvcert: the distribution's set already trusts \"Distributed CA\" (" + sandbox_.root() +
                   "/usr/share/ca-certificates/distributed.crt): nothing was changed\n");
  EXPECT_EQ(sandbox_.AnchorNames(), std::vector<std::string>{});
}

struct FileCase {
  const char* name;
  std::string file;  // a path, or a file made below
  std::string out_before_completion;
  bool as_nobody = false;  // when root; others cannot read it anyway
  std::string err = "";    // the Linux build's standard error
};

template <typename T>
Bytes Der(const T* object, int (*i2d)(const T*, unsigned char**)) {
  unsigned char* out = nullptr;
  const int size = i2d(object, &out);
  Bytes der(out, out + (size > 0 ? size : 0));
  OPENSSL_free(out);
  return der;
}

// SEQUENCEs inside each other `depth` times, with definite lengths.
Bytes NestedSequences(int depth) {
  std::vector<int> lengths(depth + 1, 0);  // content length, counted from the inside
  for (int i = 1; i <= depth; ++i) lengths[i] = ASN1_object_size(1, lengths[i - 1], V_ASN1_SEQUENCE);
  Bytes der(static_cast<size_t>(lengths[depth]));
  unsigned char* p = der.data();
  for (int i = depth - 1; i >= 0; --i) ASN1_put_object(&p, 1, lengths[i], V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
  return der;
}

// The certificate's contents under a header that claims 2^31 bytes: past
// what ASN1_put_object can write (its length is an int), so it is spelt out.
Bytes WithLengthOf2To31(const Bytes& cert) {
  const unsigned char* p = cert.data();
  long length = 0;
  int tag = 0;
  int cls = 0;
  ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(cert.size()));
  const unsigned char header[] = {V_ASN1_CONSTRUCTED | V_ASN1_SEQUENCE, 0x84, 0x80, 0x00, 0x00, 0x00};
  const unsigned char* end = cert.data() + cert.size();
  Bytes der(sizeof header + static_cast<size_t>(end - p));
  std::copy(p, end, std::copy(std::begin(header), std::end(header), der.begin()));
  return der;
}

// The certificate with a subject of one CN of `size` bytes. libcrypto will
// not parse a name past 1 MiB, nor make a certificate with one, so the name
// is spliced into the certificate's generic form; the signature is no longer
// right, which the tool would not check anyway.
Bytes WithHugeSubject(const Bytes& cert, size_t size) {
  X509_NAME* name = X509_NAME_new();
  const std::string value(size, 'S');
  X509_NAME_add_entry_by_txt(name, "CN", V_ASN1_UTF8STRING,
                             reinterpret_cast<const unsigned char*>(value.data()),
                             static_cast<int>(value.size()), -1, 0);
  const Bytes name_der = Der(name, i2d_X509_NAME);
  X509_NAME_free(name);

  auto parse = [](const unsigned char* der, long length) {
    return d2i_ASN1_SEQUENCE_ANY(nullptr, &der, length);
  };
  ASN1_SEQUENCE_ANY* outer = parse(cert.data(), static_cast<long>(cert.size()));
  ASN1_STRING* tbs_der = sk_ASN1_TYPE_value(outer, 0)->value.sequence;
  ASN1_SEQUENCE_ANY* tbs = parse(tbs_der->data, tbs_der->length);
  // [0] version, serialNumber, signature, issuer, validity, subject
  ASN1_STRING_set(sk_ASN1_TYPE_value(tbs, 5)->value.sequence, name_der.data(),
                  static_cast<int>(name_der.size()));
  const Bytes new_tbs = Der(tbs, i2d_ASN1_SEQUENCE_ANY);
  ASN1_STRING_set(tbs_der, new_tbs.data(), static_cast<int>(new_tbs.size()));
  const Bytes der = Der(outer, i2d_ASN1_SEQUENCE_ANY);
  sk_ASN1_TYPE_pop_free(tbs, ASN1_TYPE_free);
  sk_ASN1_TYPE_pop_free(outer, ASN1_TYPE_free);
  return der;
}

// Where Wine's crypt32 answers otherwise: why, and what it says instead
// (nothing: the case is not run on Wine).
struct WineAnswer {
  const char* file;
  const char* why;
  std::string out;
};

TEST_F(ToolTest, FilesThatAreNotCertificatesChangeNothing) {
  const Bytes cert = MakeCertificate("Bystander");
  sandbox_.Put("crl.pem", ToPem(MakeCrl(), "X509 CRL"));
  sandbox_.Put("bundle.p7b", MakePkcs7(cert));
  sandbox_.Put("key.pfx", MakePfx(cert));
  sandbox_.Put("-Joe's key.pfx", MakePfx(cert));
  sandbox_.Put("request.csr", ToPem(MakeCsr("Request"), "CERTIFICATE REQUEST"));
  sandbox_.Put("empty.cer", std::string());
  sandbox_.Put("garbage.cer", std::string("\x01\x02 not a certificate \xff"));
  sandbox_.Put("truncated.der", Bytes(cert.begin(), cert.begin() + cert.size() / 2));
  const std::string dir = sandbox_.root() + "/files";
  mkdir((dir + "/a-directory").c_str(), 0755);
  mkfifo((dir + "/a-fifo").c_str(), 0644);
  ASSERT_EQ(symlink("/dev/zero", (dir + "/zero").c_str()), 0);  // an argument starting with "/" is a command
  ASSERT_EQ(symlink("loop-b", (dir + "/loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", (dir + "/loop-b").c_str()), 0);
  WriteFile(dir + "/sparse.cer", std::string());
  ASSERT_EQ(truncate((dir + "/sparse.cer").c_str(), 2LL << 30), 0);
  sandbox_.Put("one-byte.cer", std::string("0"));  // a DER SEQUENCE tag and a Base64 digit
  sandbox_.Put("unreadable.pem", ToPem(cert));
  ASSERT_EQ(chmod((dir + "/unreadable.pem").c_str(), 0), 0);
  sandbox_.Put("huge.pem", ToPem(Bytes(50'000'000 / 4 * 3)));
  sandbox_.Put("long-length.der", WithLengthOf2To31(cert));
  sandbox_.Put("deep.der", NestedSequences(10'000));
  const Bytes huge_subject = WithHugeSubject(cert, 1 << 20);
  ASSERT_GT(huge_subject.size(), 1u << 20);
  sandbox_.Put("huge-subject.pem", ToPem(huge_subject));

  sandbox_.Put("keyed.pem", PrivateKeyPem() + ToPem(cert));
  const std::string not_a_cert = "Error : File content is not a certificate\n";
  // What the Linux build says the file holds.
  const auto Holds = [](const std::string& file, const std::string& what) {
    return "tkvcert: " + file + " holds " + what + "\n";
  };
  const std::string kUnreadable = "nothing libcrypto reads as a certificate: neither PEM, DER, Base64 nor {ASN} hex";
  const FileCase cases[] = {
      {"CRL", "crl.pem", not_a_cert, false, Holds("crl.pem", "a certificate revocation list (CRL), not a certificate")},
      {"PKCS#7", "bundle.p7b", not_a_cert, false, Holds("bundle.p7b", "a PKCS#7 bundle: take the CA's certificate out of it (openssl pkcs7 -print_certs) and install that")},
      {"PKCS#12 with a key", "key.pfx", not_a_cert, false, Holds("key.pfx", "a PKCS#12 file: take the CA's certificate out of it (openssl pkcs12 -in key.pfx -nokeys -clcerts -out ca.pem, adding -legacy when OpenSSL calls it unsupported) and install that")},
      {"PKCS#12 named for a shell to quote", "-Joe's key.pfx", not_a_cert, false, Holds("-Joe's key.pfx", "a PKCS#12 file: take the CA's certificate out of it (openssl pkcs12 -in './-Joe'\\''s key.pfx' -nokeys -clcerts -out ca.pem, adding -legacy when OpenSSL calls it unsupported) and install that")},
      {"PKCS#10 request", "request.csr", not_a_cert, false, Holds("request.csr", "a certificate request (PKCS#10), which a CA signs; install the CA's certificate instead")},
      {"empty file", "empty.cer", not_a_cert, false, Holds("empty.cer", "nothing: it is empty")},
      {"garbage", "garbage.cer", ErrorLines("CryptQueryObject failed", "0x80092009"), false, Holds("garbage.cer", kUnreadable)},
      {"truncated DER", "truncated.der", ErrorLines("CryptQueryObject failed", "0x80092009"), false, Holds("truncated.der", kUnreadable)},
      {"a key before the certificate", "keyed.pem", ErrorLines("CryptQueryObject failed", "0x80092009"), false,
       Holds("keyed.pem", "a private key (PRIVATE KEY) first: a file to install holds the certificate first, and no key")},
      {"missing file", "missing.pem", ErrorLines("CryptQueryObject failed", "0x2"), false,
       "tkvcert: cannot read missing.pem: No such file or directory\n"},
      {"directory", "a-directory", ErrorLines("CryptQueryObject failed", "0x5"), false,
       "tkvcert: cannot read a-directory: Is a directory\n"},
      {"FIFO with no writer", "a-fifo", ErrorLines("CryptQueryObject failed", "0x32"), false,
       "tkvcert: cannot read a-fifo: not a regular file\n"},
      {"device", "zero", ErrorLines("CryptQueryObject failed", "0x32"), false,
       "tkvcert: cannot read zero: not a regular file\n"},
      {"sparse 2 GiB file", "sparse.cer", ErrorLines("CryptQueryObject failed", "0xdf"), false,
       "tkvcert: cannot read sparse.cer: File too large\n"},
      {"symbolic link loop", "loop-a", ErrorLines("CryptQueryObject failed", "0x781"), false,
       "tkvcert: cannot read loop-a: Too many levels of symbolic links\n"},
      {"one byte", "one-byte.cer", ErrorLines("CryptQueryObject failed", "0x80092009"), false, Holds("one-byte.cer", kUnreadable)},
      {"unreadable file", "unreadable.pem", ErrorLines("CryptQueryObject failed", "0x5"), true,
       "tkvcert: cannot read unreadable.pem: Permission denied\n"},
      {"PEM with 50 MB of Base64", "huge.pem", ErrorLines("CryptQueryObject failed", "0xdf"), false,
       "tkvcert: cannot read huge.pem: File too large\n"},
      {"DER length of 2^31", "long-length.der", ErrorLines("CryptQueryObject failed", "0x80092009"), false, Holds("long-length.der", kUnreadable)},
      {"ASN.1 nested 10000 deep", "deep.der", ErrorLines("CryptQueryObject failed", "0x80092009"), false, Holds("deep.der", kUnreadable)},
      {"1 MiB subject", "huge-subject.pem", ErrorLines("CryptQueryObject failed", "0x80092009"), false,
       Holds("huge-subject.pem", "a CERTIFICATE block that is cut short or does not decode")},
  };
  const std::string no_match = ErrorLines("CryptQueryObject failed", "0x80092009");
  const WineAnswer wine_answers[] = {
      {"request.csr", "Wine reads no PKCS#10", no_match},
      {"missing.pem", "Wine says no match for every failure", no_match},
      {"a-directory", "Wine says no match for every failure", no_match},
      {"a-fifo", "Wine reads a FIFO as an empty file", not_a_cert},
      {"zero", "Wine says no match for every failure", no_match},
      {"sparse.cer", "Wine reads all 2 GiB; Windows has no FIFOs or sparse limits to compare", ""},
      {"loop-a", "Wine says no match for every failure", no_match},
      {"unreadable.pem", "Wine's prefix is not another user's to run", ""},
      {"huge.pem", "Wine says no match for every failure", no_match},
      {"huge-subject.pem", "Wine installs it: the 1 MiB name limit is OpenSSL's", ""},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expected = c.out_before_completion;
    for (const WineAnswer& w : wine_answers) {
      if (OnWine() && c.file == w.file) expected = w.out;
    }
    if (expected.empty()) continue;
    const RunResult r = ForeseenRun({"/install", c.file}, {sandbox_.root(), c.as_nobody && IsRoot(), sandbox_.root() + "/files"});
    EXPECT_EQ(r.out, expected + Imported(c.file));
    EXPECT_EQ(r.status, 1);
    if (!OnWine()) {
      EXPECT_EQ(r.err, c.err);
    }
  }
  EXPECT_TRUE(sandbox_.AnchorNames().empty());
}

TEST_F(ToolTest, InstallFailuresReportAndLeaveTheStoreAsItWas) {
  SKIP_ON_WINE("permissions and the refresh are our store layer's");
  Install(MakeCertificate("Already There"), "old.pem");
  const auto before = sandbox_.Snapshot();
  const Bytes new_ca = MakeCertificate("New CA");
  sandbox_.Put("ca.pem", ToPem(new_ca));

  if (IsRoot()) {  // an unprivileged user may not change the anchors: the store does not open
    const RunResult r = Run({"/install", "ca.pem"}, /*as_nobody=*/true);
    EXPECT_EQ(r.out, ErrorLines("Failed to open store", "0x5") + Imported("ca.pem"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tkvcert: uid 65534 may not change " + sandbox_.anchors_dir() +
                         " (owned by uid 0, mode 0755): the machine's trust is root's to change\n");
    EXPECT_EQ(sandbox_.Snapshot(), before);
  } else {
    tkv::test::LeaveOutRow("an unprivileged user's run needs root");
  }

  // Another's anchor cut short: the refresh copies it as it is, so it
  // swallows the anchor after it, and libcrypto reads none of the bundle.
  // A bundle clients read is never made one they cannot: the change is
  // refused before any write when the anchor changed since the bundle was
  // written, and taken back when the bundle turns out unreadable all the
  // same. One they cannot read already is published, and said.
  const std::string cut = "-----BEGIN CERTIFICATE-----\n" +
                          ToPem(MakeCertificate("Cut Short")).substr(28, 130);
  const std::string unreadable = "tkvcert: OpenSSL's clients read no certificate of " + sandbox_.bundle() +
                                 ": a PEM block in it is cut short or does not decode";
  const std::string refused = "tkvcert: refusing the change: OpenSSL's clients read " + sandbox_.bundle() +
                              " today, and would read none of it once the refresh copies in what follows; mend "
                              "or move the file, then run again\n";
  enum class Bundle { kAsItIs, kWrittenSince, kUnreadable };
  const struct {
    const char* name;
    std::string file;
    Bundle bundle;
    int status;
    std::string out;
    std::string err_before;  // the anchor's own line follows
    std::string err_after;
  } broken[] = {
      {"changed since the bundle, just before the new anchor", AnchorName(new_ca).substr(0, 39) + "-cut.crt",
       Bundle::kAsItIs, 1, ErrorLines("Failed to add certificate to store", "0xd"), refused, ""},
      {"changed since the bundle, after the new anchor", "z-cut.crt", Bundle::kAsItIs, 1,
       ErrorLines("Failed to add certificate to store", "0xd"), refused, ""},
      {"older than the bundle", "z-cut.crt", Bundle::kWrittenSince, 1,
       ErrorLines("Failed to add certificate to store", "0x65b"),
       unreadable + "; they read it before the change, which is taken back\n", unreadable + "\n"},
      {"the bundle unreadable already", "z-cut.crt", Bundle::kUnreadable, 0, "", unreadable + "\n", ""},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.name);
    sandbox_.PlaceAnchor(c.file, cut);
    if (c.bundle == Bundle::kWrittenSince) {
      const struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 3600, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, sandbox_.bundle().c_str(), later, 0), 0);
    }
    if (c.bundle == Bundle::kUnreadable) WriteFile(sandbox_.bundle(), ReadFile(sandbox_.bundle()) + cut);
    const RunResult r = Run({"/install", "ca.pem"});
    EXPECT_EQ(r.out, c.out + Imported("ca.pem"));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err_before + "tkvcert: " + sandbox_.anchors_dir() + "/" + c.file +
                         " holds a PEM block that is cut short or does not decode; the refresh copies it "
                         "into the bundle, and OpenSSL's clients then read none of the bundle\n" +
                         c.err_after);
    ASSERT_EQ(unlink((sandbox_.anchors_dir() + "/" + c.file).c_str()), 0);
    if (c.status == 0) {
      ASSERT_EQ(Run({"/uninstall", "New CA"}).status, 0);
    }
    EXPECT_EQ(sandbox_.Snapshot(), before);
  }

  sandbox_.BreakRefresh();  // the anchor is written, then rolled back
  const RunResult r = Run({"/install", "ca.pem"});
  EXPECT_EQ(r.out, ErrorLines("Failed to add certificate to store", "0x65b") + Imported("ca.pem"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err, "");  // the refresh's own complaint reaches the admin
  EXPECT_EQ(sandbox_.Snapshot(), before);
}

TEST(ToolWithoutStore, ReportsFailedOpenWithStatusOneAndSaysWhy) {
  SKIP_ON_WINE("Windows always has a Root store");
  TempDir dir;
  TempDir files;
  WriteFile(files.File("ca.pem"), ToPem(MakeCertificate("Nowhere CA")));
  const std::string empty = dir.path() + "/empty";
  const std::string missing = dir.path() + "/missing";
  const std::string bare = dir.path() + "/bare";  // Debian's anchors, without the bundle's directory
  std::filesystem::create_directories(empty);
  std::filesystem::create_directories(bare + "/usr/local/share/ca-certificates");
  std::filesystem::create_directories(bare + "/etc");
  WriteFile(bare + "/etc/ca-certificates.conf", std::string());
  const struct {
    const char* name;
    std::string root;
    const char* failed;
    const char* code;
    std::string err;  // how standard error begins
  } cases[] = {
      {"a root of no family", empty, "Failed to open store", "0x2",
       "tkvcert: no trust store found in " + empty + ": Alpine lacks etc/alpine-release; Debian, Ubuntu lacks "
       "etc/ca-certificates.conf;"},
      {"no such root", missing, "Failed to open store", "0x2",
       "tkvcert: there is no directory " + missing + " (TKVCERT_SYSROOT) to stand for /\n"},
      {"a root without the bundle's directory", bare, "Failed to add certificate to store", "0x3",
       "tkvcert: the refresh needs " + bare + "/etc/ssl/certs, which is missing: the family's ca-certificates "
       "package makes it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.root == bare && !IsRoot()) {  // only root may change another root
      tkv::test::LeaveOutRow("a bare root needs root");
      continue;
    }
    const RunOptions options{c.root, false, files.path()};
    RunResult r = RunTool({"/install", "ca.pem"}, options);
    EXPECT_EQ(r.out, ErrorLines(c.failed, c.code) + Imported("ca.pem"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.compare(0, c.err.size(), c.err), 0) << r.err;
    if (c.root == bare) continue;
    r = RunTool({"/uninstall", "Nowhere CA"}, options);
    EXPECT_EQ(r.out, ErrorLines("Failed to open store.", "0x2") + Removed("Nowhere CA"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.compare(0, c.err.size(), c.err), 0) << r.err;
  }
}

struct RemovalCase {
  const char* name;
  CertSpec spec;
  std::string subject;
  bool removed;
  const char* err = "";  // the Linux build's standard error; null: not looked at
  std::vector<std::string> beside = {};  // names of other certificates in the store
};

std::string NothingRemoved(const std::string& subject) {
  return "tkvcert: nothing was removed: no certificate in {store} is named \"" + subject +
         "\"; names are matched exactly, case and spaces included\n";
}

TEST_F(ToolTest, RemovalMatchesWholeSimpleDisplayNamesOnly) {
  const std::string non_ascii = "Z\xC3\xBCrich Proxy \xF0\x9F\x94\x92";
  const std::string long_name(5000, 'L');  // longer than the 4096-character name buffer
  const RemovalCase cases[] = {
      {"exact CN", {{{"CN", "Exact CA", V_ASN1_UTF8STRING}}, {}, 1}, "Exact CA", true},
      {"other case", {{{"CN", "Case CA", V_ASN1_UTF8STRING}}, {}, 1}, "case ca", false,
       "{nothing}tkvcert: the closest names there: \"Case CA\"\n"},
      {"other spacing", {{{"CN", "Spaced  CA", V_ASN1_UTF8STRING}}, {}, 1}, " Spaced CA", false,
       "{nothing}tkvcert: the closest names there: \"Spaced  CA\"\n"},
      {"a slip of a letter", {{{"CN", "Corp Root CA", V_ASN1_UTF8STRING}}, {}, 1}, "Crop Root CA", false,
       "{nothing}tkvcert: the closest names there: \"Corp Root CA\"\n"},
      {"among many near names, the three nearest", {{{"CN", "Corp Root CA 2026", V_ASN1_UTF8STRING}}, {}, 1},
       "corp root ca 2026", false,
       "{nothing}tkvcert: the closest names there: \"Corp Root CA 2026\", \"Corp Root CA 2025\", "
       "\"Corp Root CA 2015\"\n",
       {"Corp Root CA 2015", "Corp Root CA 1999", "Corp Root CA 2025", "Unrelated Authority"}},
      {"the start of a name, offered", {{{"CN", "Prefix CA Long", V_ASN1_UTF8STRING}}, {}, 1}, "Prefix CA", false,
       "{nothing}tkvcert: the closest names there: \"Prefix CA Long\"\n", {"Prefix Unrelated"}},
      {"the end of a name, offered before a slip", {{{"CN", "Corp Only Unit", V_ASN1_UTF8STRING}}, {}, 1}, "Unit",
       false, "{nothing}tkvcert: the closest names there: \"Corp Only Unit\", \"Unix\"\n", {"Unix"}},
      {"a control byte, shown escaped", {{{"CN", "Ctl\x1b[2J CA", V_ASN1_UTF8STRING}}, {}, 1}, "ctl\x1b[2J ca",
       false,
       "tkvcert: nothing was removed: no certificate in {store} is named \"ctl\\x1b[2J ca\"; names are "
       "matched exactly, case and spaces included\ntkvcert: the closest names there: \"Ctl\\x1b[2J CA\"\n"},
      {"non-ASCII", {{{"CN", non_ascii, V_ASN1_UTF8STRING}}, {}, 1}, non_ascii, true},
      {"the start of a longer name", {{{"CN", long_name, V_ASN1_UTF8STRING}}, {}, 1},
       long_name.substr(0, 4095), false, nullptr},
      {"a name longer than the buffer", {{{"CN", long_name, V_ASN1_UTF8STRING}}, {}, 1}, long_name, true},
      {"name from O", {{{"C", "DE", V_ASN1_PRINTABLESTRING}, {"O", "Org Only", V_ASN1_UTF8STRING}}, {}, 1},
       "Org Only", true},
      {"name from the SAN", {{{"C", "DE", V_ASN1_PRINTABLESTRING}},
                             {{GEN_DNS, "proxy.example"}, {GEN_EMAIL, "ca@proxy.example"}}, 1},
       "ca@proxy.example", true},
      {"a name beginning with a slash", {{{"CN", "/Slash CA", V_ASN1_UTF8STRING}}, {}, 1},
       "/Slash CA", true},
  };
  for (const RemovalCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (OnWine() && c.subject == non_ascii) continue;  // msvcrt prints in the console code page
    if (OnWine() && c.subject[0] == '/') continue;      // a command there, not a subject
    Sandbox sandbox;
    std::vector<Bytes> certs = {MakeCertificate(c.spec)};
    for (const std::string& name : c.beside) certs.push_back(MakeCertificate(name));
    for (const Bytes& der : certs) {
      if (OnWine()) {
        sandbox.Put("ca.pem", ToPem(der));
        ASSERT_EQ(RunTool({"/install", "ca.pem"}, {sandbox.root(), false, sandbox.root() + "/files"}).status, 0);
      } else {
        sandbox.PlaceAnchor(AnchorName(der), ToPem(der));
      }
    }
    const RunResult r = ForeseenRun({"/uninstall", c.subject}, {sandbox.root(), false, ""});
    EXPECT_EQ(r.out, (c.removed ? RemovalLines(c.subject) : "") + Removed(c.subject));
    EXPECT_EQ(r.status, 0);
    if (!OnWine()) {
      EXPECT_EQ(sandbox.AnchorNames().size(), certs.size() - (c.removed ? 1 : 0));
      std::string err = c.err == nullptr ? r.err : c.err;
      const size_t at = err.find("{nothing}");
      if (at != std::string::npos) err.replace(at, 9, NothingRemoved(c.subject));
      EXPECT_EQ(r.err, WithAnchors(err, sandbox));
    }
  }
}

// Taken by its thumbprint, the certificate's name is its own, not the
// admin's words: what would drive a terminal is shown escaped.
TEST_F(ToolTest, ANameTakenByThumbprintIsShownEscaped) {
  SKIP_ON_WINE("removal by thumbprint is the Linux build's");
  const Bytes der = MakeCertificate(CertSpec{{{"CN", "\x1b]0;owned\x07\x1b[2J\xe2\x80\xae CA", V_ASN1_UTF8STRING}}, {}, 1});
  Install(der, "ca.pem");
  const std::string sha1 = AnchorName(der).substr(0, 40);
  const ScopedEnvironmentVariable by("TKVCERT_UNINSTALL_BY", "sha1");
  const RunResult r = Run({"/uninstall", sha1});
  EXPECT_EQ(r.out, RemovalLines("\\x1b]0;owned\\x07\\x1b[2J\\u202e CA") + Removed(sha1));
  EXPECT_EQ(r.status, 0);
}

// A subject is compared with the whole name, by length: a name that goes on
// past a NUL is not the text before the NUL, in either string type. Wine's
// crypt32 installs such a certificate and gives its name whole, NUL and all,
// as ours does; its deletions do not last, so there the certificate with the
// plain name is left out and the case is that nothing is removed.
TEST_F(ToolTest, ANameWithANulInsideIsNotTheTextBeforeIt) {
  const std::string with_nul("Null CA\0.evil", 13);
  for (int type : {V_ASN1_UTF8STRING, V_ASN1_BMPSTRING}) {
    SCOPED_TRACE(type == V_ASN1_UTF8STRING ? "UTF8String" : "BMPString");
    Sandbox sandbox;
    const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};
    const Bytes evil = MakeCertificate(CertSpec{{{"CN", with_nul, type}}, {}, 1});
    const Bytes plain = MakeCertificate(CertSpec{{{"CN", "Null CA", type}}, {}, 2});
    sandbox.Put("evil.pem", ToPem(evil));
    sandbox.Put("plain.pem", ToPem(plain));
    ASSERT_EQ(RunTool({"/install", "evil.pem"}, options).out, Imported("evil.pem"));
    if (!OnWine()) {
      ASSERT_EQ(RunTool({"/install", "plain.pem"}, options).out, Imported("plain.pem"));
    }
    // The first run removes the plain name, wherever it comes in the scan;
    // the second finds nothing.
    for (bool plain_left : {!OnWine(), false}) {
      const RunResult r = RunTool({"/uninstall", "Null CA"}, options);
      EXPECT_EQ(r.out, (plain_left ? RemovalLines("Null CA") : "") + Removed("Null CA"));
      EXPECT_EQ(r.status, 0);
    }
    if (!OnWine()) {
      EXPECT_EQ(sandbox.AnchorNames(), std::vector<std::string>{AnchorName(evil)});
    }
  }
}

// Every line is written whole. Off Windows names are UTF-8. The Windows build
// writes what msvcrt's C locale carries (code units up to U+00FF, as single
// bytes) as msvcrt always has, and anything else as "?", one for each
// character, a surrogate pair included; its wprintf alone would stop the
// line, and on Windows the rest of the output, at the first such character.
TEST_F(ToolTest, NamesOutsideTheOutputsCodePageGiveCompleteLines) {
  const struct {
    const char* name;  // UTF-8
    const char* on_wine;
  } cases[] = {
      {"Lock \xF0\x9F\x94\x92", "Lock ?"},               // outside the BMP: a surrogate pair
      {"Caf\xC3\xA9 Root", "Caf\xE9 Root"},                // carried: the byte it always was
      {"\xE2\x82\xAC Proxy \xE6\x97\xA5\xE6\x9C\xAC", "? Proxy ??"},  // past U+00FF
  };
  // Wine decodes the arguments by the Unix locale; the names are UTF-8.
  const ScopedEnvironmentVariable utf8_locale("LC_ALL", "C.UTF-8");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.on_wine);
    Sandbox sandbox;
    const RunOptions options{sandbox.root(), false, sandbox.root() + "/files"};
    sandbox.Put("ca.pem", ToPem(MakeCertificate(c.name)));
    ASSERT_EQ(RunTool({"/install", "ca.pem"}, options).out, Imported("ca.pem"));
    const std::string shown = OnWine() ? c.on_wine : c.name;
    const RunResult r = RunTool({"/uninstall", c.name}, options);
    const std::string expected = RemovalLines(shown) + Removed(shown);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    if (OnWine()) {  // line ends as msvcrt's text mode makes them: CR LF, once
      std::string crlf;
      for (char ch : expected) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
      EXPECT_EQ(r.raw_out, crlf);
    }
  }
}

// "{ASN}" followed by the DER in hexadecimal, a form Windows documents for
// the query.
std::string AsnHexText(const Bytes& der) {
  std::string text = "{ASN}\n";
  char byte[3];
  for (unsigned char b : der) {
    snprintf(byte, sizeof byte, "%02X", b);
    text += byte;
  }
  return text + "\n";
}

struct InstallCase {
  const char* name;
  std::string file;  // UTF-8
  std::string contents;
  const Bytes* cert;
  bool wine_refuses;
  std::string out_on_wine;  // what the Windows build prints
  std::string err = "";     // the Linux build's standard error; such rows are the Linux build's
};

// Changes for Resigned: certificates that install, but not as a CA that an
// admin expects to trust what it signs.
void NotACa(X509* cert) {
  X509_EXTENSION_free(X509_delete_ext(cert, X509_get_ext_by_NID(cert, NID_basic_constraints, -1)));
  BASIC_CONSTRAINTS* constraints = BASIC_CONSTRAINTS_new();
  X509_add1_ext_i2d(cert, NID_basic_constraints, constraints, 1, 0);
  BASIC_CONSTRAINTS_free(constraints);
}
void SignsNoCertificates(X509* cert) {
  ASN1_BIT_STRING* usage = ASN1_BIT_STRING_new();
  ASN1_BIT_STRING_set_bit(usage, 0, 1);  // digitalSignature alone
  X509_add1_ext_i2d(cert, NID_key_usage, usage, 1, 0);
  ASN1_BIT_STRING_free(usage);
}
void Expired(X509* cert) {
  ASN1_TIME_set_string(X509_getm_notBefore(cert), "20240101000000Z");
  ASN1_TIME_set_string(X509_getm_notAfter(cert), "20250101000000Z");
}
void NotYetValid(X509* cert) {
  ASN1_TIME_set_string(X509_getm_notBefore(cert), "20991231235959Z");
  ASN1_TIME_set_string(X509_getm_notAfter(cert), "21000101000000Z");
}

std::string WillNotWork(const std::string& name, const std::string& why) {
  return "tkvcert: \"" + name + "\" " + why + "\n";
}

// Where the two builds part on what they install. Wine's crypt32 reads no
// "{ASN}" text, which Windows documents and we read. A file name beyond ASCII
// reaches the query whole on both; the Windows build shows it in msvcrt's C
// locale, which carries U+00FC as one byte and not U+20AC ("?").
TEST_F(ToolTest, InstallTakesEachFormAndSaysWhatWillNotWorkAsExpected) {
  const Bytes hex_cert = MakeCertificate("Hex Text CA");
  const Bytes named_cert = MakeCertificate("Non-ASCII File CA");
  const Bytes leaf = Resigned(MakeCertificate("Leaf"), NotACa);
  const Bytes signer = Resigned(MakeCertificate("Signer"), SignsNoCertificates);
  const Bytes expired = Resigned(MakeCertificate("Old CA"), Expired);
  const Bytes early = Resigned(MakeCertificate("Future CA"), NotYetValid);
  const Bytes first = MakeCertificate("First CA");
  const std::string only_itself = ": clients will trust it only as itself, not what it signed";
  const InstallCase cases[] = {
      {"{ASN} hexadecimal text", "ca.asn", AsnHexText(hex_cert), &hex_cert, true,
       ErrorLines("CryptQueryObject failed", "0x80092009") + Imported("ca.asn")},
      {"a file name beyond ASCII", "Z\xC3\xBCrich \xE2\x82\xAC.pem", ToPem(named_cert), &named_cert, false,
       Imported("Z\xFCrich ?.pem")},
      {"not a CA", "leaf.pem", ToPem(leaf), &leaf, false, "",
       WillNotWork("Leaf", "is not a CA: its basic constraints say so" + only_itself)},
      {"a key that signs no certificates", "signer.pem", ToPem(signer), &signer, false, "",
       WillNotWork("Signer", "may not sign certificates: its key usage says so" + only_itself)},
      {"expired", "old.pem", ToPem(expired), &expired, false, "",
       WillNotWork("Old CA", "expired on 2025-01-01 00:00:00 UTC: clients will not trust it")},
      {"not yet valid", "future.pem", ToPem(early), &early, false, "",
       WillNotWork("Future CA", "is not valid until 2099-12-31 23:59:59 UTC: clients will not trust it before then")},
      {"several certificates", "several.pem",
       ToPem(first) + ToPem(MakeCertificate("Second CA")) + ToPem(MakeCertificate("Third CA")), &first, false, "",
       "tkvcert: several.pem holds 2 more certificates after the first, which were not installed: "
       "install each from a file of its own\n"},
  };
  // Wine decodes the arguments by the Unix locale; the names are UTF-8.
  const ScopedEnvironmentVariable utf8_locale("LC_ALL", "C.UTF-8");
  for (const InstallCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (OnWine() && !c.err.empty()) continue;
    Sandbox sandbox;
    sandbox.Put(c.file, c.contents);
    const RunResult r = ForeseenRun({"/install", c.file}, {sandbox.root(), false, sandbox.root() + "/files"});
    const bool refused = OnWine() && c.wine_refuses;
    EXPECT_EQ(r.out, OnWine() ? c.out_on_wine : Imported(c.file));
    EXPECT_EQ(r.status, refused ? 1 : 0);
    if (!OnWine()) {
      EXPECT_EQ(r.err, c.err);
    }
    if (OnWine()) {
      EXPECT_EQ(InWineRootStore(*c.cert), !refused);
    } else {
      EXPECT_EQ(sandbox.AnchorNames(), std::vector<std::string>{AnchorName(*c.cert)});
    }
  }
}

// libcrypto, and so the tool, installs a certificate in any of these forms;
// the tool must then find it by name to remove it.
TEST_F(ToolTest, CertificatesInIndefiniteLengthFormAreRemovedAsTheyWereInstalled) {
  SKIP_ON_WINE("Wine's crypt32 refuses some of these forms");
  const Bytes der = MakeCertificate("BER CA");
  const struct {
    const char* name;
    std::vector<int> path;
  } cases[] = {
      {"certificate", {}},
      {"to-be-signed part", {0}},
      {"issuer", {0, 3}},  // version, serial number, signature algorithm, issuer
      {"subject", {0, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes ber = Indefinite(der, c.path);
    ASSERT_NE(ber, der);
    Install(ber, "ber.pem");
    EXPECT_EQ(sandbox_.AnchorNames(), std::vector<std::string>{AnchorName(ber)});
    const RunResult r = Run({"/uninstall", "BER CA"});
    EXPECT_EQ(r.out, RemovalLines("BER CA") + Removed("BER CA"));
    EXPECT_TRUE(sandbox_.AnchorNames().empty());
  }
}

TEST_F(ToolTest, TwinsAreRemovedOneRunAtATimeInEnumerationOrder) {
  Bytes first = MakeCertificate("Twin CA", 1);
  Bytes second = MakeCertificate("Twin CA", 2);
  if (AnchorName(second) < AnchorName(first)) std::swap(first, second);
  Install(first, "a.pem");
  Install(second, "b.pem");
  if (OnWine()) {
    // One run removes one twin, the first Wine's enumeration meets, and the
    // scan ends there (the call trace test shows no enumeration after the
    // deletion). Which one went cannot be seen afterwards: Wine does not
    // keep deletions from the Root store.
    const RunResult r = Run({"/uninstall", "Twin CA"});
    EXPECT_EQ(r.out, RemovalLines("Twin CA") + Removed("Twin CA"));
    EXPECT_EQ(r.status, 0);
    return;
  }
  ASSERT_EQ(sandbox_.BundleCount(), 2);
  const RunResult listed = [&] {
    const ScopedEnvironmentVariable list("TKVCERT_LIST", "1");
    return Run({});
  }();
  EXPECT_EQ(listed.status, 0);
  for (const Bytes* twin : {&first, &second}) {
    EXPECT_NE(listed.out.find(AnchorName(*twin).substr(0, 40) + "  " + NotAfterText(*twin).substr(0, 10) +
                              "  local                     Twin CA\n"),
              std::string::npos) << listed.out;
  }

  // By thumbprint, exactly the one asked for goes, though the other sorts first.
  const std::string second_sha1 = AnchorName(second).substr(0, 40);
  for (const std::string& by : {std::string("sha1"), std::string("sha256")}) {
    SCOPED_TRACE(by);
    const ReportedRun dry = Report({"/uninstall", by == "sha1" ? second_sha1 : ""},
                                   {{"TKVCERT_UNINSTALL_BY", by}, {"TKVCERT_DRY_RUN", "1"}});
    if (by == "sha256") {  // not a thumbprint of that kind: refused, nothing done
      EXPECT_EQ(dry.result.status, 1);
      EXPECT_EQ(dry.result.out, "");
      continue;
    }
    EXPECT_EQ(dry.result.out, "");
    EXPECT_EQ(dry.report["removed"][0]["sha1"], second_sha1);
    EXPECT_EQ(dry.report["sharing_name"], 2);
  }
  // As openssl prints it: pairs of lower-case digits and colons.
  std::string copied;
  for (size_t i = 0; i < second_sha1.size(); i += 2) {
    copied += (i == 0 ? "" : ":") + second_sha1.substr(i, 2);
  }
  std::transform(copied.begin(), copied.end(), copied.begin(), [](char c) { return static_cast<char>(tolower(c)); });
  RunResult by_thumbprint = [&] {
    const ScopedEnvironmentVariable by("TKVCERT_UNINSTALL_BY", "sha1");
    return Run({"/uninstall", copied});
  }();
  EXPECT_EQ(by_thumbprint.out, RemovalLines("Twin CA") + Removed(copied));
  EXPECT_EQ(by_thumbprint.status, 0);
  // Chosen among its namesakes (in a rotation, its successor): no line
  // steers a paste toward the other.
  EXPECT_NE(by_thumbprint.err.find("; the others stay\n"), std::string::npos) << by_thumbprint.err;
  EXPECT_EQ(by_thumbprint.err.find("/uninstall"), std::string::npos) << by_thumbprint.err;
  EXPECT_EQ(sandbox_.AnchorNames(), std::vector<std::string>{AnchorName(first)});
  Install(second, "b.pem");

  const std::string thumbprint = AnchorName(first).substr(0, 40);
  const Bytes* expectations[] = {&second, nullptr};
  for (const Bytes* expected_left : expectations) {
    const RunResult r = Run({"/uninstall", "Twin CA"});
    EXPECT_EQ(r.out, RemovalLines("Twin CA") + Removed("Twin CA"));
    EXPECT_EQ(r.status, 0);
    const std::string other_sha256 = expected_left ? Thumbprint(*expected_left, EVP_sha256()) : "";
    EXPECT_EQ(r.err, expected_left == nullptr ? ""
                     : "tkvcert: 2 certificates were named \"Twin CA\"; removed the one with SHA-1 " +
                           thumbprint + " from " + sandbox_.anchors_dir() + "/" + AnchorName(first) +
                           "; run again to remove the next\ntkvcert: another is SHA-256 " + other_sha256 +
                           ", valid until " + NotAfterText(*expected_left) +
                           "; TKVCERT_UNINSTALL_BY=sha256 tkvcert /uninstall " + other_sha256 +
                           " removes exactly that one\n");
    const std::vector<std::string> left =
        expected_left ? std::vector<std::string>{AnchorName(*expected_left)} : std::vector<std::string>{};
    EXPECT_EQ(sandbox_.AnchorNames(), left);
    EXPECT_EQ(sandbox_.BundleCount(), expected_left ? 1 : 0);
  }
}

TEST_F(ToolTest, BrokenAnchorsWarnOnceAndTheScanGoesOn) {
  SKIP_ON_WINE("anchor files are our store layer's");
  const std::string broken = "-----BEGIN CERTIFICATE-----\nnot base64 at all!\n-----END CERTIFICATE-----\n";
  sandbox_.PlaceAnchor("0-broken.crt", broken);
  sandbox_.PlaceAnchor("1-broken.crt", broken);
  sandbox_.PlaceAnchor("2-notes.txt", "not an anchor: the refresh reads only .crt\n");
  sandbox_.PlaceAnchor("4-notes.crt", "read by the refresh, but no certificate\n");
  sandbox_.PlaceAnchor("5-revoked.crt", ToPem(MakeCrl(), "X509 CRL"));
  const Bytes der = MakeCertificate("After The Broken");
  sandbox_.PlaceAnchor("3-good.crt", ToPem(der));

  const std::string warning = "Warning : Get certificate name failed.Continuing...\nLastError: 0x80093103\n";
  RunResult r = Run({"/uninstall", "After The Broken"});
  EXPECT_EQ(r.out, warning + RemovalLines("After The Broken") + Removed("After The Broken"));
  EXPECT_EQ(r.status, 0);
  r = Run({"/uninstall", "Not There"});
  EXPECT_EQ(r.out, warning + Removed("Not There"));
  EXPECT_EQ(r.status, 0);
  const std::string holds_none = " holds no certificate (text, nothing or a CRL), so it adds no trust\n";
  const std::string unnamed = " holds a certificate whose name cannot be read: it is cut short or does not "
                              "decode; clients do not trust it\n";
  EXPECT_EQ(r.err, WithAnchors("tkvcert: {anchors}/0-broken.crt" + unnamed + "tkvcert: {anchors}/1-broken.crt" +
                                   unnamed + NothingRemoved("Not There") + "tkvcert: {anchors}/4-notes.crt" + holds_none +
                               "tkvcert: {anchors}/5-revoked.crt" + holds_none, sandbox_));
  EXPECT_EQ(sandbox_.AnchorNames(), (std::vector<std::string>{"0-broken.crt", "1-broken.crt", "2-notes.txt",
                                                              "4-notes.crt", "5-revoked.crt"}));
}

TEST_F(ToolTest, RemovingFromAFileOfSeveralRewritesTheRest) {
  SKIP_ON_WINE("anchor files are our store layer's");
  const Bytes a = MakeCertificate("Corp Root A");
  const Bytes b = MakeCertificate("Corp Root B");
  const Bytes c = MakeCertificate("Corp Root C");
  sandbox_.PlaceAnchor("corp.crt", ToPem(a) + ToPem(b) + ToPem(c));
  const RunResult r = Run({"/uninstall", "Corp Root B"});
  EXPECT_EQ(r.out, RemovalLines("Corp Root B") + Removed("Corp Root B"));
  EXPECT_EQ(ReadFile(sandbox_.anchors_dir() + "/corp.crt"), ToPem(a) + ToPem(c));
  EXPECT_EQ(sandbox_.BundleCount(), 2);
  // A key kept beside a certificate is the admin's: said at every scan, and
  // never deleted with the certificate.
  const std::string keyed = sandbox_.anchors_dir() + "/keyed.crt";
  const std::string key_and_certificate = PrivateKeyPem() + ToPem(MakeCertificate("Corp Root D"));
  sandbox_.PlaceAnchor("keyed.crt", key_and_certificate);
  EXPECT_NE(Run({"/uninstall", "Not There"}).err.find("keyed.crt holds a private key beside its certificate"),
            std::string::npos);
  // Kept beside it under a name Debian's refresh does not read (it stops at
  // a .crt of a key alone), and no longer readable by all.
  ASSERT_EQ(chmod(keyed.c_str(), 0644), 0);
  const RunResult kept = Run({"/uninstall", "Corp Root D"});
  EXPECT_EQ(kept.out, RemovalLines("Corp Root D") + Removed("Corp Root D"));
  EXPECT_NE(kept.err.find("keyed.crt kept a private key"), std::string::npos) << kept.err;
  EXPECT_EQ(kept.err.find("keyed.crt holds"), std::string::npos) << "said of the file as it was: " << kept.err;
  EXPECT_EQ(ReadFile(sandbox_.anchors_dir() + "/keyed.key"), PrivateKeyPem());
  struct stat st;
  ASSERT_EQ(stat((sandbox_.anchors_dir() + "/keyed.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(sandbox_.AnchorNames(), (std::vector<std::string>{"corp.crt", "keyed.key"}));
  // A name that holds something else already is the admin's: refused.
  sandbox_.PlaceAnchor("keyed.crt", key_and_certificate);
  sandbox_.PlaceAnchor("keyed.key", "notes\n");
  const RunResult refused = Run({"/uninstall", "Corp Root D"});
  EXPECT_EQ(refused.out, "Removing certificate : Corp Root D \n" +
                             ErrorLines("The deletion of the certificate failed.", "0x5"));
  EXPECT_NE(refused.err.find("that name is taken"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadFile(keyed), key_and_certificate);
}

// The tool runs as root: an OpenSSL configuration the caller names must not
// decide which algorithms answer, nor load modules into it.
TEST_F(ToolTest, TheCallersOpenSslConfigurationDoesNotReachTheTool) {
  SKIP_ON_WINE("libcrypto is our store layer's");
  const std::string config = sandbox_.Put("openssl.cnf",
      std::string("openssl_conf = init\n[init]\nalg_section = algorithms\n"
                  "[algorithms]\ndefault_properties = fips=yes\n"));
  sandbox_.Put("ca.pem", ToPem(MakeCertificate("Configured CA")));
  const RunResult r = [&] {
    const ScopedEnvironmentVariable callers_config("OPENSSL_CONF", config);
    return Run({"/install", "ca.pem"});
  }();
  EXPECT_EQ(r.out, Imported("ca.pem"));
  EXPECT_EQ(r.status, 0);
}

TEST_F(ToolTest, NoMatchRunsNoRefresh) {
  SKIP_ON_WINE("the refresh is our store layer's");
  Install(MakeCertificate("Stays"), "stays.pem");
  struct stat before;
  ASSERT_EQ(stat(sandbox_.bundle().c_str(), &before), 0);
  const RunResult r = Run({"/uninstall", "Goes"});
  EXPECT_EQ(r.out, Removed("Goes"));
  EXPECT_EQ(r.status, 0);
  struct stat after;
  ASSERT_EQ(stat(sandbox_.bundle().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST_F(ToolTest, FailedDeletionEndsTheRunAndLeavesTheStoreAsItWas) {
  SKIP_ON_WINE("permissions and the refresh are our store layer's");
  Install(MakeCertificate("Stubborn CA"), "ca.pem");
  const auto before = sandbox_.Snapshot();
  const std::string failed = "Removing certificate : Stubborn CA \n" +
                             ErrorLines("The deletion of the certificate failed.", "");
  if (IsRoot()) {
    // A caller who cannot change the anchors is refused the store, as Windows
    // refuses a non-administrator; an unreadable directory is not an empty one.
    for (const char* mode : {"0755", "0700"}) {
      SCOPED_TRACE(mode);
      ASSERT_EQ(system(("chmod " + std::string(mode) + " '" + sandbox_.anchors_dir() + "'").c_str()), 0);
      const RunResult r = Run({"/uninstall", "Stubborn CA"}, /*as_nobody=*/true);
      EXPECT_EQ(r.out, ErrorLines("Failed to open store.", "0x5") + Removed("Stubborn CA"));
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(sandbox_.Snapshot(), before);
    }
    ASSERT_EQ(system(("chmod 0755 '" + sandbox_.anchors_dir() + "'").c_str()), 0);
  } else {
    tkv::test::LeaveOutRow("an unprivileged user's run needs root");
  }
  sandbox_.BreakRefresh();
  const RunResult r = Run({"/uninstall", "Stubborn CA"});
  EXPECT_EQ(r.out, failed.substr(0, failed.size() - 1) + "0x65b\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(sandbox_.Snapshot(), before);
}

}  // namespace
}  // namespace tkv::testing

namespace tkv::testing {
namespace {

// What the report says changed, run after run, and what a dry run says it
// would change while the whole root stays as it was.
// Starting states whose outcome is decided before any program runs: the
// dry run foresees the real run in each.
TEST_F(ToolTest, TheDryRunForeseesTheRealRun) {
  SKIP_ON_WINE("the dry run is the Linux build's");
  const Bytes ca = MakeCertificate("Foreseen CA");
  auto install = [](Sandbox& s) { RunTool({"/install", "ca.pem"}, {s.root(), false, s.root() + "/files"}); };
  auto shell = [](const std::string& command) { ASSERT_EQ(system(command.c_str()), 0) << command; };
  const std::string own = AnchorName(ca);
  // An admin's Chromium file, after the tool's unless named otherwise, setting `key` to `list`.
  auto admin_chromium = [&](Sandbox& s, const char* key, const std::string& list,
                            const std::string& name = "zz-admin.json") {
    shell("mkdir -p '" + s.root() + "/etc/chromium/policies/managed'");
    WriteFile(s.root() + "/etc/chromium/policies/managed/" + name, "{\"" + std::string(key) + "\": " + list + "}");
  };
  std::string base64 = ToBase64(ca);
  base64.erase(std::remove(base64.begin(), base64.end(), '\n'), base64.end());
  // The CA, then text past the tool's read limit, which a refresh copies whole.
  auto padded = [&](size_t mib) { return ToPem(ca) + std::string(mib << 20, '#') + "\n"; };
  // In the distribution's set, its conf line behind `mark`.
  auto in_set = [&](Sandbox& s, const std::string& mark, const std::string& contents) {
    WriteFile(s.root() + "/usr/share/ca-certificates/foreseen.crt", contents);
    WriteFile(s.root() + "/etc/ca-certificates.conf", mark + "foreseen.crt\n");
  };
  // A run cut off once it recorded its change, before or after its writes.
  auto cut_off = [&](Sandbox& s, const std::string& kind) {
    shell("mkdir -p -m 700 '" + s.anchors_dir() + "/.tkvcert-staging'");
    WriteFile(s.anchors_dir() + "/.tkvcert-staging/change-in-progress", kind + "\n" + ToPem(ca));
  };
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Sandbox&)> before;
    bool chromium_still_trusts = false;  // through the admin's file
    const char* last_error = nullptr;    // the run fails with it
    const char* said = "";               // in what stderr says
    bool anchor_after = true;            // an anchor of the tool's may be there after
  } cases[] = {
      {"installs", {"/install", "ca.pem"}, nullptr},
      {"installed already", {"/install", "ca.pem"}, install},
      {"installed, then Chromium appears", {"/install", "ca.pem"},
       [&](Sandbox& s) { install(s), shell("mkdir -p '" + s.root() + "/etc/chromium'"); }},
      {"installed with another mode", {"/install", "ca.pem"},
       [&](Sandbox& s) { install(s), shell("chmod 600 '" + s.anchors_dir() + "/" + own + "'"); }},
      {"held by another local anchor", {"/install", "ca.pem"},
       [&](Sandbox& s) { install(s), shell("cd '" + s.anchors_dir() + "' && mv " + own + " other.crt"); }},
      {"the bundle lags the anchors", {"/install", "ca.pem"},
       [&](Sandbox& s) { install(s), WriteFile(s.bundle(), std::string()); }},
      {"removes", {"/uninstall", "Foreseen CA"}, install},
      {"a second copy through a linked directory", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) {
         install(s);
         shell("mkdir '" + s.root() + "/linked' && cp '" + s.anchors_dir() + "/" + own + "' '" + s.root() +
               "/linked/copy.crt' && ln -s /linked '" + s.anchors_dir() + "/sub'");
       }},
      {"no bundle directory", {"/install", "ca.pem"}, [&](Sandbox& s) { shell("rm -r '" + s.root() + "/etc/ssl/certs'"); }},
      {"nothing of that name", {"/uninstall", "Nobody"}, install},
      {"the distribution's distrusted, an admin's Chromium file outweighing the distrust",
       {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) {
         WriteFile(s.root() + "/usr/share/ca-certificates/foreseen.crt", ToPem(ca));
         WriteFile(s.root() + "/etc/ca-certificates.conf", std::string("foreseen.crt\n"));
         admin_chromium(s, kChromiumDistrustKey, "[]");
       },
       true},
      {"the distribution's distrusted, an admin's Chromium file distrusting it too", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) {
         WriteFile(s.root() + "/usr/share/ca-certificates/foreseen.crt", ToPem(ca));
         WriteFile(s.root() + "/etc/ca-certificates.conf", std::string("foreseen.crt\n"));
         admin_chromium(s, kChromiumDistrustKey, "[\"" + base64 + "\"]");
       }},
      {"the distribution's distrusted, an admin's Chromium file before the tool's", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) {
         WriteFile(s.root() + "/usr/share/ca-certificates/foreseen.crt", ToPem(ca));
         WriteFile(s.root() + "/etc/ca-certificates.conf", std::string("foreseen.crt\n"));
         admin_chromium(s, kChromiumDistrustKey, "[]", "00-admin.json");
       }},
      // Clients read it in the bundle, from a file the tool cannot read.
      {"a padded anchor", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { s.PlaceAnchor("padded.crt", padded(5)), WriteFile(s.bundle(), ToPem(ca)); }, false,
       "0xdf", "copied there from {anchors}/padded.crt, which is too large for the tool to read"},
      {"a padded file of the distribution's set", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { in_set(s, "", padded(17)), WriteFile(s.bundle(), ToPem(ca)); }, false, "0xdf",
       "/usr/share/ca-certificates/foreseen.crt, which is too large"},
      {"the bundle lags a removal", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { WriteFile(s.bundle(), ToPem(ca)); }, false, nullptr, "which lags the anchors"},
      {"the distribution's, distrusted already", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { in_set(s, "!", ToPem(ca)); }, false, nullptr,
       "\"Foreseen CA\" is in the distribution's set ({root}/usr/share/ca-certificates/foreseen.crt) and is "
       "distrusted already"},
      {"the distribution's distrusted, installed", {"/install", "ca.pem"},
       [&](Sandbox& s) { in_set(s, "!", ToPem(ca)); }, false, nullptr,
       "the distribution's copy is trusted again", false},
      {"the distribution's, installed", {"/install", "ca.pem"},
       [&](Sandbox& s) { in_set(s, "", ToPem(ca)), WriteFile(s.bundle(), ToPem(ca)); }, false, nullptr,
       "the distribution's set already trusts \"Foreseen CA\"", false},
      {"a cut-off install, before its write, then a removal", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { cut_off(s, "add"); }},
      {"a cut-off install, after its write, then a removal", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { cut_off(s, "add"), s.PlaceAnchor(own, ToPem(ca)); }},
      {"a cut-off install, then an install", {"/install", "ca.pem"}, [&](Sandbox& s) { cut_off(s, "add"); }},
      {"a cut-off removal, before its write, then an install", {"/install", "ca.pem"},
       [&](Sandbox& s) { install(s), cut_off(s, "remove"); }},
      {"a cut-off removal, after its write, then a removal", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) { install(s), shell("rm '" + s.anchors_dir() + "/" + own + "'"), cut_off(s, "remove"); }},
      {"removes, an admin's Chromium file after the tool's trusting it", {"/uninstall", "Foreseen CA"},
       [&](Sandbox& s) {
         install(s);
         s.Put("other.pem", ToPem(MakeCertificate("Foreseen Other CA", 7)));
         RunTool({"/install", "other.pem"}, {s.root(), false, s.root() + "/files"});
         admin_chromium(s, kChromiumPolicyKey, "[{\"certificate\": \"" + base64 + "\"}]");
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sandbox;
    sandbox.Put("ca.pem", ToPem(ca));
    if (c.before) c.before(sandbox);
    nlohmann::json report;
    const RunResult r = ForeseenRun(c.args, {sandbox.root(), false, sandbox.root() + "/files"}, &report);
    if (c.last_error != nullptr || *c.said != '\0') {
      EXPECT_EQ(r.status, c.last_error == nullptr ? 0 : 1) << r.out << r.err;
    }
    if (c.last_error != nullptr) {
      EXPECT_EQ(report["error"].value("last_error", ""), c.last_error);
      EXPECT_EQ(r.out, "Removing certificate : Foreseen CA \n" +
                           ErrorLines("The deletion of the certificate failed.", c.last_error));
    }
    EXPECT_NE(r.err.find(WithAnchors(c.said, sandbox)), std::string::npos) << r.err;
    if (!c.anchor_after) {
      EXPECT_EQ(sandbox.AnchorNames(), std::vector<std::string>{});
    }
    const nlohmann::json still = nlohmann::json::array(
        {{{"browser", "Chromium"}, {"file", sandbox.root() + "/etc/chromium/policies/managed/zz-admin.json"}}});
    EXPECT_EQ(report.value("browsers_still_trusting", nlohmann::json()),
              c.chromium_still_trusts ? still : nlohmann::json::array());
    EXPECT_EQ(r.err.find("Chromium still trusts \"Foreseen CA\"") != std::string::npos, c.chromium_still_trusts)
        << r.err;
  }
}

// The list says what clients read: an anchor the bundle lacks is not shown
// as trusted, a change a run was cut off in is pending, and what the bundle
// holds from a file the tool cannot read is listed too.
TEST_F(ToolTest, TheListSaysWhatClientsRead) {
  SKIP_ON_WINE("the list is the Linux build's");
  const Bytes ca = MakeCertificate("Listed CA");
  const std::string pem = ToPem(ca);
  const std::string own = AnchorName(ca);
  auto record = [&](Sandbox& s, const std::string& kind) {
    ASSERT_EQ(mkdir((s.anchors_dir() + "/.tkvcert-staging").c_str(), 0700), 0);
    WriteFile(s.anchors_dir() + "/.tkvcert-staging/change-in-progress", kind + "\n" + pem);
  };
  const struct {
    const char* name;
    std::function<void(Sandbox&)> before;
    const char* source;
  } cases[] = {
      {"read by clients", [&](Sandbox& s) { s.PlaceAnchor(own, pem), WriteFile(s.bundle(), pem); }, "local"},
      {"an anchor the bundle lacks", [&](Sandbox& s) { s.PlaceAnchor(own, pem); }, "local, not in bundle"},
      {"a cut-off install", [&](Sandbox& s) { s.PlaceAnchor(own, pem), record(s, "add"); }, "local, pending install"},
      {"a cut-off removal", [&](Sandbox& s) { WriteFile(s.bundle(), pem), record(s, "remove"); },
       "local, pending removal"},
      {"a padded anchor", [&](Sandbox& s) {
         s.PlaceAnchor("padded.crt", pem + std::string(5 << 20, '#')), WriteFile(s.bundle(), pem);
       }, "unreadable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sandbox;
    c.before(sandbox);
    const ScopedEnvironmentVariable list("TKVCERT_LIST", "1");
    const RunResult r = RunTool({}, {sandbox.root(), false, ""});
    EXPECT_EQ(r.status, 0);
    char line[128];
    snprintf(line, sizeof line, "%-40s  %-10s  %-24s  Listed CA\n", own.substr(0, 40).c_str(),
             NotAfterText(ca).substr(0, 10).c_str(), c.source);
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
  }
}

TEST_F(ToolTest, TheReportSaysWhatChangedAndADryRunChangesNothing) {
  SKIP_ON_WINE("the report is the Linux build's");
  const Bytes der = MakeCertificate("Reported CA");
  sandbox_.Put("ca.pem", ToPem(der));
  const std::string sha1 = AnchorName(der).substr(0, 40);
  // A reader that went away costs the report, never the change.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);
  const RunResult unread = [&] {
    const ScopedEnvironmentVariable report("TKVCERT_REPORT", "9");
    return RunTool({"/install", "ca.pem"}, {sandbox_.root(), false, sandbox_.root() + "/files", ends[1]});
  }();
  close(ends[1]);
  EXPECT_EQ(unread.out, Imported("ca.pem"));
  EXPECT_EQ(unread.status, 0);
  EXPECT_EQ(sandbox_.AnchorNames(), std::vector<std::string>{AnchorName(der)});
  ASSERT_EQ(Run({"/uninstall", "Reported CA"}).status, 0);

  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void()> before;
    bool dry;
    const char* outcome;
    bool anchors;
    bool bundle;
    const char* last_error;
  } cases[] = {
      {"would install", {"/install", "ca.pem"}, nullptr, true, "ok", true, true, nullptr},
      {"installs", {"/install", "ca.pem"}, nullptr, false, "ok", true, true, nullptr},
      {"nothing to do", {"/install", "ca.pem"}, nullptr, false, "ok", false, false, nullptr},
      {"would repair the bundle", {"/install", "ca.pem"},
       [&] { WriteFile(sandbox_.bundle(), std::string()); }, true, "ok", false, true, nullptr},
      {"repairs the bundle", {"/install", "ca.pem"}, nullptr, false, "ok", false, true, nullptr},
      {"would remove", {"/uninstall", "Reported CA"}, nullptr, true, "ok", true, true, nullptr},
      {"a file that is no certificate", {"/install", "missing.pem"}, nullptr, false, "error", false, false, "0x2"},
      {"a refresh that fails", {"/uninstall", "Reported CA"}, [&] { sandbox_.BreakRefresh(); }, false, "error",
       false, false, "0x65b"},
      {"the usage", {"/install"}, nullptr, false, "usage", false, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) c.before();
    const std::string state = RootState(sandbox_.root());
    std::vector<std::pair<const char*, std::string>> settings;
    if (c.dry) settings.emplace_back("TKVCERT_DRY_RUN", "1");
    const ReportedRun run = Report(c.args, settings);
    ASSERT_TRUE(run.report.is_object()) << run.result.err;
    const nlohmann::json& report = run.report;
    EXPECT_EQ(report["outcome"], c.outcome);
    EXPECT_EQ(report["status"], run.result.status);
    EXPECT_EQ(report["changed"]["anchors"], c.anchors);
    EXPECT_EQ(report["changed"]["bundle"], c.bundle);
    if (c.last_error != nullptr) {
      EXPECT_EQ(report["error"]["last_error"], c.last_error);
    } else {
      EXPECT_FALSE(report.contains("error")) << report.dump();
    }
    if (std::string(c.outcome) == "ok") {
      EXPECT_EQ(report["certificate"]["sha1"], sha1);
      EXPECT_EQ(report["certificate"]["name"], "Reported CA");
      EXPECT_EQ(report["store"]["anchors"], sandbox_.anchors_dir());
    }
    if (c.dry) {
      EXPECT_EQ(run.result.out, "");
      EXPECT_EQ(run.result.status, 0);
      EXPECT_EQ(RootState(sandbox_.root()), state);
      EXPECT_TRUE(report["certificates"].is_array());
    }
  }
  // Text that is not UTF-8 (here a file name in Latin-1) is replaced in the
  // report, with its bytes beside it.
  const std::string latin1 = "caf\xe9.pem";
  sandbox_.Put(latin1, ToPem(der));
  const ReportedRun named = Report({"/install", latin1}, {{"TKVCERT_DRY_RUN", "1"}});
  ASSERT_TRUE(named.report.is_object());
  EXPECT_EQ(named.report["parameter"], "caf\xef\xbf\xbd.pem");
  EXPECT_EQ(named.report["parameter_hex"], "636166E92E70656D");

  // A dry run needs its report, and a report its descriptor: refused first.
  for (const auto& [name, value] : {std::pair<const char*, const char*>{"TKVCERT_DRY_RUN", "1"},
                                    {"TKVCERT_REPORT", "8"}}) {
    SCOPED_TRACE(name);
    const ScopedEnvironmentVariable set(name, value);
    const std::string state = RootState(sandbox_.root());
    const RunResult r = Run({"/install", "ca.pem"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(RootState(sandbox_.root()), state);
  }
}

}  // namespace
}  // namespace tkv::testing
