// The simple display name of any DER, and CertGetNameStringW's buffer
// contract around it: the count includes the terminator, a null buffer or a
// zero size asks for the size needed, a short buffer gets the start of the
// name, terminated, and nothing is written past the size given.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cwchar>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/base/wide_text.h"

namespace {

constexpr WCHAR kUntouched = 0x2B1C;

DWORD GetName(PCCERT_CONTEXT context, WCHAR* buffer, DWORD size) {
  return CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, size);
}

// A buffer of exactly `size` characters on the heap, so that AddressSanitizer
// sees a write past its end.
void CheckBufferOf(PCCERT_CONTEXT context, const std::wstring& name, DWORD size) {
  std::unique_ptr<WCHAR[]> buffer(new WCHAR[size]);
  std::fill(buffer.get(), buffer.get() + size, kUntouched);
  SetLastError(0xDEAD);
  const DWORD full = static_cast<DWORD>(name.size() + 1);
  const DWORD returned = GetName(context, buffer.get(), size);
  TKV_FUZZ_CHECK(GetLastError() == ERROR_SUCCESS);
  TKV_FUZZ_CHECK(returned == std::min(full, size));
  TKV_FUZZ_CHECK(buffer[returned - 1] == L'\0');
  TKV_FUZZ_CHECK(std::equal(buffer.get(), buffer.get() + returned - 1, name.begin()));
}

// The reader decodes only the start of a certificate, up to the subject.
// Whatever libcrypto's full decoder takes as a certificate, so whatever the
// tool installs, must yield the name that the subject libcrypto found gives
// -- or the tool could add a certificate that it can never remove. Checked
// where that name is one of the four attributes and is text.
void CheckAgainstFullDecoder(const uint8_t* data, size_t size, DWORD code,
                             const std::wstring& name) {
  const unsigned char* p = data;
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(size)), X509_free);
  if (!cert) return;
  const X509_NAME* subject = X509_get_subject_name(cert.get());
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                  NID_pkcs9_emailAddress}) {
    const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (index < 0) continue;
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) return;  // not text: no name to compare
    const std::wstring expected =
        tkv::DecodeUtf8Lossless(std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(length)));
    OPENSSL_free(utf8);
    TKV_FUZZ_CHECK(code == ERROR_SUCCESS);
    TKV_FUZZ_CHECK(name == expected);
    return;
  }
  TKV_FUZZ_CHECK(code == ERROR_SUCCESS);  // the alternative names, or ""
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring name = L"stale";
  const DWORD code = tkv::SimpleDisplayName(data, size, &name);
  TKV_FUZZ_CHECK(code == ERROR_SUCCESS || code == CRYPT_E_ASN1_CORRUPT);
  CheckAgainstFullDecoder(data, size, code, name);

  // Each call decodes the name again, and a name taken from the alternative
  // names decodes the whole certificate, so the sizes tried are few and
  // vary with the input rather than all being tried on every input.
  PCCERT_CONTEXT context = tkv::NewCertificateContext(std::vector<BYTE>(data, data + size));
  WCHAR unused = kUntouched;
  WCHAR* const asking_buffer = size % 2 == 0 ? nullptr : &unused;  // either asks for the size
  SetLastError(0xDEAD);
  const DWORD needed = GetName(context, asking_buffer, 0);
  TKV_FUZZ_CHECK(unused == kUntouched);
  if (code != ERROR_SUCCESS) {
    TKV_FUZZ_CHECK(needed == 0 && GetLastError() == code);
    CertFreeCertificateContext(context);
    return 0;
  }
  TKV_FUZZ_CHECK(GetLastError() == ERROR_SUCCESS);
  TKV_FUZZ_CHECK(needed == name.size() + 1);

  const DWORD cut = 1 + static_cast<DWORD>(size / 2 % needed);  // 1 up to needed itself
  CheckBufferOf(context, name, cut);
  CheckBufferOf(context, name, needed + 1);
  CertFreeCertificateContext(context);
  return 0;
}
