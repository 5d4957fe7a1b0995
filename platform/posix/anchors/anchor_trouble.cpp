#include "platform/posix/anchors/anchor_trouble.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <set>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/anchors/trust_bundle.h"

namespace tkv {
namespace {

struct InfoStackFree {
  void operator()(STACK_OF(X509_INFO)* infos) const { sk_X509_INFO_pop_free(infos, X509_INFO_free); }
};
using InfoStack = std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree>;

// What libcrypto's reader makes of the text: null when it gives up on it.
InfoStack ReadAsClientsDo(const BYTE* data, size_t size) {
  static const BYTE kNothing = 0;
  if (size == 0) data = &kNothing;  // an empty text is read as empty, not refused
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(data, static_cast<int>(size)), BIO_free);
  if (!bio || size > static_cast<size_t>(INT32_MAX)) return nullptr;
  InfoStack infos(PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return infos;
}

bool Later(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

// When the file's contents or name last changed, as the root sees it: a
// link's own time says nothing of its target's.
bool ChangedAt(const StoreLocation& location, int anchors_fd, const std::string& relative, struct timespec* at) {
  struct stat st;
  if (relative.find('/') == std::string::npos &&
      fstatat(anchors_fd, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode)) {
    *at = st.st_ctim;
    return true;
  }
  const UniqueFd fd = location.root->OpenBelow(std::string(location.layout->anchors_dir) + "/" + relative, O_PATH);
  if (!fd || fstat(fd.get(), &st) != 0) return false;
  *at = st.st_ctim;
  return true;
}

}  // namespace

AnchorTrouble TroubleOf(const std::vector<BYTE>& contents) {
  const InfoStack infos = ReadAsClientsDo(contents.data(), contents.size());
  if (!infos) return AnchorTrouble::kCutShort;
  bool certificate = false;
  bool crl = false;
  bool key = false;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
    const X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
    certificate = certificate || info->x509 != nullptr;
    crl = crl || info->crl != nullptr;
    key = key || info->x_pkey != nullptr || info->enc_data != nullptr;
  }
  if (key) return certificate ? AnchorTrouble::kKeyBeside : crl ? AnchorTrouble::kNoCertificate
                                                              : AnchorTrouble::kKeyAlone;
  if (certificate) return AnchorTrouble::kNone;
  // DER, which the refresh copies as it is and the anchors' own reader reads.
  for (const AnchorBlock& block : ParseAnchorFile(contents)) {
    if (block.decoded) return AnchorTrouble::kNone;
  }
  return AnchorTrouble::kNoCertificate;
}

const char* DescribeTrouble(AnchorTrouble trouble) {
  switch (trouble) {
    case AnchorTrouble::kCutShort:
      return "holds a PEM block that is cut short or does not decode; the refresh copies it into "
             "the bundle, and OpenSSL's clients then read none of the bundle";
    case AnchorTrouble::kKeyAlone:
      return "holds a private key and no certificate; the refresh may stop at it";
    case AnchorTrouble::kKeyBeside:
      return "holds a private key beside its certificate; the refresh copies the key into the "
             "bundle, which everyone may read";
    case AnchorTrouble::kNoCertificate:
      return "holds no certificate (text, nothing or a CRL), so it adds no trust";
    case AnchorTrouble::kNone:
      break;
  }
  return "";
}

std::vector<std::pair<std::string, AnchorTrouble>> FindTroubledAnchors(const AnchorView& anchors) {
  std::vector<std::pair<std::string, AnchorTrouble>> found;
  std::vector<BYTE> contents;
  for (const std::string& file : anchors.Files()) {
    if (anchors.Read(file, &contents) != ERROR_SUCCESS) continue;
    const AnchorTrouble trouble = TroubleOf(contents);
    if (trouble != AnchorTrouble::kNone) found.emplace_back(file, trouble);
  }
  return found;
}

void NameTroubledAnchors(Command& command, const StoreLocation& location,
                         const std::vector<std::pair<std::string, AnchorTrouble>>& found) {
  for (const auto& [file, trouble] : found) {
    const std::string path = location.anchors_path() + "/" + file;
    // Once a command: a rollback looks at the same anchors again.
    if (command.FirstTime(path)) command.Complain(path + " " + DescribeTrouble(trouble));
  }
}

RefreshOutlook LookBeforeRefresh(const AnchorView& anchors) {
  const StoreLocation& location = anchors.location();
  const int anchors_fd = anchors.fd();
  RefreshOutlook outlook;
  const UniqueFd bundle = location.root->OpenBelow(location.layout->bundle, O_PATH);
  struct stat written;
  std::vector<BYTE> text;
  if (!bundle || fstat(bundle.get(), &written) != 0 || !S_ISREG(written.st_mode) ||
      ReadBundleText(*location.root, location.layout->bundle, &text) != ERROR_SUCCESS) {
    return outlook;
  }
  outlook.bundle_readable = ReadAsClientsDo(text.data(), text.size()) != nullptr;
  if (!outlook.bundle_readable) return outlook;
  std::vector<BYTE> contents;
  for (const std::string& file : anchors.Files()) {
    struct timespec changed;
    if (!ChangedAt(location, anchors_fd, file, &changed) || !Later(changed, written.st_mtim)) continue;
    if (anchors.Read(file, &contents) != ERROR_SUCCESS) continue;
    if (TroubleOf(contents) == AnchorTrouble::kCutShort) {
      outlook.cut_short.emplace_back(file, AnchorTrouble::kCutShort);
    }
  }
  return outlook;
}

bool ClientsCanReadBundle(const StoreLocation& location) {
  std::vector<BYTE> text;
  if (ReadBundleText(*location.root, location.layout->bundle, &text) != ERROR_SUCCESS) return true;
  return ReadAsClientsDo(text.data(), text.size()) != nullptr;
}

}  // namespace tkv
