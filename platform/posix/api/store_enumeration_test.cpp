// Which files of the anchors directory the enumeration reads, in byte order
// of their paths; nothing else is opened or handed out.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/api/system_store.h"
#include "platform/posix/anchors/handed_out_set.h"
#include "platform/posix/wincrypt_posix.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

// A root with the Debian layout and a refresh that does nothing, set as
// TKVCERT_SYSROOT for as long as it lives.
class StoreRoot {
 public:
  StoreRoot() {
    for (const char* dir : {"/usr", "/usr/local", "/usr/local/share",
                            "/usr/local/share/ca-certificates", "/usr/sbin", "/etc"}) {
      EXPECT_EQ(mkdir((root_.path() + dir).c_str(), 0755), 0) << dir;
    }
    WriteFile(root_.File("etc/ca-certificates.conf"), std::string());
    const std::string refresh = root_.File("usr/sbin/update-ca-certificates");
    WriteFile(refresh, std::string("#!/bin/sh\nexit 0\n"));
    EXPECT_EQ(chmod(refresh.c_str(), 0755), 0);
    setenv("TKVCERT_SYSROOT", root_.path().c_str(), 1);
  }
  ~StoreRoot() { unsetenv("TKVCERT_SYSROOT"); }

  std::string Anchor(const std::string& name) const {
    return root_.File("usr/local/share/ca-certificates/" + name);
  }
  std::string Outside(const std::string& name) const { return root_.File(name); }

 private:
  TempDir root_;
};

std::vector<Bytes> EnumeratedCertificates() {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  EXPECT_NE(store, nullptr);
  std::vector<Bytes> seen;
  if (store == nullptr) return seen;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
    seen.emplace_back(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
  }
  CertCloseStore(store, 0);
  return seen;
}

std::vector<std::string> EnumeratedFiles() {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  EXPECT_NE(store, nullptr);
  std::vector<std::string> files;
  if (store == nullptr) return files;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
    files.push_back((*Impl(context)->store->listing)[Impl(context)->file_index]);
  }
  CertCloseStore(store, 0);
  return files;
}

// Debian's refresh reads every *.crt below the anchors directory, hidden
// names, subdirectories and links included, each link resolved inside the
// root; the scan must see the same files, no more.
TEST(StoreEnumeration, ReadsWhatTheRefreshReads) {
  StoreRoot root;
  int serial = 0;
  auto pem = [&serial] { ++serial; return ToPem(MakeCertificate("Listed CA " + std::to_string(serial), serial)); };
  WriteFile(root.Anchor("b-regular.crt"), pem());
  WriteFile(root.Outside("elsewhere.pem"), pem());
  // Inside the root "/" is the root: the link reaches the root's file.
  ASSERT_EQ(symlink("/elsewhere.pem", root.Anchor("a-link.crt").c_str()), 0);
  // A host path is not the root's: it leads nowhere inside it.
  ASSERT_EQ(symlink(root.Outside("elsewhere.pem").c_str(), root.Anchor("a-host-link.crt").c_str()), 0);
  ASSERT_EQ(mkfifo(root.Anchor("c-fifo.crt").c_str(), 0644), 0);  // no writer: opening could hang
  ASSERT_EQ(symlink("/dev/null", root.Anchor("d-device-link.crt").c_str()), 0);
  ASSERT_EQ(symlink("/gone", root.Anchor("e-dangling.crt").c_str()), 0);
  ASSERT_EQ(mkdir(root.Anchor("f-directory.crt").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root.Anchor("sub").c_str(), 0755), 0);
  WriteFile(root.Anchor("sub/deep.crt"), pem());
  WriteFile(root.Anchor("sub/deep.pem"), pem());
  ASSERT_EQ(symlink("..", root.Anchor("sub/loop").c_str()), 0);  // entered once, never again
  WriteFile(root.Anchor(".hidden.crt"), pem());
  WriteFile(root.Anchor("h-other-extension.pem"), pem());

  EXPECT_EQ(EnumeratedFiles(),
            (std::vector<std::string>{".hidden.crt", "a-link.crt", "b-regular.crt", "sub/deep.crt"}));
}

// The store is keyed by thumbprint: a certificate kept twice is one entry.
TEST(StoreEnumeration, HandsOutEachCertificateOnceInOrder) {
  StoreRoot root;
  const Bytes first = MakeCertificate("First CA", 1);
  const Bytes second = MakeCertificate("Second CA", 2);
  WriteFile(root.Anchor("both.crt"), ToPem(first) + "text between\n" + ToPem(second));
  WriteFile(root.Anchor("one.crt"), ToPem(first));

  EXPECT_EQ(EnumeratedCertificates(), (std::vector<Bytes>{first, second}));
}

// A second copy in the same file, and copies in files after it, are the
// same entry; the certificate between them is not.
TEST(StoreEnumeration, ACopyInTheSameFileIsOneEntryToo) {
  StoreRoot root;
  const Bytes first = MakeCertificate("First CA", 1);
  const Bytes second = MakeCertificate("Second CA", 2);
  WriteFile(root.Anchor("a.crt"), ToPem(first) + ToPem(second) + ToPem(first));
  WriteFile(root.Anchor("b.crt"), ToPem(second) + ToPem(first));

  EXPECT_EQ(EnumeratedCertificates(), (std::vector<Bytes>{first, second}));
}

// Equal keys only name candidates: every file recorded under a key is
// offered, until one holds the same certificate.
TEST(HandedOutSet, OffersEveryFileRecordedUnderAKey) {
  HandedOutSet set;
  set.Clear(2);
  for (size_t file = 0; file < 100; ++file) {  // grows well past its first size
    set.Record(file % 2 == 0 ? 7u : static_cast<uint32_t>(1000 + file), file);
  }
  std::vector<size_t> offered;
  EXPECT_FALSE(set.AnyCandidate(7u, [&](size_t file) {
    offered.push_back(file);
    return false;
  }));
  std::sort(offered.begin(), offered.end());
  std::vector<size_t> even;
  for (size_t file = 0; file < 100; file += 2) even.push_back(file);
  EXPECT_EQ(offered, even);
  EXPECT_TRUE(set.AnyCandidate(7u, [](size_t file) { return file == 50; }));
  EXPECT_TRUE(set.AnyCandidate(1001u, [](size_t file) { return file == 1; }));
  EXPECT_FALSE(set.AnyCandidate(8u, [](size_t) { return true; }));
  set.Clear(0);
  EXPECT_FALSE(set.AnyCandidate(7u, [](size_t) { return true; }));
}

}  // namespace
}  // namespace tkv::testing
