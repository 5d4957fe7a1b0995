// CertGetNameStringW(CERT_NAME_SIMPLE_DISPLAY_TYPE) and the name it is built on.
#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/posix/api/cert_context.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/anchors/store_names.h"
#include "platform/posix/wincrypt_posix.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

struct ContextFree {
  void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

ContextPtr Context(const Bytes& der) { return ContextPtr(NewCertificateContext(der)); }

DWORD GetName(PCCERT_CONTEXT context, WCHAR* buffer, DWORD size) {
  return CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, size);
}

// Asks for the size, then for the name in a buffer of exactly that size, as
// the tool does.
std::wstring DisplayName(const Bytes& der) {
  ContextPtr context = Context(der);
  const DWORD needed = GetName(context.get(), nullptr, 0);
  EXPECT_GE(needed, 1u);
  if (needed == 0) return L"<failed>";
  std::vector<WCHAR> buffer(needed, L'#');
  EXPECT_EQ(GetName(context.get(), buffer.data(), needed), needed);
  EXPECT_EQ(buffer.back(), L'\0');
  return std::wstring(buffer.data());
}

// A certificate the shared maker cannot produce: an issuer other than the subject.
void UseOtherIssuer(X509* cert) {
  std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> issuer(X509_NAME_new(), X509_NAME_free);
  X509_NAME_add_entry_by_txt(issuer.get(), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Issuer CA"), -1, -1, 0);
  X509_set_issuer_name(cert, issuer.get());
}

NameEntry Utf8(const std::string& field, const std::string& value) {
  return {field, value, V_ASN1_UTF8STRING};
}

NameEntry Printable(const std::string& field, const std::string& value) {
  return {field, value, V_ASN1_PRINTABLESTRING};
}

NameEntry Ia5(const std::string& field, const std::string& value) {
  return {field, value, V_ASN1_IA5STRING};
}

struct NameCase {
  const char* label;
  CertSpec cert;
  std::wstring expected;
  void (*change)(X509*) = nullptr;
};

std::vector<NameCase> NameCases() {
  const std::string ipv4("\xC0\x00\x02\x01", 4);
  std::string ipv6(16, '\0');
  ipv6[0] = '\x20', ipv6[1] = '\x01', ipv6[2] = '\x0D', ipv6[3] = '\xB8', ipv6[15] = '\x01';
  // The attributes the rule prefers come last, so taking the first
  // attribute of any kind picks the wrong one.
  return {
      {"CommonNameOnly", {{Utf8("CN", "Root CA")}, {}}, L"Root CA"},
      {"CommonNameBeatsOrgAndUnit",
       {{Printable("C", "DE"), Utf8("O", "Org"), Utf8("OU", "Unit"), Utf8("CN", "Name")}, {}},
       L"Name"},
      {"UnitBeatsOrg", {{Utf8("O", "Org"), Utf8("OU", "Unit")}, {}}, L"Unit"},
      {"OrgOnly", {{Printable("C", "US"), Utf8("O", "Org")}, {}}, L"Org"},
      {"OrgBeatsEmail", {{Ia5("emailAddress", "ca@example.test"), Utf8("O", "Org")}, {}}, L"Org"},
      {"EmailOnly", {{Printable("C", "US"), Ia5("emailAddress", "ca@example.test")}, {}},
       L"ca@example.test"},
      {"SubjectEmailBeatsAltName",
       {{Ia5("emailAddress", "subject@example.test")}, {{GEN_EMAIL, "alt@example.test"}}},
       L"subject@example.test"},
      {"CountryOnlyIsEmpty", {{Printable("C", "US")}, {}}, L""},
      {"AltNameEmailAfterDns",
       {{Printable("C", "US")}, {{GEN_DNS, "ca.example.test"}, {GEN_EMAIL, "ca@example.test"}}},
       L"ca@example.test"},
      {"AltNameDnsOnly", {{Printable("C", "US")}, {{GEN_DNS, "ca.example.test"}}},
       L"ca.example.test"},
      {"AltNameUriFirst",
       {{Printable("C", "US")}, {{GEN_URI, "https://ca.example.test/"}, {GEN_DNS, "x.test"}}},
       L"https://ca.example.test/"},
      {"AltNameIpv4First", {{Printable("C", "US")}, {{GEN_IPADD, ipv4}, {GEN_DNS, "x.test"}}},
       L"192.0.2.1"},
      {"AltNameIpv6", {{Printable("C", "US")}, {{GEN_IPADD, ipv6}}}, L"2001:db8::1"},
      {"FirstOfTwoCommonNames", {{Utf8("CN", "First"), Utf8("CN", "Second")}, {}}, L"First"},
      {"Utf8NonAscii", {{Utf8("CN", "Z\u00FCrich \u041F\u0440\u043E\u0432\u0435\u0440\u043A\u0430")}, {}},
       L"Z\u00FCrich \u041F\u0440\u043E\u0432\u0435\u0440\u043A\u0430"},
      {"Utf8OutsideBmp", {{Utf8("CN", "Lock \U0001F512")}, {}}, L"Lock \U0001F512"},
      {"BmpString", {{{"CN", "B\u00E9r \u20AC \u65E5\u672C", V_ASN1_BMPSTRING}}, {}},
       L"B\u00E9r \u20AC \u65E5\u672C"},
      {"T61StringIsLatin1", {{{"CN", "Caf\u00E9", V_ASN1_T61STRING}}, {}}, L"Caf\u00E9"},
      {"UniversalString", {{{"CN", "U \u00E9 \U0001F512", V_ASN1_UNIVERSALSTRING}}, {}},
       L"U \u00E9 \U0001F512"},
      {"EmptyCommonNameDoesNotFallBack", {{Utf8("O", "Org"), Utf8("CN", "")}, {}}, L""},
      {"Version1Certificate", {{Utf8("O", "Org"), Utf8("CN", "Old Root")}, {}}, L"Old Root",
       MakeVersion1},
      {"SubjectNotIssuer", {{Utf8("OU", "Subject Unit")}, {}}, L"Subject Unit", UseOtherIssuer},
  };
}

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class SimpleDisplayNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(SimpleDisplayNameTest, PicksTheName) {
  const NameCase& c = GetParam();
  Bytes der = MakeCertificate(c.cert);
  if (c.change != nullptr) der = Resigned(der, c.change);
  ASSERT_FALSE(der.empty());
  if (c.change != nullptr) {
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    ASSERT_TRUE(cert);
    ASSERT_TRUE(X509_get_version(cert.get()) == X509_VERSION_1 ||
                X509_NAME_cmp(X509_get_issuer_name(cert.get()),
                              X509_get_subject_name(cert.get())) != 0)
        << "the certificate was not changed";
  }

  EXPECT_EQ(DisplayName(der), c.expected);
  std::wstring name = L"stale";
  EXPECT_EQ(SimpleDisplayName(der.data(), der.size(), &name), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(name, c.expected);
}

// The name is read from the subject's DER without decoding the whole
// subject where the subject is plain; it must be what decoding gives.
TEST_P(SimpleDisplayNameTest, AgreesWithTheFullDecoder) {
  const NameCase& c = GetParam();
  Bytes der = MakeCertificate(c.cert);
  if (c.change != nullptr) der = Resigned(der, c.change);
  std::wstring quick = L"stale";
  std::wstring full = L"stale";
  EXPECT_EQ(SimpleDisplayName(der.data(), der.size(), &quick),
            SimpleDisplayNameByFullDecode(der.data(), der.size(), &full));
  EXPECT_EQ(quick, full);
}

INSTANTIATE_TEST_SUITE_P(Names, SimpleDisplayNameTest, ::testing::ValuesIn(NameCases()),
                         [](const ::testing::TestParamInfo<NameCase>& row) {
                           return std::string(row.param.label);
                         });

// An empty name still has its terminator.
TEST(CertGetNameStringW, EmptyNameReturnsOne) {
  ContextPtr context = Context(MakeCertificate(CertSpec{{Printable("C", "US")}, {}}));
  EXPECT_EQ(GetName(context.get(), nullptr, 0), 1u);
  WCHAR buffer[4] = {L'#', L'#', L'#', L'#'};
  EXPECT_EQ(GetName(context.get(), buffer, 4), 1u);
  EXPECT_EQ(buffer[0], L'\0');
}

// A NUL inside a name is part of it: the count covers what follows, so a
// caller comparing by length never takes the name for the text before it.
TEST(CertGetNameStringW, ANulInsideTheNameIsCounted) {
  const std::string value("Null CA\0.evil", 13);
  const std::wstring expected(L"Null CA\0.evil", 13);
  for (int type : {V_ASN1_UTF8STRING, V_ASN1_BMPSTRING, V_ASN1_T61STRING, V_ASN1_UNIVERSALSTRING}) {
    SCOPED_TRACE(type);
    ContextPtr context = Context(MakeCertificate(CertSpec{{{"CN", value, type}}, {}}));
    EXPECT_EQ(GetName(context.get(), nullptr, 0), expected.size() + 1);
    std::vector<WCHAR> buffer(expected.size() + 2, L'#');
    ASSERT_EQ(GetName(context.get(), buffer.data(), static_cast<DWORD>(buffer.size())),
              expected.size() + 1);
    EXPECT_EQ(std::wstring(buffer.data(), expected.size()), expected);
    EXPECT_EQ(buffer[expected.size()], L'\0');
  }
}

class LongNameTest : public ::testing::Test {
 protected:
  static constexpr DWORD kLength = 5000;
  void SetUp() override {
    for (DWORD i = 0; i < kLength; ++i) expected_.push_back(static_cast<char>('a' + i % 26));
    context_ = Context(MakeCertificate(CertSpec{{Utf8("CN", expected_)}, {}}));
  }
  std::wstring Expected(size_t length) const {
    return std::wstring(expected_.begin(), expected_.begin() + static_cast<long>(length));
  }
  // One unit past `size` is a guard: nothing may be written there.
  std::wstring Call(DWORD size, DWORD* result) {
    buffer_.assign(size + 2, L'#');
    buffer_.back() = L'\0';
    *result = GetName(context_.get(), buffer_.data(), size);
    EXPECT_EQ(buffer_[size], L'#') << "written past the buffer";
    return std::wstring(buffer_.data(), std::min<size_t>(size, std::wcslen(buffer_.data())));
  }
  std::string expected_;
  ContextPtr context_;
  std::vector<WCHAR> buffer_;
};

TEST_F(LongNameTest, SizeQueryCountsTheTerminator) {
  EXPECT_EQ(GetName(context_.get(), nullptr, 0), kLength + 1);
  EXPECT_EQ(GetName(context_.get(), nullptr, 10), kLength + 1);
}

TEST_F(LongNameTest, ZeroSizeWritesNothing) {
  DWORD result = 0;
  buffer_.assign(1, L'#');
  result = GetName(context_.get(), buffer_.data(), 0);
  EXPECT_EQ(result, kLength + 1);
  EXPECT_EQ(buffer_[0], L'#');
}

TEST_F(LongNameTest, ShortBufferIsCutAndTerminated) {
  DWORD result = 0;
  EXPECT_EQ(Call(4096, &result), Expected(4095));
  EXPECT_EQ(result, 4096u);
  EXPECT_EQ(buffer_[4095], L'\0');
}

TEST_F(LongNameTest, OneUnitBufferGetsOnlyTheTerminator) {
  DWORD result = 0;
  EXPECT_EQ(Call(1, &result), L"");
  EXPECT_EQ(result, 1u);
}

TEST_F(LongNameTest, ExactAndLargerBuffersGetItAll) {
  for (DWORD size : {kLength + 1, kLength + 50}) {
    DWORD result = 0;
    EXPECT_EQ(Call(size, &result), Expected(kLength)) << size;
    EXPECT_EQ(result, kLength + 1) << size;
  }
}

TEST_F(LongNameTest, OneShortOfExactLosesTheLastCharacter) {
  DWORD result = 0;
  EXPECT_EQ(Call(kLength, &result), Expected(kLength - 1));
  EXPECT_EQ(result, kLength);
}

struct CorruptCase {
  const char* label;
  Bytes (*make)();
};

Bytes Truncated(size_t drop) {
  Bytes der = MakeCertificate("Truncated");
  der.resize(der.size() - drop);
  return der;
}

const CorruptCase kCorruptCases[] = {
    {"Empty", [] { return Bytes{}; }},
    {"Garbage", [] { return FromText("this is not a certificate at all"); }},
    {"LastByteMissing", [] { return Truncated(1); }},
    {"CutInTheName", [] {
       Bytes der = MakeCertificate("Truncated");
       der.resize(Text(der).find("Truncated") + 4);
       return der;
     }},
    {"NoTbsSequence", [] { return Bytes{0x30, 0x03, 0x02, 0x01, 0x01}; }},
    {"TbsEndsBeforeSubject", [] { return Bytes{0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x01}; }},
};

void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.label; }

class CorruptCertificateTest : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptCertificateTest, FailsWithAsn1Corrupt) {
  const Bytes der = GetParam().make();
  ContextPtr context = Context(der);
  WCHAR buffer[16] = {};
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetName(context.get(), nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetName(context.get(), buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));

