#include "store/trust_store.h"

#include "app/diagnostics.h"

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
