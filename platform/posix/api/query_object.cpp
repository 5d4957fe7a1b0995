// CryptQueryObject for files.
#include <cstring>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/cert/object_decoder.h"
#include "platform/posix/api/process.h"
#include "platform/posix/base/wide_text.h"

BOOL CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                      DWORD dwExpectedContentTypeFlags,
                      DWORD dwExpectedFormatTypeFlags, DWORD dwFlags,
                      DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType,
                      DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                      HCRYPTMSG* phMsg, const void** ppvContext) {
  using namespace tkv;
  if (ppvContext != nullptr) *ppvContext = nullptr;
  // Temporary stores and messages are never asked for by the tool.
  if (dwObjectType != CERT_QUERY_OBJECT_FILE || pvObject == nullptr || dwFlags != 0 ||
      phCertStore != nullptr || phMsg != nullptr) {
    return Fail(E_INVALIDARG);
  }

  const std::string path = EncodeUtf8Lossless(static_cast<LPCWSTR>(pvObject));
  std::vector<BYTE> contents;
  if (DWORD code = ReadRegularFile(path, TKV_MAX_CERTIFICATE_FILE_SIZE, &contents)) {
    TheAccount().Said("cannot read " + path + ": " + (code == ERROR_NOT_SUPPORTED ? "not a regular file" : strerror(errno)),
                      false);
    return Fail(code);
  }
  DecodedObject decoded;
  if (DWORD code = DecodeObject(contents.data(), contents.size(), dwExpectedContentTypeFlags,
                                dwExpectedFormatTypeFlags, &decoded)) {
    return Fail(code);
  }

  if (pdwMsgAndCertEncodingType != nullptr) {
    *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  }
  if (pdwContentType != nullptr) *pdwContentType = decoded.content_type;
  if (pdwFormatType != nullptr) *pdwFormatType = decoded.format_type;
  if (decoded.content_type == CERT_QUERY_CONTENT_CERT) {
    // Only the first certificate counts; the admin hears of the others.
    size_t certificates = 0;
    for (const AnchorBlock& block : ParseAnchorFile(contents)) certificates += block.decoded ? 1 : 0;
    TheAccount().Queried(decoded.encoded, certificates > 1 ? certificates - 1 : 0);
  }
  if (ppvContext != nullptr) {
    if (decoded.content_type == CERT_QUERY_CONTENT_CERT) {
      *ppvContext = NewCertificateContext(std::move(decoded.encoded));
    } else if (decoded.content_type == CERT_QUERY_CONTENT_CRL) {
      *ppvContext = NewCrlContext(std::move(decoded.encoded));
    }
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
