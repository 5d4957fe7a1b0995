// CertGetNameStringW: the buffer contract of the API, over the name reader.
#include <algorithm>
#include <string>

#include "platform/posix/api/cert_context.h"
#include "platform/posix/api/system_store.h"
#include "platform/posix/base/terminal_text.h"
#include "platform/posix/cert/certificate_name.h"

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString) {
  (void)pvTypePara;
  if (pCertContext == nullptr || dwType != CERT_NAME_SIMPLE_DISPLAY_TYPE || dwFlags != 0) {
    SetLastError(E_INVALIDARG);
    return 0;
  }
  // One buffer for every call: a scan reads a name per anchor.
  static thread_local std::wstring name;
  if (DWORD code = tkv::SimpleDisplayName(pCertContext->pbCertEncoded,
                                          pCertContext->cbCertEncoded, &name)) {
    // The Windows warning names no file: the admin hears which anchor it is.
    const tkv::CertificateContext* context = tkv::Impl(pCertContext);
    if (context->store && context->store->listing && context->file_index < context->store->listing->size()) {
      tkv::Command& command = *context->store->command;
      const std::string path =
          context->store->location.anchors_path() + "/" + (*context->store->listing)[context->file_index];
      if (command.FirstTime("name of " + path)) {
        command.Complain(tkv::EscapeControls(path) + " holds a certificate whose name cannot be read: it is " +
                         "cut short or does not decode; clients do not trust it");
      }
    }
    SetLastError(code);
    return 0;
  }
  // What a removal's scan reads is what the admin hears of, should nothing match.
  if (const auto& store = tkv::Impl(pCertContext)->store) store->command->events().NameRead(name);
  SetLastError(ERROR_SUCCESS);
  if (pszNameString == nullptr || cchNameString == 0) return static_cast<DWORD>(name.size() + 1);
  const size_t copied = std::min<size_t>(name.size(), cchNameString - 1);
  name.copy(pszNameString, copied);
  pszNameString[copied] = L'\0';
  return static_cast<DWORD>(copied + 1);
}
