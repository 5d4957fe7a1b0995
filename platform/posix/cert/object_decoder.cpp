#include "platform/posix/cert/object_decoder.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

namespace tkv {
namespace {

using Bytes = std::vector<BYTE>;

bool Allowed(DWORD flags, DWORD type) { return (flags & (1u << type)) != 0; }

template <typename T, T* (*D2i)(T**, const unsigned char**, long), void (*Free)(T*)>
size_t ParsedLength(const Bytes& der) {
  const unsigned char* p = der.data();
  T* object = D2i(nullptr, &p, static_cast<long>(der.size()));
  if (object == nullptr) return 0;
  Free(object);
  return static_cast<size_t>(p - der.data());
}

// Classifies DER in the order Windows tries its binary content types.
bool ClassifyDer(const Bytes& der, DWORD content_flags, DecodedObject* out) {
  if (der.empty()) return false;
  if (Allowed(content_flags, CERT_QUERY_CONTENT_CERT)) {
    // Trailing bytes after the certificate are not part of it.
    if (size_t n = ParsedLength<X509, d2i_X509, X509_free>(der)) {
      out->content_type = CERT_QUERY_CONTENT_CERT;
      out->encoded.assign(der.begin(), der.begin() + n);
      return true;
    }
  }
  if (Allowed(content_flags, CERT_QUERY_CONTENT_CRL)) {
    if (size_t n = ParsedLength<X509_CRL, d2i_X509_CRL, X509_CRL_free>(der)) {
      out->content_type = CERT_QUERY_CONTENT_CRL;
      out->encoded.assign(der.begin(), der.begin() + n);
      return true;
    }
  }
  const unsigned char* p = der.data();
  if (PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()))) {
    const DWORD type = PKCS7_type_is_signed(p7) ? CERT_QUERY_CONTENT_PKCS7_SIGNED
                                                : CERT_QUERY_CONTENT_PKCS7_UNSIGNED;
    PKCS7_free(p7);
    if (!Allowed(content_flags, type)) return false;
    out->content_type = type;
    return true;
  }
  if (Allowed(content_flags, CERT_QUERY_CONTENT_PKCS10) &&
      ParsedLength<X509_REQ, d2i_X509_REQ, X509_REQ_free>(der) != 0) {
    out->content_type = CERT_QUERY_CONTENT_PKCS10;
    return true;
  }
  if (Allowed(content_flags, CERT_QUERY_CONTENT_PFX) &&
      ParsedLength<PKCS12, d2i_PKCS12, PKCS12_free>(der) != 0) {
    out->content_type = CERT_QUERY_CONTENT_PFX;
    return true;
  }
  return false;
}

bool ContainsPemBegin(const BYTE* data, size_t size) {
  static const char kBegin[] = "-----BEGIN ";
  const BYTE* end = data + size;
  return std::search(data, end, kBegin, kBegin + sizeof kBegin - 1) != end;
}

// The first PEM block, whatever its label; text around it is ignored.
bool DecodeFirstPemBlock(const BYTE* data, size_t size, Bytes* der) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(data, static_cast<int>(size)), BIO_free);
  if (!bio) return false;
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* body = nullptr;
  long length = 0;
  const bool ok = PEM_read_bio(bio.get(), &name, &header, &body, &length) == 1;
  if (ok) der->assign(body, body + length);
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(body);
  return ok && length > 0;
}

// Base64 with no header lines; line breaks and blanks are allowed.
bool DecodeBareBase64(const BYTE* data, size_t size, Bytes* der) {
  std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> ctx(
      EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
  if (!ctx) return false;
  der->resize(size / 4 * 3 + 3);
  int written = 0;
  int tail = 0;
  EVP_DecodeInit(ctx.get());
  if (EVP_DecodeUpdate(ctx.get(), der->data(), &written, data, static_cast<int>(size)) < 0 ||
      EVP_DecodeFinal(ctx.get(), der->data() + written, &tail) != 1) {
    return false;
  }
  der->resize(static_cast<size_t>(written + tail));
  return !der->empty();
}

// "{ASN}" followed by hexadecimal digits, blanks and line breaks allowed.
bool DecodeAsnHex(const BYTE* data, size_t size, Bytes* der) {
  static const char kPrefix[] = "{ASN}";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  size_t start = 0;
  while (start < size && isspace(data[start])) ++start;
  if (size - start < kPrefixLength || memcmp(data + start, kPrefix, kPrefixLength) != 0) {
    return false;
  }
  std::string digits;
  for (size_t i = start + kPrefixLength; i < size; ++i) {
    if (isspace(data[i])) continue;
    // The hex reader takes a C string: a NUL would end the text early and
    // whatever follows it would go unchecked.
    if (!isxdigit(data[i])) return false;
    digits.push_back(static_cast<char>(data[i]));
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  der->resize(digits.size() / 2);
  size_t length = 0;
  if (OPENSSL_hexstr2buf_ex(der->data(), der->size(), &length, digits.c_str(), '\0') != 1) {
    return false;
  }
  der->resize(length);
  return true;
}

bool TryFormat(DWORD format, const Bytes& der, DWORD content_flags, DecodedObject* out) {
  if (!ClassifyDer(der, content_flags, out)) return false;
  out->format_type = format;
  return true;
}

}  // namespace

DWORD DecodeObject(const BYTE* data, size_t size, DWORD content_flags,
                   DWORD format_flags, DecodedObject* out) {
  *out = DecodedObject();
  const bool binary = Allowed(format_flags, CERT_QUERY_FORMAT_BINARY);
  if (size == 0) {
    if (binary && Allowed(content_flags, CERT_QUERY_CONTENT_SERIALIZED_STORE)) {
      out->content_type = CERT_QUERY_CONTENT_SERIALIZED_STORE;
      out->format_type = CERT_QUERY_FORMAT_BINARY;
      return ERROR_SUCCESS;
    }
    return CRYPT_E_NO_MATCH;
  }
  if (binary && TryFormat(CERT_QUERY_FORMAT_BINARY, Bytes(data, data + size),
                          content_flags, out)) {
    return ERROR_SUCCESS;
  }
  Bytes der;
  if (Allowed(format_flags, CERT_QUERY_FORMAT_BASE64_ENCODED)) {
    const bool decoded = ContainsPemBegin(data, size) ? DecodeFirstPemBlock(data, size, &der)
                                                      : DecodeBareBase64(data, size, &der);
    if (decoded && TryFormat(CERT_QUERY_FORMAT_BASE64_ENCODED, der, content_flags, out)) {
      return ERROR_SUCCESS;
    }
  }
  if (Allowed(format_flags, CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED) &&
      DecodeAsnHex(data, size, &der) &&
      TryFormat(CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED, der, content_flags, out)) {
    return ERROR_SUCCESS;
  }
  *out = DecodedObject();
  return CRYPT_E_NO_MATCH;
}

}  // namespace tkv
