// The least work a removal by name can do on an anchors directory, written
// as a plain libcrypto loop with none of the tool's layers: list and sort the
// anchor files, then for each one read it, decode its PEM, walk the DER to
// the subject, decode that with d2i_X509_NAME and compare its simple display
// name (first CN, else OU, else O, else e-mail address) with the subject.
// Stops at the first match, as the tool does.
//
//   tkv_bench_floor_scan <anchors dir> <subject>
//   prints "match <file>" or "no match"
#include <dirent.h>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool EndsWith(const char* text, const char* suffix) {
  const size_t n = std::strlen(text);
  const size_t k = std::strlen(suffix);
  return n >= k && std::memcmp(text + n - k, suffix, k) == 0;
}

std::vector<std::string> ListAnchors(const char* dir_path) {
  std::vector<std::string> names;
  DIR* dir = opendir(dir_path);
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || entry->d_type == DT_DIR) continue;
    if (!EndsWith(entry->d_name, ".crt")) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool ReadFile(const std::string& path, std::vector<unsigned char>* contents) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    contents->resize(static_cast<size_t>(st.st_size));
    ok = read(fd, contents->data(), contents->size()) == static_cast<ssize_t>(contents->size());
  }
  close(fd);
  return ok;
}

bool Skip(const unsigned char** p, long* remaining, bool descend) {
  const unsigned char* start = *p;
  long length = 0;
  int tag = 0;
  int cls = 0;
  const int ret = ASN1_get_object(p, &length, &tag, &cls, *remaining);
  if ((ret & 0x80) != 0) return false;
  if (descend) {
    *remaining = length;
  } else {
    *p += length;
    *remaining -= static_cast<long>(*p - start);
  }
  return true;
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
// serialNumber, signature, issuer, validity, subject, ... } ... }
X509_NAME* Subject(const unsigned char* der, long size) {
  const unsigned char* p = der;
  long remaining = size;
  if (!Skip(&p, &remaining, true) || !Skip(&p, &remaining, true)) return nullptr;
  const int fields = remaining > 0 && *p == 0xA0 ? 5 : 4;
  for (int i = 0; i < fields; ++i) {
    if (!Skip(&p, &remaining, false)) return nullptr;
  }
  return d2i_X509_NAME(nullptr, &p, remaining);
}

bool NameMatches(const X509_NAME* name, const std::string& subject) {
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                  NID_pkcs9_emailAddress}) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) continue;
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    const bool same = length >= 0 && static_cast<size_t>(length) == subject.size() &&
                      std::memcmp(utf8, subject.data(), subject.size()) == 0;
    OPENSSL_free(utf8);
    return same;
  }
  return false;
}

bool FileMatches(const std::vector<unsigned char>& contents, const std::string& subject) {
  BIO* bio = BIO_new_mem_buf(contents.data(), static_cast<int>(contents.size()));
  char* label = nullptr;
  char* header = nullptr;
  unsigned char* der = nullptr;
  long size = 0;
  bool matches = false;
  if (bio != nullptr && PEM_read_bio(bio, &label, &header, &der, &size) == 1) {
    if (X509_NAME* name = Subject(der, size)) {
      matches = NameMatches(name, subject);
      X509_NAME_free(name);
    }
  }
  OPENSSL_free(label);
  OPENSSL_free(header);
  OPENSSL_free(der);
  BIO_free(bio);
  return matches;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <anchors dir> <subject>\n", argv[0]);
    return 2;
  }
  const std::string subject = argv[2];
  const std::string dir = std::string(argv[1]) + "/";
  std::string path;
  std::vector<unsigned char> contents;
  for (const std::string& name : ListAnchors(argv[1])) {
    path = dir + name;
    if (ReadFile(path, &contents) && FileMatches(contents, subject)) {
      std::printf("match %s\n", name.c_str());
      return 0;
    }
  }
  std::printf("no match\n");
  return 0;
}
