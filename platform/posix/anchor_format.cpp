#include "platform/posix/anchor_format.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

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
