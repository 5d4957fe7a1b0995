// Writes the seed corpora of the fuzz targets, made fresh from the test
// certificates: every form a certificate file takes, the other objects the
// decoder must recognise and refuse, and the name forms the name reader
// picks between. Usage: tkv_fuzz_seeds <output directory>
#include <openssl/crypto.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

struct Seed {
  std::string name;
  std::string contents;
};

NameEntry Utf8(const char* field, const std::string& value) {
  return {field, value, V_ASN1_UTF8STRING};
}
NameEntry Printable(const char* field, const std::string& value) {
  return {field, value, V_ASN1_PRINTABLESTRING};
}

std::string AsnHex(const Bytes& der) {
  std::string hex(der.size() * 2 + 1, '\0');
  size_t length = 0;
  if (OPENSSL_buf2hexstr_ex(&hex[0], hex.size(), &length, der.data(), der.size(), '\0') != 1) {
    std::abort();
  }
  hex.resize(length);
  return "{ASN}\n" + hex + "\n";
}

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::vector<Bytes> NameForms() {
  const std::string ipv4("\xC0\x00\x02\x01", 4);
  std::vector<CertSpec> specs = {
      {{Utf8("CN", "Fuzz Root CA")}, {}},
      {{Printable("C", "DE"), Utf8("O", "Org"), Utf8("OU", "Unit"), Utf8("CN", "Name")}, {}},
      {{Utf8("O", "Org"), Utf8("OU", "Unit")}, {}},
      {{Printable("C", "US"), Utf8("O", "Org Only")}, {}},
      {{Printable("C", "US"), {"emailAddress", "ca@example.test", V_ASN1_IA5STRING}}, {}},
      {{Printable("C", "US")}, {{GEN_DNS, "ca.example.test"}, {GEN_EMAIL, "ca@example.test"}}},
      {{Printable("C", "US")}, {{GEN_URI, "https://ca.example.test/"}}},
      {{Printable("C", "US")}, {{GEN_IPADD, ipv4}, {GEN_DNS, "x.test"}}},
      {{Printable("C", "US")}, {}},
      {{}, {}},
      {{Utf8("CN", "Z\xC3\xBCrich \xF0\x9F\x94\x92")}, {}},
      {{{"CN", "B\xC3\xA9r \xE2\x82\xAC", V_ASN1_BMPSTRING}}, {}},
      {{{"CN", "Caf\xC3\xA9", V_ASN1_T61STRING}}, {}},
      {{{"CN", "U \xC3\xA9", V_ASN1_UNIVERSALSTRING}}, {}},
      {{Utf8("CN", std::string(300, 'L'))}, {}},
  };
  std::vector<Bytes> forms;
  for (const CertSpec& spec : specs) forms.push_back(MakeCertificate(spec));
  forms.push_back(Resigned(MakeCertificate(CertSpec{{Utf8("O", "Org"), Utf8("CN", "Old")}, {}}), MakeVersion1));
  // BER: a certificate, its to-be-signed part and its subject with
  // indefinite lengths; then the same with the issuer instead, in the
  // certificate named by its alternative names.
  forms.push_back(Indefinite(MakeCertificate("BER CA"), {0, 5}));
  forms.push_back(Indefinite(forms[5], {0, 3}));
  return forms;
}

std::vector<Seed> DecoderSeeds() {
  const Bytes cert = MakeCertificate("Fuzz Decoder CA");
  const Bytes second = MakeCertificate("Fuzz Second CA", 2);
  const Bytes crl = MakeCrl();
  const Bytes p7b = MakePkcs7(cert);
  const Bytes csr = MakeCsr("Fuzz Request");
  const std::string pem = ToPem(cert);
  return {
      {"cert.der", Text(cert)},
      {"cert-ber.der", Text(Indefinite(cert, {0, 3}))},
      {"cert.pem", pem},
      {"cert-crlf-bom.pem", "\xEF\xBB\xBF" + Crlf(pem)},
      {"cert-in-text.pem", "Issued for testing.\n\n" + pem + "\nEnd.\n"},
      {"trusted.pem", ToPem(cert, "TRUSTED CERTIFICATE")},
      {"bundle.pem", pem + ToPem(second)},
      {"key-then-cert.pem", PrivateKeyPem() + pem},
      {"cert.b64", ToBase64(cert)},
      {"cert.hex", AsnHex(cert)},
      {"crl.der", Text(crl)},
      {"crl.pem", ToPem(crl, "X509 CRL")},
      {"bundle.p7b", Text(p7b)},
      {"bundle-p7b.pem", ToPem(p7b, "PKCS7")},
      {"key.pfx", Text(MakePfx(cert))},
      {"request.der", Text(csr)},
      {"request.pem", ToPem(csr, "CERTIFICATE REQUEST")},
  };
}

