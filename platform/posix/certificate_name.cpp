#include "platform/posix/certificate_name.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/posix/last_error.h"
#include "platform/posix/wide_text.h"

namespace tkv {
namespace {

struct NameFree { void operator()(X509_NAME* n) const { X509_NAME_free(n); } };
struct CertFree { void operator()(X509* x) const { X509_free(x); } };
struct AltNamesFree { void operator()(GENERAL_NAMES* g) const { GENERAL_NAMES_free(g); } };

// Steps over one element; false when it is not well formed.
bool SkipElement(const unsigned char** p, long* remaining, int* tag, int* cls) {
  const unsigned char* start = *p;
  long length = 0;
  const int ret = ASN1_get_object(p, &length, tag, cls, *remaining);
  if ((ret & 0x80) != 0) return false;
  if (ret == 0x21) {
    // An indefinite length (BER, which libcrypto and so the installation
    // accept) ends only at its end mark, nested ones counted: a generic
    // decode finds it.
    *p = start;
    ASN1_TYPE* element = d2i_ASN1_TYPE(nullptr, p, *remaining);
    if (element == nullptr) return false;
    ASN1_TYPE_free(element);
  } else {
    *p += length;
  }
  *remaining -= static_cast<long>(*p - start);
  return true;
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
// serialNumber, signature, issuer, validity, subject, ... } ... }
std::unique_ptr<X509_NAME, NameFree> DecodeSubjectOnly(const BYTE* der, size_t size) {
  const unsigned char* p = der;
  long remaining = static_cast<long>(size);
  long length = 0;
  int tag = 0;
  int cls = 0;
  for (int level = 0; level < 2; ++level) {  // into the certificate, then the TBS part
    const unsigned char* start = p;
    length = 0;  // left as it is for an indefinite length
    const int ret = ASN1_get_object(&p, &length, &tag, &cls, remaining);
    if ((ret & 0x80) != 0 || tag != V_ASN1_SEQUENCE) return nullptr;
    // An indefinite length ends at an end mark somewhere in what is left.
    remaining = ret == 0x21 ? remaining - static_cast<long>(p - start) : length;
  }
  const unsigned char* peek = p;
  long peek_remaining = remaining;
  if (!SkipElement(&peek, &peek_remaining, &tag, &cls)) return nullptr;
  const int fields_before_subject = cls == V_ASN1_CONTEXT_SPECIFIC ? 5 : 4;
  for (int i = 0; i < fields_before_subject; ++i) {
    if (!SkipElement(&p, &remaining, &tag, &cls)) return nullptr;
  }
  return std::unique_ptr<X509_NAME, NameFree>(d2i_X509_NAME(nullptr, &p, remaining));
}

bool ToWide(const ASN1_STRING* value, std::wstring* out) {
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return false;
  *out = DecodeUtf8Lossless(std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(length)));
  OPENSSL_free(utf8);
  return true;
}

// Found: *out holds the first value of that attribute.
bool FirstAttribute(const X509_NAME* subject, int nid, std::wstring* out, bool* bad) {
  const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
  if (index < 0) return false;
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  if (!ToWide(value, out)) *bad = true;
  return true;
}

std::wstring IpAddressText(const ASN1_OCTET_STRING* ip) {
  char text[INET6_ADDRSTRLEN] = "";
  const int family = ip->length == 4 ? AF_INET : ip->length == 16 ? AF_INET6 : 0;
  if (family == 0 || inet_ntop(family, ip->data, text, sizeof text) == nullptr) return L"";
  return DecodeUtf8Lossless(text);
}

std::wstring AltNameText(const GENERAL_NAME* entry) {
  std::wstring text;
  switch (entry->type) {
    case GEN_EMAIL:
    case GEN_DNS:
    case GEN_URI:
      ToWide(entry->d.ia5, &text);
      return text;
    case GEN_IPADD:
      return IpAddressText(entry->d.ip);
    default:
      return text;
  }
}

// Only for subjects without any of the four attributes, so a full parse
// here costs nothing in the common case.
std::wstring AltNameFallback(const BYTE* der, size_t size) {
  const unsigned char* p = der;
  std::unique_ptr<X509, CertFree> cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
  if (!cert) return L"";
  std::unique_ptr<GENERAL_NAMES, AltNamesFree> names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
  if (!names || sk_GENERAL_NAME_num(names.get()) == 0) return L"";
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names.get(), i);
    if (entry->type == GEN_EMAIL) return AltNameText(entry);
  }
  return AltNameText(sk_GENERAL_NAME_value(names.get(), 0));
}

}  // namespace

DWORD SimpleDisplayName(const BYTE* der, size_t size, std::wstring* name) {
  name->clear();
  std::unique_ptr<X509_NAME, NameFree> subject = DecodeSubjectOnly(der, size);
  if (!subject) return CRYPT_E_ASN1_CORRUPT;
  bool bad = false;
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                  NID_pkcs9_emailAddress}) {
    if (FirstAttribute(subject.get(), nid, name, &bad)) {
      return bad ? CRYPT_E_ASN1_CORRUPT : ERROR_SUCCESS;
    }
  }
  *name = AltNameFallback(der, size);
  return ERROR_SUCCESS;
}

}  // namespace tkv

// Windows' buffer contract: the count includes the terminator; a null
// buffer or a zero size asks for the size needed; a longer name is cut.
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString) {
  (void)pvTypePara;
  if (pCertContext == nullptr || dwType != CERT_NAME_SIMPLE_DISPLAY_TYPE || dwFlags != 0) {
    SetLastError(E_INVALIDARG);
    return 0;
  }
  std::wstring name;
  if (DWORD code = tkv::SimpleDisplayName(pCertContext->pbCertEncoded,
                                          pCertContext->cbCertEncoded, &name)) {
    SetLastError(code);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  if (pszNameString == nullptr || cchNameString == 0) return static_cast<DWORD>(name.size() + 1);
  const size_t copied = std::min<size_t>(name.size(), cchNameString - 1);
  name.copy(pszNameString, copied);
  pszNameString[copied] = L'\0';
  return static_cast<DWORD>(copied + 1);
}
