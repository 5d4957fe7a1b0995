// CryptQueryObject for files.
#include <cstring>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/cert/object_decoder.h"
#include "platform/posix/api/process.h"
#include "platform/posix/base/terminal_text.h"
#include "platform/posix/base/wide_text.h"

namespace tkv {
namespace {

// A path as a shell command line takes it: as it is when nothing in it is
// special to a shell, else single-quoted (and never read as an option).
std::string ShellWord(const std::string& path) {
  if (!path.empty() && path[0] != '-' && path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789_./+-:@%,=") == std::string::npos) {
    return path;
  }
  std::string quoted = path[0] == '-' ? "'./" : "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// What a file that is no certificate holds, for the admin: the Windows
// lines say only that the query failed or found no certificate.
std::string WhatItHolds(const std::string& path, const std::vector<BYTE>& contents, DWORD content_type,
                        bool decoded) {
  if (decoded) {
    switch (content_type) {
      case CERT_QUERY_CONTENT_CRL:
        return "a certificate revocation list (CRL), not a certificate";
      case CERT_QUERY_CONTENT_PKCS7_SIGNED:
      case CERT_QUERY_CONTENT_PKCS7_UNSIGNED:
        return "a PKCS#7 bundle: take the CA's certificate out of it (openssl pkcs7 -print_certs) and install that";
      case CERT_QUERY_CONTENT_PKCS10:
        return "a certificate request (PKCS#10), which a CA signs; install the CA's certificate instead";
      case CERT_QUERY_CONTENT_PFX:
        // Windows exports a CA with its key: its certificate is the key's, which
        // -clcerts takes and -cacerts leaves. OpenSSL 3 reads the RC2 of older
        // exports only with -legacy.
        return "a PKCS#12 file: take the CA's certificate out of it (openssl pkcs12 -in " + ShellWord(path) +
               " -nokeys -clcerts -out ca.pem, adding -legacy when OpenSSL calls it unsupported) and install that";
      case CERT_QUERY_CONTENT_SERIALIZED_STORE:
        return "nothing: it is empty";
    }
    return "";
  }
  PemBlockScanner scanner(contents.data(), contents.size());
  PemBlock block;
  if (!scanner.Next(&block)) {
    return "nothing libcrypto reads as a certificate: neither PEM, DER, Base64 nor {ASN} hex";
  }
  const std::string label(reinterpret_cast<const char*>(block.label), block.label_length);
  if (block.IsCertificate()) return "a CERTIFICATE block that is cut short or does not decode";
  if (label.find("PRIVATE KEY") != std::string::npos) {
    return "a private key (" + label + ") first: a file to install holds the certificate first, and no key";
  }
  return "a " + EscapeControls(label) + " block first, not a certificate";
}

void SayWhatItHolds(const std::string& path, const std::vector<BYTE>& contents, DWORD content_type, bool decoded) {
  const std::string holds = WhatItHolds(EscapeControls(path), contents, content_type, decoded);
  if (!holds.empty()) RunListener().Said(EscapeControls(path) + " holds " + holds, false);
}

}  // namespace
}  // namespace tkv

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
    RunListener().Said("cannot read " + path + ": " + (code == ERROR_NOT_SUPPORTED ? "not a regular file" : strerror(errno)),
                      false);
    return Fail(code);
  }
  DecodedObject decoded;
  if (DWORD code = DecodeObject(contents.data(), contents.size(), dwExpectedContentTypeFlags,
                                dwExpectedFormatTypeFlags, &decoded)) {
    SayWhatItHolds(path, contents, 0, false);
    return Fail(code);
  }
  if (decoded.content_type != CERT_QUERY_CONTENT_CERT) SayWhatItHolds(path, contents, decoded.content_type, true);

  if (pdwMsgAndCertEncodingType != nullptr) {
    *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  }
  if (pdwContentType != nullptr) *pdwContentType = decoded.content_type;
  if (pdwFormatType != nullptr) *pdwFormatType = decoded.format_type;
  if (decoded.content_type == CERT_QUERY_CONTENT_CERT) {
    // Only the first certificate counts; the admin hears of the others.
    size_t certificates = 0;
    for (const AnchorBlock& block : ParseAnchorFile(contents)) certificates += block.decoded ? 1 : 0;
    RunListener().Queried(decoded.encoded, certificates > 1 ? certificates - 1 : 0);
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
