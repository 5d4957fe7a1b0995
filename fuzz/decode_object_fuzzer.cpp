// The decoder behind CryptQueryObject, on any file contents, with the flags
// the tool passes: it must answer, and what it answers must hold together.
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/cert/object_decoder.h"

namespace {

// The DER that is handed out must be exactly one object of its kind.
template <typename T, T* (*D2i)(T**, const unsigned char**, long), void (*Free)(T*)>
bool IsExactlyOne(const std::vector<BYTE>& der) {
  const unsigned char* p = der.data();
  T* object = D2i(nullptr, &p, static_cast<long>(der.size()));
  if (object == nullptr) return false;
  Free(object);
  return p == der.data() + der.size();
}

// What the hexadecimal form is: "{ASN}", then only hexadecimal digits, with
// blanks and line breaks anywhere.
bool IsAsnHexText(const uint8_t* data, size_t size) {
  static const char kPrefix[] = "{ASN}";
  size_t i = 0;
  while (i < size && isspace(data[i])) ++i;
  if (size - i < sizeof kPrefix - 1 || memcmp(data + i, kPrefix, sizeof kPrefix - 1) != 0) {
    return false;
  }
  for (i += sizeof kPrefix - 1; i < size; ++i) {
    if (!isxdigit(data[i]) && !isspace(data[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tkv::DecodedObject out;
  out.content_type = 0xFFFF;  // stale values must not survive the call
  out.encoded.assign(3, 0xEE);
  const DWORD code = tkv::DecodeObject(data, size, CERT_QUERY_CONTENT_FLAG_ALL,
                                       CERT_QUERY_FORMAT_FLAG_ALL, &out);
  if (code != ERROR_SUCCESS) {
    TKV_FUZZ_CHECK(code == CRYPT_E_NO_MATCH);
    TKV_FUZZ_CHECK(out.content_type == 0 && out.format_type == 0 && out.encoded.empty());
    return 0;
  }
  TKV_FUZZ_CHECK(out.content_type >= CERT_QUERY_CONTENT_CERT &&
                 out.content_type <= CERT_QUERY_CONTENT_CERT_PAIR);
  TKV_FUZZ_CHECK(out.format_type >= CERT_QUERY_FORMAT_BINARY &&
                 out.format_type <= CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED);
  if (size == 0) {
    TKV_FUZZ_CHECK(out.content_type == CERT_QUERY_CONTENT_SERIALIZED_STORE);
    return 0;
  }
  const bool has_der = out.content_type == CERT_QUERY_CONTENT_CERT ||
                       out.content_type == CERT_QUERY_CONTENT_CRL;
  TKV_FUZZ_CHECK(has_der == !out.encoded.empty());
  if (out.format_type == CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED) {
    TKV_FUZZ_CHECK(IsAsnHexText(data, size));
  }
  if (out.format_type == CERT_QUERY_FORMAT_BINARY && has_der) {
    TKV_FUZZ_CHECK(out.encoded.size() <= size &&
                   std::equal(out.encoded.begin(), out.encoded.end(), data));
  }

  // What CryptQueryObject then builds and the tool later reads and frees.
  if (out.content_type == CERT_QUERY_CONTENT_CERT) {
    TKV_FUZZ_CHECK((IsExactlyOne<X509, d2i_X509, X509_free>(out.encoded)));
    PCCERT_CONTEXT context = tkv::NewCertificateContext(out.encoded);
    TKV_FUZZ_CHECK(context->cbCertEncoded == out.encoded.size() &&
                   memcmp(context->pbCertEncoded, out.encoded.data(), out.encoded.size()) == 0);
    std::wstring name;
    const DWORD name_code = tkv::SimpleDisplayName(context->pbCertEncoded,
                                                   context->cbCertEncoded, &name);
    TKV_FUZZ_CHECK(name_code == ERROR_SUCCESS || name_code == CRYPT_E_ASN1_CORRUPT);
    CertFreeCertificateContext(context);
  } else if (out.content_type == CERT_QUERY_CONTENT_CRL) {
    TKV_FUZZ_CHECK((IsExactlyOne<X509_CRL, d2i_X509_CRL, X509_CRL_free>(out.encoded)));
    CertFreeCRLContext(tkv::NewCrlContext(out.encoded));
  }
  return 0;
}
