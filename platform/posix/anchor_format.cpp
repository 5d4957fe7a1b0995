#include "platform/posix/anchor_format.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tkv {

std::string AnchorFileName(const std::vector<BYTE>& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &digest_length, EVP_sha1(), nullptr) != 1) {
    return "";
  }
  char hex[EVP_MAX_MD_SIZE * 2 + 1];
  size_t hex_length = 0;
  if (OPENSSL_buf2hexstr_ex(hex, sizeof hex, &hex_length, digest, digest_length, '\0') != 1) {
    return "";
  }
  return std::string(hex) + ".crt";
}

std::string PemCertificate(const std::vector<BYTE>& der) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio(bio.get(), "CERTIFICATE", "", der.data(),
                            static_cast<long>(der.size())) <= 0) {
    return "";
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace tkv

namespace tkv {
namespace {

constexpr char kBegin[] = "-----BEGIN ";
constexpr char kDashes[] = "-----";

}  // namespace

bool IsCertificateLabel(const std::string& label) {
  return label == "CERTIFICATE" || label == "TRUSTED CERTIFICATE" || label == "X509 CERTIFICATE";
}

namespace {

// memmem and memchr: a scan reads every anchor file, and these are several
// times quicker than the generic algorithms over vector iterators.
size_t Find(const std::vector<BYTE>& text, const std::string& what, size_t from) {
  if (from >= text.size()) return std::string::npos;
  const void* found = memmem(text.data() + from, text.size() - from, what.data(), what.size());
  return found == nullptr ? std::string::npos
                          : static_cast<size_t>(static_cast<const BYTE*>(found) - text.data());
}

size_t LineEnd(const std::vector<BYTE>& text, size_t from) {
  if (from >= text.size()) return text.size();
  const void* newline = memchr(text.data() + from, '\n', text.size() - from);
  return newline == nullptr ? text.size()
                            : static_cast<size_t>(static_cast<const BYTE*>(newline) - text.data()) + 1;
}

// The DER of one encoded object, without whatever may follow it (the
// trust settings of a "TRUSTED CERTIFICATE"). Empty when it is no object.
std::vector<BYTE> FirstObject(const unsigned char* data, long size) {
  const unsigned char* p = data;
  long length = 0;
  int tag = 0;
  int cls = 0;
  const int ret = ASN1_get_object(&p, &length, &tag, &cls, size);
  if ((ret & 0x80) != 0 || tag != V_ASN1_SEQUENCE) return {};
  if (ret == 0x21) {
    // An indefinite length (BER, which the installation accepts) ends only
    // at its end mark, nested ones counted: a generic decode finds it.
    p = data;
    ASN1_TYPE* object = d2i_ASN1_TYPE(nullptr, &p, size);
    if (object == nullptr) return {};
    ASN1_TYPE_free(object);
    return std::vector<BYTE>(data, p);
  }
  const unsigned char* end = p + length;
  return std::vector<BYTE>(data, end);
}

void DecodeBlock(const std::vector<BYTE>& text, AnchorBlock* block) {
  block->der = DecodeCertificateBlock(text.data() + block->begin, block->end - block->begin);
  block->decoded = !block->der.empty();
}

}  // namespace

std::vector<BYTE> DecodeCertificateBlock(const BYTE* text, size_t size) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text, static_cast<int>(size)),
                                                BIO_free);
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* body = nullptr;
  long length = 0;
  std::vector<BYTE> der;
  if (bio && PEM_read_bio(bio.get(), &name, &header, &body, &length) == 1) {
    der = FirstObject(body, length);
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(body);
  return der;
}

std::vector<AnchorBlock> ParseAnchorFile(const std::vector<BYTE>& contents) {
  std::vector<AnchorBlock> blocks;
  size_t at = Find(contents, kBegin, 0);
  if (at == std::string::npos) {
    if (!contents.empty() && contents[0] == V_ASN1_SEQUENCE + V_ASN1_CONSTRUCTED) {
      AnchorBlock block{0, contents.size(), false, {}};
      block.der = FirstObject(contents.data(), static_cast<long>(contents.size()));
      block.decoded = !block.der.empty();
      blocks.push_back(std::move(block));
    }
    return blocks;
  }
  while (at != std::string::npos) {
    const size_t label_start = at + sizeof kBegin - 1;
    const size_t label_end = Find(contents, kDashes, label_start);
    const size_t line_end = LineEnd(contents, at);
    if (label_end == std::string::npos || label_end > line_end) {
      at = Find(contents, kBegin, line_end);
      continue;
    }
    const std::string label(contents.begin() + static_cast<long>(label_start),
                            contents.begin() + static_cast<long>(label_end));
    const size_t end_marker = Find(contents, "-----END " + label + kDashes, label_end);
    const size_t block_end = end_marker == std::string::npos ? contents.size()
                                                              : LineEnd(contents, end_marker);
    if (IsCertificateLabel(label)) {
      AnchorBlock block{at, block_end, false, {}};
      DecodeBlock(contents, &block);
      blocks.push_back(std::move(block));
    }
    at = Find(contents, kBegin, block_end);
  }
  return blocks;
}

}  // namespace tkv
