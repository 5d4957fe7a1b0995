#include "tests/support/test_certs.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace tkv::testing {
namespace {

// A failure here is a broken test or environment, never the code under test,
// so stop at once with whatever OpenSSL has to say.
[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "test support: %s\n", what);
  ERR_print_errors_fp(stderr);
  std::abort();
}

template <typename T>
T* Check(T* object, const char* what) {
  if (object == nullptr) Die(what);
  return object;
}

void Check(int ok, const char* what) {
  if (ok <= 0) Die(what);
}

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
template <typename T, void (*Free)(T*)>
using Ptr = std::unique_ptr<T, Deleter<T, Free>>;

using BioPtr = Ptr<BIO, BIO_free_all>;
using X509Ptr = Ptr<X509, X509_free>;
using NamePtr = Ptr<X509_NAME, X509_NAME_free>;
using TimePtr = Ptr<ASN1_TIME, ASN1_TIME_free>;

// Generating a key is the slow part; one serves every object a test makes.
EVP_PKEY* SharedKey() {
  static EVP_PKEY* key = Check(EVP_EC_gen("P-256"), "EC key generation");
  return key;
}

std::string BioContents(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

template <typename T>
Bytes Der(const T* object, int (*i2d)(const T*, unsigned char**)) {
  unsigned char* out = nullptr;
  const int size = i2d(object, &out);
  if (size <= 0) Die("DER encoding");
  Bytes der(out, out + size);
  OPENSSL_free(out);
  return der;
}

X509Ptr ParseCertificate(const Bytes& der) {
  const unsigned char* p = der.data();
  return X509Ptr(Check(d2i_X509(nullptr, &p, static_cast<long>(der.size())), "certificate DER"));
}

// The exact bytes a string type carries for the UTF-8 `value`, so the name
// holds that type and not whatever OpenSSL would pick.
std::string EncodeAs(const std::string& value, int asn1_type) {
  if (asn1_type != V_ASN1_BMPSTRING && asn1_type != V_ASN1_UNIVERSALSTRING &&
      asn1_type != V_ASN1_T61STRING) {
    return value;
  }
  std::string out;
  auto put_be = [&out](unsigned long unit, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
      out.push_back(static_cast<char>((unit >> shift) & 0xFF));
    }
  };
  const auto* p = reinterpret_cast<const unsigned char*>(value.data());
  int left = static_cast<int>(value.size());
  while (left > 0) {
    unsigned long c = 0;
    const int used = UTF8_getc(p, left, &c);
    if (used <= 0) Die("name value is not valid UTF-8");
    p += used;
    left -= used;
    if (asn1_type == V_ASN1_UNIVERSALSTRING) {
      put_be(c, 4);
    } else if (asn1_type == V_ASN1_T61STRING) {
      if (c > 0xFF) Die("T61String value is not Latin-1");
      out.push_back(static_cast<char>(c));
    } else if (c > 0xFFFF) {
      // A surrogate pair, as Windows writes one. OpenSSL 3.0 cannot encode or
      // parse a name holding it, so MakeCertificate stops on such a value.
      c -= 0x10000;
      put_be(0xD800 + (c >> 10), 2);
      put_be(0xDC00 + (c & 0x3FF), 2);
    } else {
      put_be(c, 2);
    }
  }
  return out;
}

NamePtr MakeName(const std::vector<NameEntry>& entries) {
  NamePtr name(Check(X509_NAME_new(), "X509_NAME_new"));
  for (const NameEntry& entry : entries) {
    const std::string bytes = EncodeAs(entry.value, entry.asn1_type);
    Check(X509_NAME_add_entry_by_txt(name.get(), entry.field.c_str(), entry.asn1_type,
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()), -1, 0),
          "name entry");
  }
  return name;
}

NamePtr CommonName(const std::string& common_name) {
  return MakeName({{"CN", common_name, V_ASN1_UTF8STRING}});
}

