// The tool with one change, for the call trace test: it opens the trust store
// read-only, as a user may who can read the machine's Root store but not
// change it. Wine's crypt32 then refuses the add and the deletion for real,
// with the code Windows gives a read-only store; no setting of a Wine prefix
// makes it refuse them in a store opened for writing, since Wine writes a
// registry store back only when it is closed.
//
// Linked before the tool's libraries, the pointer below takes the place of
// CertOpenStore's entry in the import table, through which the tool's own
// code calls crypt32; every other call goes where it always goes.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

namespace {

using OpenStoreFunction = decltype(&CertOpenStore);

HCERTSTORE WINAPI OpenStoreReadOnly(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY crypt_prov,
                                    DWORD flags, const void* parameter) {
  static const auto open_store = reinterpret_cast<OpenStoreFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"crypt32.dll"), "CertOpenStore")));
  return open_store(provider, encoding, crypt_prov, flags | CERT_STORE_READONLY_FLAG, parameter);
}

}  // namespace

extern "C" {
OpenStoreFunction __imp_CertOpenStore = OpenStoreReadOnly;
}
