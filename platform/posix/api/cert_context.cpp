#include "platform/posix/api/cert_context.h"

#include "platform/posix/base/last_error.h"

namespace tkv {

PCCERT_CONTEXT NewCertificateContext(std::vector<BYTE> der) {
  auto* context = new CertificateContext();
  context->der = std::move(der);
  context->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  context->pbCertEncoded = context->der.data();
  context->cbCertEncoded = static_cast<DWORD>(context->der.size());
  context->pCertInfo = nullptr;
  context->hCertStore = nullptr;
  return context;
}

PCCRL_CONTEXT NewCrlContext(std::vector<BYTE> der) {
  auto* context = new CrlContext();
  context->der = std::move(der);
  context->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  context->pbCrlEncoded = context->der.data();
  context->cbCrlEncoded = static_cast<DWORD>(context->der.size());
  context->pCrlInfo = nullptr;
  context->hCertStore = nullptr;
  return context;
}

}  // namespace tkv

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  delete tkv::Impl(context);
  return TRUE;
}

BOOL CertFreeCRLContext(PCCRL_CONTEXT context) {
  delete static_cast<const tkv::CrlContext*>(context);
  return TRUE;
}

BOOL CertFreeCTLContext(PCCTL_CONTEXT context) {
  return context == nullptr ? TRUE : tkv::Fail(E_INVALIDARG);
}
