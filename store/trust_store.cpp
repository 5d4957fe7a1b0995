#include "store/trust_store.h"

#include <cwchar>
#include <vector>

#include "platform/run_channel.h"
#include "store/reporters.h"

namespace {

HCERTSTORE OpenTrustStore() {
  return CertOpenStore(TKV_STORE_PROVIDER, TKV_STORE_ENCODING,
                       TKV_STORE_CRYPT_PROV, TKV_STORE_FLAGS, TKV_STORE_NAME);
}

bool IsCertificateContent(DWORD content_type) {
  return content_type == CERT_QUERY_CONTENT_CERT ||
         content_type == CERT_QUERY_CONTENT_SERIALIZED_CERT;
}

// A query may succeed on a file that holds something other than a
// certificate; what it hands back is released by the call that matches it.
void ReleaseQueriedContext(DWORD content_type, const void* context) {
  if (context == nullptr) return;
  switch (content_type) {
    case CERT_QUERY_CONTENT_CERT:
    case CERT_QUERY_CONTENT_SERIALIZED_CERT:
      CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(context));
      break;
    case CERT_QUERY_CONTENT_CRL:
    case CERT_QUERY_CONTENT_SERIALIZED_CRL:
      CertFreeCRLContext(static_cast<PCCRL_CONTEXT>(context));
      break;
    case CERT_QUERY_CONTENT_CTL:
    case CERT_QUERY_CONTENT_SERIALIZED_CTL:
      CertFreeCTLContext(static_cast<PCCTL_CONTEXT>(context));
      break;
    default:
      break;
  }
}

// The size the name buffer starts with; larger names are read whole so that
// a subject never matches a name it is only the beginning of.
constexpr DWORD kNameBufferSize = 4096;

// The name's length without the terminator, or -1 when it cannot be read.
// The length is what the API returns, not where the first NUL is: a name
// may hold a NUL, and what follows it is part of the name.
long ReadSimpleDisplayName(PCCERT_CONTEXT certificate, std::vector<WCHAR>* buffer) {
  buffer->resize(kNameBufferSize);
  DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                    buffer->data(), kNameBufferSize);
  if (length == kNameBufferSize) {
    const DWORD needed = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                            nullptr, nullptr, 0);
    if (needed > kNameBufferSize) {
      buffer->resize(needed);
      length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                  buffer->data(), needed);
    }
  }
  return static_cast<long>(length) - 1;
}

// Equal when both have the same length and the same code units: a name
// that goes on past a NUL is not the subject that stops there.
bool SameName(const std::vector<WCHAR>& name, long length, const wchar_t* subject) {
  const size_t subject_length = wcslen(subject);
  return static_cast<size_t>(length) == subject_length && subject_length < name.size() &&
         wmemcmp(name.data(), subject, subject_length) == 0;
}

}  // namespace

bool InstallCertificate(const wchar_t* file_name) {
  DWORD content_type = 0;
  const void* queried = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file_name,
                        CERT_QUERY_CONTENT_FLAG_ALL, CERT_QUERY_FORMAT_FLAG_ALL,
                        0, nullptr, &content_type, nullptr, nullptr, nullptr,
                        &queried)) {
    ReportError(L"CryptQueryObject failed", true, false);
    return false;
  }
  if (!IsCertificateContent(content_type) || queried == nullptr) {
    ReleaseQueriedContext(content_type, queried);
    ReportError(L"File content is not a certificate", false, false);
    return false;
  }
  PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(queried);

  bool added = false;
  HCERTSTORE store = OpenTrustStore();
  if (store == nullptr) {
    ReportError(L"Failed to open store", true, false);
  } else if (!CertAddCertificateContextToStore(store, certificate,
                                               CERT_STORE_ADD_ALWAYS, nullptr)) {
    ReportError(L"Failed to add certificate to store", true, false);
  } else {
    added = true;
  }

  // The context goes before the store, on every path.
  CertFreeCertificateContext(certificate);
  if (store != nullptr) CertCloseStore(store, 0);
  return added;
}

bool RemoveCertificate(const wchar_t* subject) {
  HCERTSTORE store = OpenTrustStore();
  if (store == nullptr) {
    ReportError(L"Failed to open store.", true, false);
    return false;
  }
  bool warned = false;
  std::vector<WCHAR> name;
  PCCERT_CONTEXT certificate = nullptr;
  // Each context goes back to the enumeration, which releases it, or to the
  // deletion, which does the same.
  while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
    const long length = ReadSimpleDisplayName(certificate, &name);
    if (length < 0) {
      if (!warned) ReportWarning(L"Get certificate name failed.Continuing...", true);
      warned = true;
      continue;
    }
    if (!AccountSelects(certificate, subject, SameName(name, length, subject))) continue;

    PrintWide(L"Removing certificate : %s \n", AccountShownName(name.data()).c_str());
    if (!CertDeleteCertificateFromStore(certificate)) {
      CertCloseStore(store, 0);
      ReportError(L"The deletion of the certificate failed.", true, true);
    }
    PutLine("The certificate has been removed.");
    break;
  }
  CertCloseStore(store, 0);
  return true;
}