void AddAltNames(X509* cert, const std::vector<AltName>& alt_names) {
  Ptr<GENERAL_NAMES, GENERAL_NAMES_free> names(Check(GENERAL_NAMES_new(), "GENERAL_NAMES"));
  for (const AltName& alt : alt_names) {
    GENERAL_NAME* name = Check(GENERAL_NAME_new(), "GENERAL_NAME");
    ASN1_STRING* value = Check(
        ASN1_STRING_type_new(alt.type == GEN_IPADD ? V_ASN1_OCTET_STRING : V_ASN1_IA5STRING),
        "alt name value");
    Check(ASN1_STRING_set(value, alt.value.data(), static_cast<int>(alt.value.size())),
          "alt name bytes");
    GENERAL_NAME_set0_value(name, alt.type, value);
    Check(sk_GENERAL_NAME_push(names.get(), name), "alt name push");
  }
  Check(X509_add1_ext_i2d(cert, NID_subject_alt_name, names.get(), 0, 0), "SAN extension");
}

}  // namespace

Bytes MakeCertificate(const CertSpec& wanted) {
  X509Ptr cert(Check(X509_new(), "X509_new"));
  Check(X509_set_version(cert.get(), X509_VERSION_3), "version");
  Check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), wanted.serial), "serial");
  Check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600) != nullptr, "notBefore");
  Check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600) != nullptr, "notAfter");
  NamePtr name = MakeName(wanted.subject);
  Check(X509_set_subject_name(cert.get(), name.get()), "subject");
  Check(X509_set_issuer_name(cert.get(), name.get()), "issuer");
  Check(X509_set_pubkey(cert.get(), SharedKey()), "public key");

  Ptr<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free> constraints(
      Check(BASIC_CONSTRAINTS_new(), "basicConstraints"));
  constraints->ca = 0xFF;
  Check(X509_add1_ext_i2d(cert.get(), NID_basic_constraints, constraints.get(), 1, 0),
        "basicConstraints extension");
  if (!wanted.alt_names.empty()) AddAltNames(cert.get(), wanted.alt_names);

  Check(X509_sign(cert.get(), SharedKey(), EVP_sha256()), "certificate signature");
  return Der(cert.get(), i2d_X509);
}

Bytes MakeCertificate(const std::string& common_name, long serial) {
  CertSpec wanted;
  wanted.subject = {{"CN", common_name, V_ASN1_UTF8STRING}};
  wanted.serial = serial;
  return MakeCertificate(wanted);
}

Bytes MakeCrl() {
  Ptr<X509_CRL, X509_CRL_free> crl(Check(X509_CRL_new(), "X509_CRL_new"));
  Check(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2), "CRL version");
  NamePtr issuer = CommonName("tkvcert test CA");
  Check(X509_CRL_set_issuer_name(crl.get(), issuer.get()), "CRL issuer");
  TimePtr last(Check(X509_gmtime_adj(nullptr, 0), "lastUpdate"));
  TimePtr next(Check(X509_gmtime_adj(nullptr, 30L * 24 * 3600), "nextUpdate"));
  Check(X509_CRL_set1_lastUpdate(crl.get(), last.get()), "CRL lastUpdate");
  Check(X509_CRL_set1_nextUpdate(crl.get(), next.get()), "CRL nextUpdate");
  Check(X509_CRL_sign(crl.get(), SharedKey(), EVP_sha256()), "CRL signature");
  return Der(crl.get(), i2d_X509_CRL);
}

Bytes Resigned(const Bytes& cert, void (*change)(X509*)) {
  X509Ptr x509 = ParseCertificate(cert);
  change(x509.get());
  Check(X509_sign(x509.get(), SharedKey(), EVP_sha256()), "certificate signature");
  return Der(x509.get(), i2d_X509);
}

void MakeVersion1(X509* cert) { X509_set_version(cert, X509_VERSION_1); }

Bytes MakePkcs7(const Bytes& cert) {
  X509Ptr x509 = ParseCertificate(cert);
  Ptr<PKCS7, PKCS7_free> p7(Check(PKCS7_new(), "PKCS7_new"));
  Check(PKCS7_set_type(p7.get(), NID_pkcs7_signed), "PKCS7 type");
  Check(PKCS7_content_new(p7.get(), NID_pkcs7_data), "PKCS7 content");
  // Detached empty data and no signers: the certs-only shape of a .p7b.
  PKCS7_set_detached(p7.get(), 1);
  Check(PKCS7_add_certificate(p7.get(), x509.get()), "PKCS7 certificate");
  return Der(p7.get(), i2d_PKCS7);
}

// Password "tkvcert": the decoder never opens it, but a test may.
Bytes MakePfx(const Bytes& cert) {
  X509Ptr x509 = ParseCertificate(cert);
  Ptr<PKCS12, PKCS12_free> p12(Check(
      PKCS12_create("tkvcert", "tkvcert test", SharedKey(), x509.get(), nullptr, 0, 0, 0, 0, 0),
      "PKCS12_create"));
  return Der(p12.get(), i2d_PKCS12);
}

