// Anchor files: their names, the PEM written into them, and reading them back.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_trouble.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

std::string UpperHexSha1(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr), 1);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", digest[i]);
    hex += pair;
  }
  return hex;
}

TEST(AnchorFileName, IsUpperCaseSha1OfTheDer) {
  for (long serial : {1, 2, 3}) {
    const Bytes der = MakeCertificate("Anchor " + std::to_string(serial), serial);
    const std::string name = AnchorFileName(der);
    EXPECT_EQ(name, UpperHexSha1(der) + ".crt");
    ASSERT_EQ(name.size(), 44u) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF"), 40u) << name;
  }
  // A known digest, so the check above is not only the same code twice.
  EXPECT_EQ(AnchorFileName(FromText("abc")), "A9993E364706816ABA3E25717850C26C9CD0D89D.crt");
}

TEST(PemCertificate, IsOneCertificateBlockThatReadsBack) {
  const Bytes der = MakeCertificate("Round Trip");
  const std::string pem = PemCertificate(der);
  EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << pem;
  const std::string end = "-----END CERTIFICATE-----\n";
  ASSERT_GT(pem.size(), end.size());
  EXPECT_EQ(pem.substr(pem.size() - end.size()), end) << pem;

  const std::vector<AnchorBlock> blocks = ParseAnchorFile(FromText(pem));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(blocks[0].decoded);
  EXPECT_EQ(blocks[0].der, der);
  EXPECT_EQ(blocks[0].begin, 0u);
  EXPECT_EQ(blocks[0].end, pem.size());
}

struct Expected {
  bool decoded;
  Bytes der;         // checked only when decoded
  std::string text;  // the block's exact bytes in the file
};

struct AnchorFile {
  std::string text;
  std::vector<Expected> blocks;
};

// Signatures are randomised, so each certificate is made once and reused.
const Bytes& Cert(int n) {
  static const std::vector<Bytes> certs = [] {
    std::vector<Bytes> made;
    for (long i = 0; i <= 3; ++i) {
      made.push_back(MakeCertificate("Anchor " + std::to_string(i), i));
    }
    return made;
  }();
  return certs.at(static_cast<size_t>(n));
}

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The form a "TRUSTED CERTIFICATE" block carries: the certificate followed
// by OpenSSL's trust settings for it.
Bytes WithTrustSettings(const Bytes& der) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
  if (!cert || X509_add1_trust_object(cert.get(), OBJ_nid2obj(NID_server_auth)) != 1 ||
      X509_alias_set1(cert.get(), reinterpret_cast<const unsigned char*>("alias"), -1) != 1) {
    return {};
  }
  unsigned char* out = nullptr;
  const int size = i2d_X509_AUX(cert.get(), &out);
  if (size <= 0) return {};
  Bytes result(out, out + size);
  OPENSSL_free(out);
  return result;
}

AnchorFile ThreeCertificates() {
  const std::string a = ToPem(Cert(1)), b = ToPem(Cert(2)), c = ToPem(Cert(3));
  return {a + b + c, {{true, Cert(1), a}, {true, Cert(2), b}, {true, Cert(3), c}}};
}

AnchorFile CrlfLineEnds() {
  const std::string a = Crlf(ToPem(Cert(1))), b = Crlf(ToPem(Cert(2)));
  return {a + b, {{true, Cert(1), a}, {true, Cert(2), b}}};
}

AnchorFile TextAroundBlocks() {
  const std::string a = ToPem(Cert(1)), b = ToPem(Cert(2));
  return {"# Anchor 1\nSubject: CN=Anchor 1\n" + a + "\nbetween -----\n\n" + b + "trailing",
          {{true, Cert(1), a}, {true, Cert(2), b}}};
}

AnchorFile KeyAndCrlPassedOver() {
  const std::string a = ToPem(Cert(1)), b = ToPem(Cert(2));
  return {PrivateKeyPem() + a + ToPem(MakeCrl(), "X509 CRL") + b,
          {{true, Cert(1), a}, {true, Cert(2), b}}};
}

AnchorFile OtherCertificateLabels() {
  const std::string a = ToPem(WithTrustSettings(Cert(1)), "TRUSTED CERTIFICATE");
  const std::string b = ToPem(Cert(2), "X509 CERTIFICATE");
  return {a + b, {{true, Cert(1), a}, {true, Cert(2), b}}};
}

AnchorFile BrokenBase64() {
  std::string a = ToPem(Cert(1));
  a[a.find('\n') + 10] = '!';
  const std::string b = ToPem(Cert(2));
  return {a + b, {{false, {}, a}, {true, Cert(2), b}}};
}

