// The simple display name of any DER, and CertGetNameStringW's buffer
// contract around it: the count includes the terminator, a null buffer or a
// zero size asks for the size needed, a short buffer gets the start of the
// name, terminated, and nothing is written past the size given.
#include <algorithm>
#include <cwchar>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "platform/posix/cert_context.h"
#include "platform/posix/certificate_name.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring name = L"stale";
  const DWORD code = tkv::SimpleDisplayName(data, size, &name);
  TKV_FUZZ_CHECK(code == ERROR_SUCCESS || code == CRYPT_E_ASN1_CORRUPT);

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