Bytes MakeCsr(const std::string& common_name) {
  Ptr<X509_REQ, X509_REQ_free> req(Check(X509_REQ_new(), "X509_REQ_new"));
  Check(X509_REQ_set_version(req.get(), X509_REQ_VERSION_1), "CSR version");
  NamePtr subject = CommonName(common_name);
  Check(X509_REQ_set_subject_name(req.get(), subject.get()), "CSR subject");
  Check(X509_REQ_set_pubkey(req.get(), SharedKey()), "CSR public key");
  Check(X509_REQ_sign(req.get(), SharedKey(), EVP_sha256()), "CSR signature");
  return Der(req.get(), i2d_X509_REQ);
}

std::string PrivateKeyPem() {
  BioPtr bio(Check(BIO_new(BIO_s_mem()), "BIO_new"));
  Check(PEM_write_bio_PrivateKey(bio.get(), SharedKey(), nullptr, nullptr, 0, nullptr, nullptr),
        "private key PEM");
  return BioContents(bio.get());
}

namespace {

Bytes IndefiniteFrom(const Bytes& der, const std::vector<int>& path, size_t level) {
  const unsigned char* p = der.data();
  long length = 0;
  int tag = 0;
  int cls = 0;
  if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size())) & 0x80) {
    Die("Indefinite: not DER");
  }
  const unsigned char* const end = p + length;
  Bytes out(static_cast<size_t>(ASN1_object_size(2, 0, tag)));  // with room for the end mark
  unsigned char* q = out.data();
  ASN1_put_object(&q, 2, 0, tag, cls);
  out.resize(static_cast<size_t>(q - out.data()));
  for (int index = 0; p < end; ++index) {
    const unsigned char* child = p;
    if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(end - p)) & 0x80) {
      Die("Indefinite: not DER");
    }
    p += length;
    const Bytes bytes(child, p);
    const Bytes changed = level < path.size() && index == path[level]
                              ? IndefiniteFrom(bytes, path, level + 1) : bytes;
    out.insert(out.end(), changed.begin(), changed.end());
  }
  out.resize(out.size() + 2);
  q = out.data() + out.size() - 2;
  ASN1_put_eoc(&q);
  return out;
}

}  // namespace

Bytes Indefinite(const Bytes& der, const std::vector<int>& path) {
  return IndefiniteFrom(der, path, 0);
}

std::string ToPem(const Bytes& der, const std::string& label) {
  BioPtr bio(Check(BIO_new(BIO_s_mem()), "BIO_new"));
  Check(PEM_write_bio(bio.get(), label.c_str(), "", der.data(), static_cast<long>(der.size())),
        "PEM encoding");
  return BioContents(bio.get());
}

std::string ToBase64(const Bytes& der) {
  Ptr<EVP_ENCODE_CTX, EVP_ENCODE_CTX_free> ctx(Check(EVP_ENCODE_CTX_new(), "EVP_ENCODE_CTX"));
  // Each 48 input bytes make a 64-character line and its newline.
  std::string out(der.size() / 48 * 65 + 80, '\0');
  auto* dst = reinterpret_cast<unsigned char*>(&out[0]);
  int written = 0;
  int tail = 0;
  EVP_EncodeInit(ctx.get());
  Check(EVP_EncodeUpdate(ctx.get(), dst, &written, der.data(), static_cast<int>(der.size())),
        "Base64 encoding");
  EVP_EncodeFinal(ctx.get(), dst + written, &tail);
  out.resize(static_cast<size_t>(written + tail));
  return out;
}

std::string Rewrapped(const Bytes& der, size_t width) {
  std::string digits;
  for (char c : ToBase64(der)) {
    if (c != '\n') digits += c;
  }
  std::string body;
  for (size_t at = 0; at < digits.size(); at += width) body += digits.substr(at, width) + "\n";
  return "-----BEGIN CERTIFICATE-----\n" + body + "-----END CERTIFICATE-----\n";
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/tkvcert-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) Die("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  // remove_all does not follow links, so loops and links out are harmless.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out.flush()) Die(("cannot write " + path).c_str());
}

void WriteFile(const std::string& path, const Bytes& contents) {
  WriteFile(path, Text(contents));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Die(("cannot read " + path).c_str());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tkv::testing