AnchorFile Base64OfNoEncoding() {
  const std::string a = ToPem(FromText("plain words, not a certificate"));
  const std::string b = ToPem(Cert(2));
  return {a + b, {{false, {}, a}, {true, Cert(2), b}}};
}

AnchorFile BeginWithoutEnd() {
  const std::string a = ToPem(Cert(1));
  const std::string b = ToPem(Cert(2));
  const std::string cut = b.substr(0, b.find("-----END"));
  return {a + cut, {{true, Cert(1), a}, {false, {}, cut}}};
}

AnchorFile DerOnly() { return {Text(Cert(1)), {{true, Cert(1), Text(Cert(1))}}}; }
AnchorFile TextOnly() { return {"no certificate in here\n-----\n", {}}; }
AnchorFile Empty() { return {"", {}}; }

struct FileCase {
  const char* label;
  AnchorFile (*make)();
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.label; }

const FileCase kFileCases[] = {
    {"ThreeCertificates", ThreeCertificates},
    {"CrlfLineEnds", CrlfLineEnds},
    {"TextAroundBlocks", TextAroundBlocks},
    {"KeyAndCrlPassedOver", KeyAndCrlPassedOver},
    {"OtherCertificateLabels", OtherCertificateLabels},
    {"BrokenBase64", BrokenBase64},
    {"Base64OfNoEncoding", Base64OfNoEncoding},
    {"BeginWithoutEnd", BeginWithoutEnd},
    {"DerOnly", DerOnly},
    {"TextOnly", TextOnly},
    {"Empty", Empty},
};

void ExpectBlocks(const std::string& text, const std::vector<AnchorBlock>& blocks,
                  const std::vector<Expected>& expected) {
  ASSERT_EQ(blocks.size(), expected.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("block " + std::to_string(i));
    ASSERT_LE(blocks[i].begin, blocks[i].end);
    ASSERT_LE(blocks[i].end, text.size());
    EXPECT_EQ(text.substr(blocks[i].begin, blocks[i].end - blocks[i].begin), expected[i].text);
    EXPECT_EQ(blocks[i].decoded, expected[i].decoded);
    if (expected[i].decoded) {
      EXPECT_EQ(blocks[i].der, expected[i].der);
    }
  }
}

class ParseAnchorFileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(ParseAnchorFileTest, FindsTheCertificateBlocks) {
  const AnchorFile file = GetParam().make();
  ExpectBlocks(file.text, ParseAnchorFile(FromText(file.text)), file.blocks);
}

// Removing a certificate rewrites its file without that block's span; the
// rest must read back as before.
TEST_P(ParseAnchorFileTest, CuttingABlockLeavesTheOthers) {
  const AnchorFile file = GetParam().make();
  const std::vector<AnchorBlock> blocks = ParseAnchorFile(FromText(file.text));
  ASSERT_EQ(blocks.size(), file.blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("without block " + std::to_string(i));
    std::string rest = file.text;
    rest.erase(blocks[i].begin, blocks[i].end - blocks[i].begin);
    std::vector<Expected> others = file.blocks;
    others.erase(others.begin() + static_cast<long>(i));
    ExpectBlocks(rest, ParseAnchorFile(FromText(rest)), others);
  }
}

// The same blocks, parsed into buffers left over from another file.
TEST_P(ParseAnchorFileTest, ReusedBuffersGiveTheSameBlocks) {
  const AnchorFile file = GetParam().make();
  std::vector<AnchorBlock> blocks = ParseAnchorFile(FromText(ThreeCertificates().text));
  blocks[1].decoded = false;
  const Bytes text = FromText(file.text);
  ParseAnchorFile(text.data(), text.size(), &blocks);
  ExpectBlocks(file.text, blocks, file.blocks);
}

// Each block, and the PEM reader alone on the same bytes: the quick way
// decodes a block laid out as PEM writers lay it out line by line, and must
// give exactly what the reader gives.
void ExpectSameAsPemReader(const std::string& text) {
  if (text.find("-----BEGIN ") == std::string::npos) return;  // a DER file: no PEM to read
  const Bytes bytes = FromText(text);
  for (const AnchorBlock& block : ParseAnchorFile(bytes)) {
    EXPECT_EQ(block.der, DecodeCertificateBlockByPemReader(bytes.data() + block.begin,
                                                           block.end - block.begin));
  }
  EXPECT_EQ(DecodeCertificateBlock(bytes.data(), bytes.size()),
            DecodeCertificateBlockByPemReader(bytes.data(), bytes.size()));
}

