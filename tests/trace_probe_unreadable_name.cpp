// The tool with one change, for the call trace test: the name of a
// certificate whose simple display name begins with "Unreadable" cannot be
// read. Wine's crypt32 gives every certificate it enumerates a name (an empty
// one at worst), so the tool's warning path cannot be reached otherwise.
//
// The real CertGetNameStringW is still called, with the tool's own
// arguments, so the trace shows them; then its answer is replaced by the
// failure a certificate whose subject does not decode would give. Linked
// before the tool's libraries, the pointer below takes the place of
// CertGetNameStringW's entry in the import table.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

namespace {

using GetNameFunction = decltype(&CertGetNameStringW);

bool MarkedUnreadable(const WCHAR* name) {
  const WCHAR marker[] = L"Unreadable";
  for (size_t i = 0; marker[i] != L'\0'; ++i) {
    if (name[i] != marker[i]) return false;
  }
  return true;
}

DWORD WINAPI GetNameUnlessMarked(PCCERT_CONTEXT certificate, DWORD type, DWORD flags,
                                 void* type_parameter, LPWSTR name, DWORD size) {
  static const auto get_name = reinterpret_cast<GetNameFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"crypt32.dll"), "CertGetNameStringW")));
  const DWORD length = get_name(certificate, type, flags, type_parameter, name, size);
  if (name == nullptr || size == 0 || !MarkedUnreadable(name)) return length;
  name[0] = L'\0';
  SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  return 0;
}

}  // namespace

extern "C" {
GetNameFunction __imp_CertGetNameStringW = GetNameUnlessMarked;
}