std::vector<Seed> NameSeeds() {
  std::vector<Seed> seeds;
  static const char* const kNames[] = {"cn", "cn-o-ou", "ou", "o", "email", "san-email",
                                       "san-uri", "san-ip", "country", "empty", "utf8",
                                       "bmp", "t61", "universal", "long", "version1",
                                       "ber-subject", "ber-issuer-san"};
  const std::vector<Bytes> forms = NameForms();
  for (size_t i = 0; i < forms.size(); ++i) seeds.push_back({kNames[i], Text(forms[i])});
  return seeds;
}

std::vector<Seed> EnumerationSeeds() {
  const Bytes a = MakeCertificate("Fuzz Anchor A");
  const Bytes b = MakeCertificate(CertSpec{{Printable("C", "US")}, {{GEN_EMAIL, "b@example.test"}}});
  const Bytes c = MakeCertificate(CertSpec{{{"CN", "Anchor C", V_ASN1_BMPSTRING}}, {}});
  const std::string broken = "-----BEGIN CERTIFICATE-----\nnot base64 at all!\n-----END CERTIFICATE-----\n";
  using fuzz::JoinFiles;
  return {
      {"one-pem", ToPem(a)},
      {"bundle", ToPem(a) + ToPem(b) + ToPem(c)},
      {"der", Text(a)},
      {"ber", ToPem(Indefinite(a, {0}))},
      {"trusted", ToPem(a, "TRUSTED CERTIFICATE")},
      {"key-crl-cert", PrivateKeyPem() + ToPem(MakeCrl(), "X509 CRL") + ToPem(b)},
      {"no-end-marker", "-----BEGIN CERTIFICATE-----\n" + ToBase64(c)},
      {"files", JoinFiles({ToPem(a), Text(b), broken, Crlf(ToPem(c) + ToPem(a))})},
      {"broken-then-good", JoinFiles({broken, "", ToPem(b)})},
  };
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The quick readers' inputs: every name form as DER and as PEM, and PEM
// laid out in the ways that decide between the line-by-line decoder and
// libcrypto's PEM reader.
std::vector<Seed> QuickReaderSeeds() {
  std::vector<Seed> seeds = NameSeeds();
  for (const Seed& seed : NameSeeds()) {
    seeds.push_back({seed.name + ".pem", ToPem(FromText(seed.contents))});
  }
  const Bytes cert = MakeCertificate("Fuzz Layout CA");
  const std::string pem = ToPem(cert);
  const std::string first_line = pem.substr(28, 64);
  const std::vector<std::string> layouts = {
      Crlf(pem),
      pem.substr(0, pem.size() - 1),                                     // no final line end
      Rewrapped(cert, 76),                                               // MIME lines
      Rewrapped(cert, 60),
      Rewrapped(cert, 4),
      Replaced(pem, first_line + "\n", first_line + "  \n"),           // trailing blanks
      Replaced(pem, first_line + "\n", first_line + "\t\x01\n"),
      Replaced(pem, first_line, first_line.substr(0, 30) + " " + first_line.substr(30, 33)),
      Replaced(pem, first_line + "\n", first_line + "\n\n"),          // a blank line
      Replaced(pem, "-----\n", "-----\nProc-Type: 4,CLEAR\n\n"),     // a header
      Replaced(pem, first_line, first_line.substr(0, 32) + std::string(1, '\0') + first_line.substr(33)),
      Replaced(pem, first_line, first_line.substr(0, 60) + "===="),      // padding mid-body
      Replaced(pem, first_line, first_line.substr(0, 40) + "-" + first_line.substr(41)),
      Replaced(pem, "-----END CERTIFICATE-----", "-----END CERTIFICATE----- trailing"),
      Replaced(pem, "\n-----END", "-----END"),                           // END mid-line
      Replaced(pem, "-----BEGIN CERTIFICATE-----", "-----BEGIN CERTIFICATE----- x"),
      Replaced(pem, "-----END CERTIFICATE-----", "-----END X509 CRL-----\n-----END CERTIFICATE-----"),
      ToPem(cert, "X509 CERTIFICATE") + ToPem(MakeCertificate("Fuzz Second Layout CA", 2)),
      "text before\n" + pem + "text after\n",
  };
  for (size_t i = 0; i < layouts.size(); ++i) {
    seeds.push_back({"layout-" + std::to_string(i) + ".pem", layouts[i]});
  }
  return seeds;
}

// Browser policy files: an admin's, each form of SecurityDevices, Chromium's
// comments, and what no admin writes: a BOM, duplicate keys, numbers past
// every integer and double, invalid UTF-8, and nesting 100,000 deep, which
// overflowed the stack when a merged file was written out.
std::vector<Seed> PolicySeeds() {
  const std::string module = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so";
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  return {
      {"none", ""},
      {"admin", R"j({"policies": {"DisableAppUpdate": true, "Homepage": {"URL": "https://intra.example/", "Locked": true}, "Certificates": {"Install": ["/etc/ca.pem"]}, "ExtensionSettings": {"*": {"installation_mode": "blocked", "allowed_types": ["theme"]}}}, "comment": "ours"})j"},
      {"add-and-delete", R"j({"policies": {"SecurityDevices": {"Delete": ["Old"], "Add": {"OpenSC": "/usr/lib/opensc-pkcs11.so"}}}})j"},
      {"old-form", R"j({"policies": {"SecurityDevices": {"OpenSC": "/usr/lib/opensc-pkcs11.so"}}})j"},
      {"ours-elsewhere", R"j({"policies": {"SecurityDevices": {"Add": {"p11-kit-trust (tkvcert)": "/usr/lib/pkcs11/p11-kit-trust.so"}}}})j"},
      {"loaded", "{\"policies\": {\"SecurityDevices\": {\"Add\": {\"p11-kit\": \"" + module + "\"}}}}"},
      {"nulls", R"j({"policies": {"SecurityDevices": {"Add": null}}, "x": null})j"},
      {"not-an-object", R"j({"policies": {"SecurityDevices": ["x"]}})j"},
      {"chromium", R"j({"CACertificatesWithConstraints": [{"certificate": "MIIB", "constraints": {"permitted_cidrs": ["0.0.0.0/0"]}}], "HomepageLocation": "x"})j"},
      {"chromium-comments", "// the admin's\n{\"CACertificatesWithConstraints\": [], /* more */ \"CACertificates\": [\"MIIB\"],}\n"},
      {"chromium-nested-key", R"j({"X": {"CACertificatesWithConstraints": []}})j"},
      {"chromium-escaped-key", R"j({"\u0043ACertificatesWithConstraints": []})j"},
      {"bom", "\xEF\xBB\xBF{\"policies\": {}}\r\n"},
      {"duplicate-keys", R"j({"policies": {"A": 1}, "policies": {"SecurityDevices": {"Add": {"a": "/a.so"}, "Add": {"b": "/b.so"}}}})j"},
      {"large-numbers", R"j({"policies": {"U": 18446744073709551615, "I": -9223372036854775808, "Past": 18446744073709551616, "F": 1.7976931348623157e308, "Small": 4.9e-324, "Z": -0.0}})j"},
      {"overflowing-number", R"j({"policies": {"N": 1e400}})j"},
      {"escapes", R"j({"policies": {"S": "\u0000\ud83d\ude00\"\\\/\b\f\n\r\t"}})j"},
      {"lone-surrogate", R"j({"policies": {"S": "\ud800"}})j"},
      {"invalid-utf8", "{\"policies\": {\"A\": \"\xff\xfe\", \"B\": \"\xc0\xaf\", \"C\": \"\xed\xa0\x80\"}}"},
      {"utf16", std::string("\xFF\xFE{\0}\0", 6)},
      {"deep-arrays", std::string(100000, '[')},
      {"deep-in-policies", "{\"policies\": {\"Deep\": " + deep + "}}"},
      {"deep-chromium", "// deep\n{\"CACertificatesWithConstraints\": " + deep + "}"},
      {"limit", "{\"policies\": {\"Deep\": " + std::string(126, '[') + std::string(126, ']') + "}}"},
      {"past-limit", "{\"policies\": {\"Deep\": " + std::string(127, '[') + std::string(127, ']') + "}}"},
  };
}

void WriteAll(const std::filesystem::path& dir, const std::vector<Seed>& seeds) {
  std::filesystem::create_directories(dir);
  for (const Seed& seed : seeds) WriteFile((dir / seed.name).string(), seed.contents);
}

}  // namespace
}  // namespace tkv::testing

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
    return 2;
  }
  using namespace tkv::testing;
  const std::filesystem::path out = argv[1];
  WriteAll(out / "decode_object", DecoderSeeds());
  WriteAll(out / "display_name", NameSeeds());
  WriteAll(out / "store_enumeration", EnumerationSeeds());
  WriteAll(out / "quick_reader", QuickReaderSeeds());
  WriteAll(out / "policy_merge", PolicySeeds());
  return 0;
}