TEST_P(ParseAnchorFileTest, QuickDecodeAgreesWithThePemReader) {
  ExpectSameAsPemReader(GetParam().make().text);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Layouts on both sides of the line between the two ways, for certificates
// whose lengths leave no padding, one or two padding characters.
TEST(ParseAnchorFile, EveryLayoutDecodesAsThePemReaderDecodesIt) {
  std::vector<Bytes> certs;
  for (const char* name : {"Pad", "Pad a", "Pad ab", "Pad abc"}) certs.push_back(MakeCertificate(name));
  for (const Bytes& der : certs) {
    const std::string pem = ToPem(der);
    const std::string line = pem.substr(28, 64);
    const std::vector<std::string> layouts = {
        pem, Crlf(pem), pem.substr(0, pem.size() - 1), Rewrapped(der, 76), Rewrapped(der, 60),
        Rewrapped(der, 4), Rewrapped(der, 65),
        Replaced(pem, line + "\n", line + "  \n"),
        Replaced(pem, line + "\n", line + "\t\x01\n"),
        Replaced(pem, line, line.substr(0, 30) + " " + line.substr(30, 33)),
        Replaced(pem, line + "\n", line + "\n\n"),
        Replaced(pem, "-----\n", "-----\nProc-Type: 4,CLEAR\n\n"),
        Replaced(pem, line, line.substr(0, 32) + std::string(1, '\0') + line.substr(33)),
        Replaced(pem, line, line.substr(0, 60) + "===="),
        Replaced(pem, line, line.substr(0, 40) + "-" + line.substr(41)),
        Replaced(pem, "-----END CERTIFICATE-----", "-----END CERTIFICATE----- trailing"),
        Replaced(pem, "\n-----END", "-----END"),
        Replaced(pem, "-----BEGIN CERTIFICATE-----", "-----BEGIN CERTIFICATE----- x"),
        Replaced(pem, "-----END CERTIFICATE-----", "-----END X509 CRL-----\n-----END CERTIFICATE-----"),
    };
    for (size_t i = 0; i < layouts.size(); ++i) {
      SCOPED_TRACE("layout " + std::to_string(i));
      ExpectSameAsPemReader(layouts[i]);
    }
    // The usual layouts decode at all.
    for (const std::string& layout : {pem, Crlf(pem), pem.substr(0, pem.size() - 1)}) {
      EXPECT_EQ(DecodeCertificateBlock(FromText(layout).data(), layout.size()), der);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ParseAnchorFileTest, ::testing::ValuesIn(kFileCases),
                         [](const ::testing::TestParamInfo<FileCase>& row) {
                           return std::string(row.param.label);
                         });

}  // namespace
}  // namespace tkv::testing

namespace tkv::testing {
namespace {

// What each kind of anchor file does once the refresh copies it into the
// bundle, as libcrypto's reader reads that bundle.
TEST(AnchorTroubleTest, EachFileIsReadAsClientsReadTheBundle) {
  const Bytes cert = MakeCertificate("Trouble CA");
  const std::string pem = ToPem(cert);
  const std::string key = PrivateKeyPem();
  const struct {
    const char* name;
    std::string contents;
    AnchorTrouble trouble;
  } cases[] = {
      {"a certificate", pem, AnchorTrouble::kNone},
      {"DER, which the anchors' reader reads", Text(cert), AnchorTrouble::kNone},
      {"two certificates and a note", "note\n" + pem + pem, AnchorTrouble::kNone},
      {"no END line", pem.substr(0, 200), AnchorTrouble::kCutShort},
      {"END line cut", pem.substr(0, pem.size() - 8), AnchorTrouble::kCutShort},
      {"Base64 cut between BEGIN and END", pem.substr(0, 100) + "\n-----END CERTIFICATE-----\n",
       AnchorTrouble::kCutShort},
      {"a lone key", key, AnchorTrouble::kKeyAlone},
      {"a key beside the certificate", key + pem, AnchorTrouble::kKeyBeside},
      {"text", "only words\n", AnchorTrouble::kNoCertificate},
      {"nothing", "", AnchorTrouble::kNoCertificate},
      {"a CRL", ToPem(MakeCrl(), "X509 CRL"), AnchorTrouble::kNoCertificate},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TroubleOf(FromText(c.contents)), c.trouble);
  }
}

}  // namespace
}  // namespace tkv::testing
