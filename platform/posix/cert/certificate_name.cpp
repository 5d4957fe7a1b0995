#include "platform/posix/cert/certificate_name.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/base/last_error.h"
#include "platform/posix/base/wide_text.h"

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

// Where the subject starts, and how many bytes d2i_X509_NAME may read there.
// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
// serialNumber, signature, issuer, validity, subject, ... } ... }
bool FindSubject(const BYTE* der, size_t size, const unsigned char** subject, long* available) {
  const unsigned char* p = der;
  long remaining = static_cast<long>(size);
  long length = 0;
  int tag = 0;
  int cls = 0;
  for (int level = 0; level < 2; ++level) {  // into the certificate, then the TBS part
    const unsigned char* start = p;
    length = 0;  // left as it is for an indefinite length
    const int ret = ASN1_get_object(&p, &length, &tag, &cls, remaining);
    if ((ret & 0x80) != 0 || tag != V_ASN1_SEQUENCE) return false;
    // An indefinite length ends at an end mark somewhere in what is left.
    remaining = ret == 0x21 ? remaining - static_cast<long>(p - start) : length;
  }
  // A [0] version first makes five fields before the subject, else four.
  if (!SkipElement(&p, &remaining, &tag, &cls)) return false;
  const int fields_left = cls == V_ASN1_CONTEXT_SPECIFIC ? 4 : 3;
  for (int i = 0; i < fields_left; ++i) {
    if (!SkipElement(&p, &remaining, &tag, &cls)) return false;
  }
  *subject = p;
  *available = remaining;
  return true;
}

// The attribute types of the simple display name, in the order it prefers
// them, then the others that subjects commonly hold. Their encodings come
// from libcrypto's own table, so each is one that libcrypto decodes.
constexpr int kNameTypes[] = {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                              NID_pkcs9_emailAddress};
constexpr size_t kNameTypeCount = sizeof kNameTypes / sizeof kNameTypes[0];
constexpr int kOtherTypes[] = {
    NID_countryName, NID_stateOrProvinceName, NID_localityName, NID_streetAddress,
    NID_postalCode, NID_postOfficeBox, NID_serialNumber, NID_title, NID_givenName, NID_surname,
    NID_initials, NID_generationQualifier, NID_dnQualifier, NID_pseudonym, NID_name,
    NID_description, NID_businessCategory, NID_domainComponent, NID_userId,
    NID_organizationIdentifier, NID_jurisdictionCountryName, NID_jurisdictionStateOrProvinceName,
    NID_jurisdictionLocalityName, NID_telephoneNumber, NID_uniqueIdentifier};

struct AttributeType {
  const unsigned char* oid;
  size_t length;
};

// The known types' encodings: the four of the name first, in their order.
const std::vector<AttributeType>& KnownTypes() {
  static const std::vector<AttributeType> types = [] {
    std::vector<AttributeType> all;
    const auto add = [&](int nid) {
      const ASN1_OBJECT* object = OBJ_nid2obj(nid);
      if (object != nullptr && OBJ_length(object) > 0) {
        all.push_back({OBJ_get0_data(object), OBJ_length(object)});
      } else {
        all.push_back({nullptr, 0});  // matches nothing
      }
    };
    for (int nid : kNameTypes) add(nid);
    for (int nid : kOtherTypes) add(nid);
    return all;
  }();
  return types;
}

