// Makes a sandbox root with the Debian trust-store layout and N distinct CA
// certificates in its anchors directory, named as the tool names them. The
// root has no refresh program of its own, so the host's Debian tool serves
// it; bench/run.sh puts a stub in the roots whose runs it times.
//
//   tkv_bench_make_store <root> <count>   when count > 0, prints three lines:
//       the simple display name of the last anchor in enumeration order, its
//       file name, and a name that no anchor has
//   tkv_bench_make_store --one <file>     writes one more certificate (PEM)
//       for /install runs, with a subject no generated anchor has, and
//       prints the file name the store will give it
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/cert/anchor_format.h"

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "tkv_bench_make_store: %s\n", what.c_str());
  ERR_print_errors_fp(stderr);
  std::exit(2);
}

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER, ASN1_INTEGER_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

const char kSubjectPrefix[] = "TKV Bench CA ";

void MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    const std::string partial = path.substr(0, i);
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) Die("mkdir " + partial);
  }
}

void WriteFile(const std::string& path, const std::string& contents, mode_t mode = 0644) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) Die("open " + path);
  const bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
  if (std::fclose(f) != 0 || !ok) Die("write " + path);
  if (chmod(path.c_str(), mode) != 0) Die("chmod " + path);
}

// Self-signed CAs with subjects shaped like real ones: country,
// organization, unit, then the common name that makes each distinct. Only
// the subject, issuer and serial change from one to the next, and signing
// starts from a context set up once: fetching the algorithms anew for every
// certificate would take most of the time.
struct CertificateTemplate {
  X509Ptr cert;
  MdCtxPtr signing;  // initialised once with the key; copied for each signature
  MdCtxPtr scratch;
};

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1) Die("extension");
  X509_EXTENSION_free(ext);
}

CertificateTemplate NewTemplate(EVP_PKEY* key) {
  CertificateTemplate t{X509Ptr(X509_new()), MdCtxPtr(EVP_MD_CTX_new()), MdCtxPtr(EVP_MD_CTX_new())};
  if (!t.cert || !t.signing || !t.scratch) Die("allocation");
  X509* cert = t.cert.get();
  if (X509_set_version(cert, X509_VERSION_3) != 1) Die("version");
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600);
  if (X509_set_pubkey(cert, key) != 1) Die("public key");
  AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert, NID_subject_key_identifier, "hash");
  if (EVP_DigestSignInit(t.signing.get(), nullptr, EVP_sha256(), nullptr, key) != 1) {
    Die("signing context");
  }
  return t;
}

std::vector<unsigned char> MakeCertificate(CertificateTemplate* t, const std::string& common_name,
                                           long serial) {
  NamePtr name(X509_NAME_new());
  if (!name) Die("X509_NAME_new");
  const auto add = [&](int nid, const std::string& value) {
    if (X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0) != 1) {
      Die("subject");
    }
  };
  add(NID_countryName, "US");
  add(NID_organizationName, "TKV Bench Fleet");
  add(NID_organizationalUnitName, "Test Farm");
  add(NID_commonName, common_name);
  X509* cert = t->cert.get();
  IntegerPtr number(ASN1_INTEGER_new());
  if (!number || ASN1_INTEGER_set(number.get(), serial) != 1 ||
      X509_set_serialNumber(cert, number.get()) != 1 ||
      X509_set_subject_name(cert, name.get()) != 1 || X509_set_issuer_name(cert, name.get()) != 1) {
    Die("certificate fields");
  }
  if (EVP_MD_CTX_copy_ex(t->scratch.get(), t->signing.get()) != 1 ||
      X509_sign_ctx(cert, t->scratch.get()) <= 0) {
    Die("sign");
  }
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert, &der);
  if (size <= 0) Die("i2d_X509");
  std::vector<unsigned char> out(der, der + size);
  OPENSSL_free(der);
  return out;
}

std::string Numbered(long i) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%07ld", kSubjectPrefix, i);
  return text;
}

void MakeRoot(const std::string& root) {
  for (const char* dir : {"/usr/local/share/ca-certificates", "/usr/share/ca-certificates",
                          "/etc/ssl/certs", "/etc/ca-certificates/update.d", "/usr/sbin"}) {
    MakeDirs(root + dir);
  }
  // Empty: the host's tool, when it serves this root, takes none of the
  // distribution's certificates into the bundle, only the root's anchors.
  WriteFile(root + "/etc/ca-certificates.conf", "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <root> <count> | --one <file>\n", argv[0]);
    return 2;
  }
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Die("EC key");

  if (std::strcmp(argv[1], "--one") == 0) {
    CertificateTemplate t = NewTemplate(key.get());
    const std::vector<unsigned char> der = MakeCertificate(&t, "TKV Bench Install CA", 1);
    WriteFile(argv[2], tkv::PemCertificate(der));
    std::printf("%s\n", tkv::AnchorFileName(der).c_str());
    return 0;
  }

  const std::string root = argv[1];
  char* end = nullptr;
  const long count = std::strtol(argv[2], &end, 10);
  if (argv[2][0] == '\0' || *end != '\0' || count < 0) Die("count must be a number, 0 or more");
  MakeRoot(root);
  const std::string anchors = root + "/usr/local/share/ca-certificates/";
  std::string last_name;
  std::string last_subject;
  CertificateTemplate t = NewTemplate(key.get());
  for (long i = 1; i <= count; ++i) {
    const std::string subject = Numbered(i);
    const std::vector<unsigned char> der = MakeCertificate(&t, subject, i);
    const std::string name = tkv::AnchorFileName(der);
    if (name.empty()) Die("file name");
    WriteFile(anchors + name, tkv::PemCertificate(der));
    if (name > last_name) {
      last_name = name;
      last_subject = subject;
    }
  }
  if (count > 0) {
    std::printf("%s\n%s\n%s\n", last_subject.c_str(), last_name.c_str(), Numbered(0).c_str());
  }
  return 0;
}