  std::wstring name;
  EXPECT_EQ(SimpleDisplayName(der.data(), der.size(), &name),
            static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
}

INSTANTIATE_TEST_SUITE_P(Corrupt, CorruptCertificateTest, ::testing::ValuesIn(kCorruptCases),
                         [](const ::testing::TestParamInfo<CorruptCase>& row) {
                           return std::string(row.param.label);
                         });

// `der` with the last `from` replaced by `to`, of the same length: in a
// self-signed certificate the subject comes after the issuer. The signature
// no longer matches, which no name reader looks at.
Bytes Edited(Bytes der, const std::string& from, const std::string& to) {
  const std::string text = Text(der);
  const size_t at = text.rfind(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(from.size(), to.size());
  if (at == std::string::npos || from.size() != to.size()) return {};
  std::copy(to.begin(), to.end(), der.begin() + static_cast<long>(at));
  return der;
}

void UseMultiValuedRdn(X509* cert) {
  std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
  const auto add = [&](const char* field, const char* value, int set) {
    X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, set);
  };
  add("C", "US", 0);
  add("O", "Org", 0);
  add("CN", "Multi", -1);  // in the same RDN as the organization
  X509_set_subject_name(cert, name.get());
}

struct UnusualSubject {
  const char* label;
  Bytes (*make)();
};

// Subjects the quick reader leaves to d2i_X509_NAME, or must read exactly as
// it does: the answer, success or failure, is the decoder's.
const UnusualSubject kUnusualSubjects[] = {
    {"BadUtf8InAnotherAttribute", [] {
       return Edited(MakeCertificate(CertSpec{{Utf8("O", "Org\xC3\xA9"), Utf8("CN", "Name")}, {}}),
                     "Org\xC3\xA9", "Org\xC3(");
     }},
    {"BadUtf8InTheName", [] {
       return Edited(MakeCertificate(CertSpec{{Utf8("CN", "Name\xC3\xA9")}, {}}), "Name\xC3\xA9",
                     "Name\xC3(");
     }},
    {"SurrogateInUtf8", [] {
       return Edited(MakeCertificate(CertSpec{{Utf8("CN", "x\xE4\xB8\x80")}, {}}),
                     "x\xE4\xB8\x80", "x\xED\xA0\x80");
     }},
    {"OddLengthBmpString", [] {
       return Edited(MakeCertificate(CertSpec{{Printable("O", "abc"), Utf8("CN", "Name")}, {}}),
                     "\x13\x03" "abc", "\x1E\x03" "abc");
     }},
    {"OctetStringValue", [] {
       return Edited(MakeCertificate(CertSpec{{Printable("C", "US"), Utf8("CN", "Name")}, {}}),
                     "\x13\x02US", "\x04\x02US");
     }},
    {"NumericStringName", [] {
       return Edited(MakeCertificate(CertSpec{{Printable("CN", "12345")}, {}}), "\x13\x05" "12345",
                     "\x12\x05" "12345");
     }},
    {"IntegerName", [] {
       return Edited(MakeCertificate(CertSpec{{Printable("CN", "AB")}, {}}), "\x13\x02" "AB",
                     "\x02\x02" "AB");
     }},
    {"Latin1InPrintableString", [] {
       return Edited(MakeCertificate(CertSpec{{Printable("CN", "Cafe")}, {}}), "Cafe", "Caf\xE9");
     }},
    {"UnknownAttributeType", [] {
       return MakeCertificate(CertSpec{{Utf8("unstructuredName", "Other"), Utf8("CN", "Name")}, {}});
     }},
    {"MultiValuedRdn", [] { return Resigned(MakeCertificate("Single"), UseMultiValuedRdn); }},
    {"BerSubject", [] { return Indefinite(MakeCertificate("BER CA"), {0, 5}); }},
};

void PrintTo(const UnusualSubject& c, std::ostream* os) { *os << c.label; }

class UnusualSubjectTest : public ::testing::TestWithParam<UnusualSubject> {};

TEST_P(UnusualSubjectTest, QuickReaderAgreesWithTheFullDecoder) {
  const Bytes der = GetParam().make();
  ASSERT_FALSE(der.empty());
  std::wstring quick = L"stale";
  std::wstring full = L"stale";
  const DWORD quick_code = SimpleDisplayName(der.data(), der.size(), &quick);
  EXPECT_EQ(quick_code, SimpleDisplayNameByFullDecode(der.data(), der.size(), &full));
  EXPECT_EQ(quick, full);
}

INSTANTIATE_TEST_SUITE_P(Unusual, UnusualSubjectTest, ::testing::ValuesIn(kUnusualSubjects),
                         [](const ::testing::TestParamInfo<UnusualSubject>& row) {
                           return std::string(row.param.label);
                         });

// Some of them fail as a whole, whichever attribute is at fault.
TEST(UnusualSubjectTest, AnUndecodableAttributeFailsTheName) {
  for (const char* label : {"BadUtf8InAnotherAttribute", "OddLengthBmpString", "SurrogateInUtf8"}) {
    for (const UnusualSubject& c : kUnusualSubjects) {
      if (std::string(c.label) != label) continue;
      const Bytes der = c.make();
      std::wstring name;
      EXPECT_EQ(SimpleDisplayName(der.data(), der.size(), &name),
                static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))
          << label;
    }
  }
}

