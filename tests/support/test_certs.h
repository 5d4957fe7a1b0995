// Certificates and other objects made at test time with libcrypto, and small
// file helpers. Nothing from outside the project is used as test data.
#ifndef TKVCERT_TESTS_SUPPORT_TEST_CERTS_H_
#define TKVCERT_TESTS_SUPPORT_TEST_CERTS_H_

#include <openssl/types.h>

#include <string>
#include <utility>
#include <vector>

namespace tkv::testing {

using Bytes = std::vector<unsigned char>;

// One attribute of a subject. `value` is given as UTF-8 and converted to the
// string type asked for (UTF8String, PrintableString, IA5String, BMPString,
// T61String as Latin-1, UniversalString), so names can be built in every form
// a certificate may carry them.
struct NameEntry {
  std::string field;  // short name: "CN", "OU", "O", "emailAddress", "C", ...
  std::string value;  // UTF-8
  int asn1_type;      // V_ASN1_UTF8STRING, V_ASN1_BMPSTRING, ...
};

// One subject alternative name entry.
struct AltName {
  int type;           // GEN_EMAIL, GEN_DNS, GEN_URI, GEN_IPADD
  std::string value;  // text; for GEN_IPADD the 4 or 16 raw address bytes
};

struct CertSpec {
  std::vector<NameEntry> subject;
  std::vector<AltName> alt_names;  // no extension when empty
  long serial = 1;
};

// A self-signed CA certificate (one EC key shared by all, made once).
Bytes MakeCertificate(const CertSpec& spec);
// Shorthand: subject CN=<common_name> as UTF8String.
Bytes MakeCertificate(const std::string& common_name, long serial = 1);

// The certificate after `change` edits it, signed again with the shared key:
// signing is what makes OpenSSL encode the changed fields (a version 1
// certificate, an issuer other than the subject).
Bytes Resigned(const Bytes& cert, void (*change)(X509*));
// A change for Resigned: version 1 has no [0] version field before the serial
// number, which moves the subject one field forward.
void MakeVersion1(X509* cert);

Bytes MakeCrl();                     // a CRL signed by the shared key
Bytes MakePkcs7(const Bytes& cert);  // a certs-only signed PKCS#7 (.p7b)
Bytes MakePfx(const Bytes& cert);    // PKCS#12 with the certificate and the private key
Bytes MakeCsr(const std::string& common_name);  // PKCS#10
std::string PrivateKeyPem();         // the shared key, PEM

// `der` with the element at `path` (child indexes, from the outside in), and
// every element around it, in the indefinite-length form that BER allows.
Bytes Indefinite(const Bytes& der, const std::vector<int>& path);

std::string ToPem(const Bytes& der, const std::string& label = "CERTIFICATE");
std::string ToBase64(const Bytes& der);  // bare, 64 characters a line
// A CERTIFICATE block whose Base64 lines are cut to `width` characters.
std::string Rewrapped(const Bytes& der, size_t width);

std::string Text(const Bytes& bytes);
Bytes FromText(const std::string& text);

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& contents);
void WriteFile(const std::string& path, const Bytes& contents);
std::string ReadFile(const std::string& path);

}  // namespace tkv::testing

#endif  // TKVCERT_TESTS_SUPPORT_TEST_CERTS_H_