// Which known type an encoded OID is; -1 for none.
int KnownType(const unsigned char* oid, long length) {
  const std::vector<AttributeType>& types = KnownTypes();
  for (size_t i = 0; i < types.size(); ++i) {
    if (types[i].length == static_cast<size_t>(length) && memcmp(types[i].oid, oid, types[i].length) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The text strings an attribute value may be, and how libcrypto converts
// each to UTF-8: as one byte a character, or checked as UTF-8, UCS-4 or
// UCS-2. These are the string types d2i_X509_NAME both accepts as a value
// and converts to compare names (each must convert, or the subject does not
// decode). A VisibleString it converts but refuses as a value, so the
// subject does not decode: that, like any other type, is left to it.
int TextStringForm(int tag) {
  switch (tag) {
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
      return MBSTRING_ASC;
    case V_ASN1_UTF8STRING:
      return MBSTRING_UTF8;
    case V_ASN1_UNIVERSALSTRING:
      return MBSTRING_UNIV;
    case V_ASN1_BMPSTRING:
      return MBSTRING_BMP;
    default:
      return -1;
  }
}

bool IsAscii(const unsigned char* text, long length) {
  for (long i = 0; i < length; ++i) {
    if (text[i] >= 0x80) return false;
  }
  return true;
}

// One element in [*p, end) with a definite length: its tag and contents.
bool NextElement(const unsigned char** p, const unsigned char* end, bool constructed, int tag,
                 long* length, int* found_tag = nullptr) {
  int element_tag = 0;
  int cls = 0;
  const int ret = ASN1_get_object(p, length, &element_tag, &cls, static_cast<long>(end - *p));
  if (ret != (constructed ? V_ASN1_CONSTRUCTED : 0) || cls != V_ASN1_UNIVERSAL) return false;
  if (found_tag != nullptr) {
    *found_tag = element_tag;
    return true;
  }
  return element_tag == tag;
}

// Larger subjects are left to d2i_X509_NAME, which reads at most 1 MiB.
constexpr long kQuickSubjectLimit = 64 * 1024;

enum class QuickName { kFound, kNoneOfTheFour, kUnsure };

// The simple display name read straight from the subject's DER: its RDNs
// walked with ASN1_get_object, attribute types matched by their encoded
// OIDs, and only the one value that is the name converted. It answers only
// for subjects it can be sure d2i_X509_NAME reads as it does: definite
// lengths, every attribute a known type with a primitive text string value
// that converts to UTF-8, no empty RDN. Anything else is kUnsure, and the
// full decoder decides, so a name never differs from the decoder's.
QuickName ReadNameQuickly(const unsigned char* p, long available, std::wstring* name) {
  const unsigned char* const limit = p + available;
  long length = 0;
  if (!NextElement(&p, limit, true, V_ASN1_SEQUENCE, &length)) return QuickName::kUnsure;
  if (length > kQuickSubjectLimit) return QuickName::kUnsure;
  const unsigned char* const subject_end = p + length;
  struct Value {
    const unsigned char* data = nullptr;
    long length = 0;
    int tag = 0;
  } first[kNameTypeCount];
  while (p < subject_end) {
    long rdn_length = 0;
    if (!NextElement(&p, subject_end, true, V_ASN1_SET, &rdn_length) || rdn_length == 0) {
      return QuickName::kUnsure;
    }
    const unsigned char* const rdn_end = p + rdn_length;
    while (p < rdn_end) {
      long attribute_length = 0;
      if (!NextElement(&p, rdn_end, true, V_ASN1_SEQUENCE, &attribute_length)) {
        return QuickName::kUnsure;
      }
      const unsigned char* const attribute_end = p + attribute_length;
      long oid_length = 0;
      if (!NextElement(&p, attribute_end, false, V_ASN1_OBJECT, &oid_length)) {
        return QuickName::kUnsure;
      }
      const int type = KnownType(p, oid_length);
      if (type < 0) return QuickName::kUnsure;
      p += oid_length;
      long value_length = 0;
      int value_tag = 0;
      if (!NextElement(&p, attribute_end, false, 0, &value_length, &value_tag)) {
        return QuickName::kUnsure;
      }
      const int form = TextStringForm(value_tag);
      if (form < 0) return QuickName::kUnsure;
      // One byte a character always converts, and so does UTF-8 that is
      // all ASCII; the others are checked without converting, as the
      // decoder's conversion would check them.
      if (form != MBSTRING_ASC && !(form == MBSTRING_UTF8 && IsAscii(p, value_length)) &&
          ASN1_mbstring_ncopy(nullptr, p, static_cast<int>(value_length), form,
                              B_ASN1_UTF8STRING, 0, 0) < 0) {
        return QuickName::kUnsure;
      }
      if (static_cast<size_t>(type) < kNameTypeCount && first[type].data == nullptr) {
        first[type] = {p, value_length, value_tag};
      }
      p += value_length;
      if (p != attribute_end) return QuickName::kUnsure;
    }
  }
  for (const Value& value : first) {
    if (value.data == nullptr) continue;
    // ASCII in a one-byte or UTF-8 string is its own UTF-8: libcrypto's
    // conversion would copy it byte for byte.
    if (TextStringForm(value.tag) != MBSTRING_BMP && TextStringForm(value.tag) != MBSTRING_UNIV &&
        IsAscii(value.data, value.length)) {
      DecodeUtf8Lossless(reinterpret_cast<const char*>(value.data),
                         static_cast<size_t>(value.length), name);
      return QuickName::kFound;
    }
    ASN1_STRING text{};
    text.length = static_cast<int>(value.length);
    text.type = value.tag;
    text.data = const_cast<unsigned char*>(value.data);
    unsigned char* utf8 = nullptr;
    const int utf8_length = ASN1_STRING_to_UTF8(&utf8, &text);
    if (utf8_length < 0) return QuickName::kUnsure;
    DecodeUtf8Lossless(reinterpret_cast<char*>(utf8), static_cast<size_t>(utf8_length), name);
    OPENSSL_free(utf8);
    return QuickName::kFound;
  }
  return QuickName::kNoneOfTheFour;
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
  const unsigned char* at = nullptr;
  long available = 0;
  if (!FindSubject(der, size, &at, &available)) return CRYPT_E_ASN1_CORRUPT;
  switch (ReadNameQuickly(at, available, name)) {
    case QuickName::kFound:
      return ERROR_SUCCESS;
    case QuickName::kNoneOfTheFour:
      *name = AltNameFallback(der, size);
      return ERROR_SUCCESS;
    case QuickName::kUnsure:
      break;
  }
  name->clear();
  return SimpleDisplayNameByFullDecode(der, size, name);
}

DWORD SimpleDisplayNameByFullDecode(const BYTE* der, size_t size, std::wstring* name) {
  name->clear();
  const unsigned char* at = nullptr;
  long available = 0;
  if (!FindSubject(der, size, &at, &available)) return CRYPT_E_ASN1_CORRUPT;
  std::unique_ptr<X509_NAME, NameFree> subject(d2i_X509_NAME(nullptr, &at, available));
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