// Other name types and flags are never asked for by the tool.
TEST(CertGetNameStringW, UnsupportedRequestsAreInvalidArguments) {
  constexpr DWORD kEmailType = 1;
  constexpr DWORD kFriendlyDisplayType = 5;
  ContextPtr context = Context(MakeCertificate("Root CA"));
  WCHAR buffer[16] = {};
  struct Request {
    PCCERT_CONTEXT context;
    DWORD type;
    DWORD flags;
  };
  for (const Request& r : {Request{context.get(), kEmailType, 0},
                           Request{context.get(), kFriendlyDisplayType, 0},
                           Request{context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE,
                                   CERT_NAME_ISSUER_FLAG},
                           Request{nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0}}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CertGetNameStringW(r.context, r.type, r.flags, nullptr, buffer, 16), 0u)
        << r.type << "/" << r.flags;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG)) << r.type << "/" << r.flags;
  }
}

}  // namespace
}  // namespace tkv::testing

namespace tkv::testing {
namespace {

// The names offered to an admin whose removal matched nothing: the same
// letters first, then slips of a few letters, nearest first, never one far
// off, and each name once however many copies the store holds.
TEST(NameSuggestionsTest, SameLettersFirstThenTheNearest) {
  const std::vector<std::wstring> store = {
      L"ACME Corp Root CA 2026", L"Acme  Corp Root CA 2026 ", L"ACME Corp Root CA 2025",
      L"Unrelated Issuing Authority", L"ACME Corp Root CA 2026", L"\u00c4CME Corp Root CA 2026"};
  const struct {
    const char* name;
    std::wstring sought;
    size_t most;
    std::vector<std::wstring> closest;
  } cases[] = {
      {"another case and spacing first, ASCII only", L"acme corp root ca 2026", 3,
       {L"ACME Corp Root CA 2026", L"Acme  Corp Root CA 2026 ", L"ACME Corp Root CA 2025"}},
      {"then by distance", L"ACME Corp Root CA 2027", 2, {L"ACME Corp Root CA 2025", L"ACME Corp Root CA 2026"}},
      {"a non-ASCII letter is a slip, not a case", L"ACME Corp Root CA 2026", 3,
       {L"Acme  Corp Root CA 2026 ", L"ACME Corp Root CA 2025", L"\u00c4CME Corp Root CA 2026"}},
      {"nothing near", L"Proxy", 3, {}},
      {"none asked for", L"acme corp root ca 2026", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NameSuggestions suggestions(c.sought, c.most);
    for (const std::wstring& name : store) suggestions.Offer(name);
    EXPECT_EQ(suggestions.Closest(), c.closest);
  }
}

}  // namespace
}  // namespace tkv::testing
