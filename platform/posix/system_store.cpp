// CertOpenStore, CertCloseStore and CertAddCertificateContextToStore for the
// local machine's "Root" store.
#include "platform/posix/system_store.h"

#include <strings.h>
#include <wctype.h>

#include "platform/posix/anchor_directory.h"
#include "platform/posix/anchor_format.h"
#include "platform/posix/cert_context.h"
#include "platform/posix/last_error.h"

namespace tkv {
namespace {

// System store names are case-insensitive on Windows.
bool IsRootStoreName(LPCWSTR name) {
  const wchar_t* expected = L"root";
  for (; *name != L'\0' && *expected != L'\0'; ++name, ++expected) {
    if (towlower(static_cast<wint_t>(*name)) != static_cast<wint_t>(*expected)) return false;
  }
  return *name == L'\0' && *expected == L'\0';
}

}  // namespace

StoreHandle* HandleFrom(HCERTSTORE store) {
  auto* handle = static_cast<StoreHandle*>(store);
  return handle != nullptr && handle->magic == StoreHandle::kMagic ? handle : nullptr;
}

BOOL ChangeStore(const StoreData& store, const std::function<DWORD(AnchorChange&)>& change) {
  if (store.read_only) return Fail(ERROR_ACCESS_DENIED);
  // A change that no refresh could publish is not made at all.
  RefreshCommand refresh;
  if (DWORD code = PlanRefresh(store.location, &refresh)) return Fail(code);
  LockedAnchorDirectory dir;
  if (DWORD code = LockedAnchorDirectory::Open(store.location.anchors_dir, kStoreLockPatience, &dir)) {
    return Fail(code);
  }
  AnchorChange pending(dir);
  if (DWORD code = change(pending)) return Fail(code);
  if (DWORD code = RefreshStore(store.location, dir.fd())) {
    return Fail(code);  // `pending` rolls the directory back
  }
  pending.Commit();
  return TRUE;
}

}  // namespace tkv

using tkv::Fail;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara) {
  constexpr DWORD kKnownFlags = CERT_SYSTEM_STORE_LOCATION_MASK | CERT_STORE_OPEN_EXISTING_FLAG |
                                CERT_STORE_READONLY_FLAG;
  if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W || hCryptProv != 0 || pvPara == nullptr ||
      (dwFlags & ~kKnownFlags) != 0 ||
      (dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK) != CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    Fail(E_INVALIDARG);
    return nullptr;
  }
  (void)dwEncodingType;  // ignored for system stores, as on Windows
  if (!tkv::IsRootStoreName(static_cast<LPCWSTR>(pvPara))) {
    Fail((dwFlags & CERT_STORE_OPEN_EXISTING_FLAG) ? ERROR_FILE_NOT_FOUND : E_INVALIDARG);
    return nullptr;
  }

  auto data = std::make_shared<tkv::StoreData>();
  if (DWORD code = tkv::LocateStore(tkv::SystemRoot(), &data->location)) {
    Fail(code);
    return nullptr;
  }
  data->read_only = (dwFlags & CERT_STORE_READONLY_FLAG) != 0;
  auto* handle = new tkv::StoreHandle();
  handle->data = std::move(data);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  (void)dwFlags;
  if (hCertStore == nullptr) return TRUE;
  tkv::StoreHandle* handle = tkv::HandleFrom(hCertStore);
  if (handle == nullptr) return Fail(E_INVALIDARG);
  handle->magic = 0;
  delete handle;
  return TRUE;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
  if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
  tkv::StoreHandle* handle = tkv::HandleFrom(hCertStore);
  // The store is keyed by thumbprint, so every disposition but "new" ends
  // with one copy; no other is asked for by the tool.
  if (handle == nullptr || pCertContext == nullptr || ppStoreContext != nullptr ||
      dwAddDisposition != CERT_STORE_ADD_ALWAYS) {
    return Fail(E_INVALIDARG);
  }
  const std::vector<BYTE> der(pCertContext->pbCertEncoded,
                              pCertContext->pbCertEncoded + pCertContext->cbCertEncoded);
  const std::string name = tkv::AnchorFileName(der);
  const std::string pem = tkv::PemCertificate(der);
  if (name.empty() || pem.empty()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (!tkv::ChangeStore(*handle->data, [&](tkv::AnchorChange& change) {
        return change.Replace(name, pem);
      })) {
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
