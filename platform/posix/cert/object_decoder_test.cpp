// CryptQueryObject over files, called exactly as the tool calls it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "platform/posix/base/wide_text.h"
#include "platform/posix/wincrypt_posix.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

struct Outcome {
  BOOL ok = FALSE;
  DWORD error = ERROR_SUCCESS;
  DWORD content_type = 0;
  DWORD format_type = 0;
  const void* context = nullptr;
};

Outcome Query(const std::string& path) {
  Outcome out;
  const std::wstring wide = DecodeUtf8Lossless(path);
  SetLastError(ERROR_SUCCESS);
  out.ok = CryptQueryObject(CERT_QUERY_OBJECT_FILE, wide.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                            CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, &out.content_type,
                            &out.format_type, nullptr, nullptr, &out.context);
  out.error = GetLastError();
  return out;
}

// The DER a returned context carries, released as the tool releases it.
Bytes TakeContext(const Outcome& out) {
  if (out.context == nullptr) return {};
  Bytes der;
  if (out.content_type == CERT_QUERY_CONTENT_CERT) {
    auto* cert = static_cast<PCCERT_CONTEXT>(out.context);
    der.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
    CertFreeCertificateContext(cert);
  } else if (out.content_type == CERT_QUERY_CONTENT_CRL) {
    auto* crl = static_cast<PCCRL_CONTEXT>(out.context);
    der.assign(crl->pbCrlEncoded, crl->pbCrlEncoded + crl->cbCrlEncoded);
    CertFreeCRLContext(crl);
  } else {
    ADD_FAILURE() << "a context came back for content type " << out.content_type;
  }
  return der;
}

std::string AsnHex(const Bytes& der, bool upper, size_t bytes_per_line, const char* gap) {
  std::string text = "{ASN}\n";
  char digits[3];
  for (size_t i = 0; i < der.size(); ++i) {
    std::snprintf(digits, sizeof digits, upper ? "%02X" : "%02x", der[i]);
    text += digits;
    text += (i + 1) % bytes_per_line == 0 ? "\n" : gap;
  }
  return text + "\n";
}

std::string WithCrlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

Bytes Cut(const Bytes& der) { return Bytes(der.begin(), der.begin() + der.size() / 2); }

TEST(CryptQueryObjectTest, RecognisesContentInEveryForm) {
  const Bytes cert = MakeCertificate("tkvcert decoder test");
  const Bytes second = MakeCertificate("tkvcert second", 2);
  const Bytes crl = MakeCrl();
  const std::string pem = ToPem(cert);
  Bytes trailing = cert;
  trailing.insert(trailing.end(), {0x00, 0x00, 0x30, 0x03, 0xFF});

  struct Case {
    const char* name;
    std::string contents;
    DWORD error;  // ERROR_SUCCESS when the call must succeed
    DWORD content_type;
    DWORD format_type;
    Bytes context_der;  // empty when no context must come back
  };
  const DWORD kCert = CERT_QUERY_CONTENT_CERT;
  const DWORD kBinary = CERT_QUERY_FORMAT_BINARY;
  const DWORD kBase64 = CERT_QUERY_FORMAT_BASE64_ENCODED;
  const DWORD kHex = CERT_QUERY_FORMAT_ASN_ASCII_HEX_ENCODED;
  const std::vector<Case> cases = {
      {"der", Text(cert), ERROR_SUCCESS, kCert, kBinary, cert},
      {"der with trailing bytes", Text(trailing), ERROR_SUCCESS, kCert, kBinary, cert},
      {"pem lf", pem, ERROR_SUCCESS, kCert, kBase64, cert},
      {"pem crlf", WithCrlf(pem), ERROR_SUCCESS, kCert, kBase64, cert},
      {"pem with utf-8 bom", "\xEF\xBB\xBF" + pem, ERROR_SUCCESS, kCert, kBase64, cert},
      {"pem inside text", "Issued for testing.\n\n" + pem + "\nEnd of file.\n", ERROR_SUCCESS,
       kCert, kBase64, cert},
      {"pem trusted certificate label", ToPem(cert, "TRUSTED CERTIFICATE"), ERROR_SUCCESS,
       kCert, kBase64, cert},
      {"pem x509 certificate label", ToPem(cert, "X509 CERTIFICATE"), ERROR_SUCCESS, kCert,
       kBase64, cert},
      {"pem bundle yields the first", pem + ToPem(second), ERROR_SUCCESS, kCert, kBase64, cert},
      {"bare base64", ToBase64(cert), ERROR_SUCCESS, kCert, kBase64, cert},
      {"asn hex upper", AsnHex(cert, true, 16, " "), ERROR_SUCCESS, kCert, kHex, cert},
      {"asn hex lower", AsnHex(cert, false, 32, ""), ERROR_SUCCESS, kCert, kHex, cert},
      {"asn hex with a nul and more after it", AsnHex(cert, true, 16, " ") + std::string("\0zzz", 4),
       CRYPT_E_NO_MATCH, 0, 0, {}},
      {"truncated der", Text(Cut(cert)), CRYPT_E_NO_MATCH, 0, 0, {}},
      {"truncated pem", pem.substr(0, pem.size() / 2), CRYPT_E_NO_MATCH, 0, 0, {}},
      {"private key before certificate", PrivateKeyPem() + pem, CRYPT_E_NO_MATCH, 0, 0, {}},
      {"crl der", Text(crl), ERROR_SUCCESS, CERT_QUERY_CONTENT_CRL, kBinary, crl},
      {"crl pem", ToPem(crl, "X509 CRL"), ERROR_SUCCESS, CERT_QUERY_CONTENT_CRL, kBase64, crl},
      {"p7b", Text(MakePkcs7(cert)), ERROR_SUCCESS, CERT_QUERY_CONTENT_PKCS7_SIGNED, kBinary, {}},
      {"pfx", Text(MakePfx(cert)), ERROR_SUCCESS, CERT_QUERY_CONTENT_PFX, kBinary, {}},
      {"csr", Text(MakeCsr("tkvcert request")), ERROR_SUCCESS, CERT_QUERY_CONTENT_PKCS10,
       kBinary, {}},
      {"empty file", "", ERROR_SUCCESS, CERT_QUERY_CONTENT_SERIALIZED_STORE, kBinary, {}},
      {"garbage bytes", std::string("\x00\xFF\x13\x37\x80\x7F\xC3\x28\x01", 9), CRYPT_E_NO_MATCH,
       0, 0, {}},
      {"plain text", "this is not a certificate\n", CRYPT_E_NO_MATCH, 0, 0, {}},
      {"whitespace only", " \t\r\n\n   \n", CRYPT_E_NO_MATCH, 0, 0, {}},
  };

  TempDir dir;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("object" + std::to_string(i));
    WriteFile(path, c.contents);
    const Outcome out = Query(path);
    const Bytes context_der = TakeContext(out);
    if (c.error != ERROR_SUCCESS) {
      EXPECT_FALSE(out.ok);
      EXPECT_EQ(out.error, c.error);
      EXPECT_EQ(out.context, nullptr);
      continue;
    }
    EXPECT_TRUE(out.ok) << "last error " << std::hex << out.error;
    EXPECT_EQ(out.content_type, c.content_type);
    EXPECT_EQ(out.format_type, c.format_type);
    EXPECT_EQ(out.context != nullptr, !c.context_der.empty());
    EXPECT_EQ(context_der, c.context_der);
  }
}

TEST(CryptQueryObjectTest, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  const std::string plain = dir.File("plain");
  WriteFile(plain, ToPem(MakeCertificate("tkvcert plain")));
  ASSERT_EQ(mkdir(dir.File("subdir").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  const std::string sparse = dir.File("sparse");
  WriteFile(sparse, "");
  ASSERT_EQ(truncate(sparse.c_str(), 2LL << 30), 0);
  ASSERT_EQ(symlink("loop_b", dir.File("loop_a").c_str()), 0);
  ASSERT_EQ(symlink("loop_a", dir.File("loop_b").c_str()), 0);

  struct Case {
    const char* name;
    std::string path;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"missing file", dir.File("missing"), ERROR_FILE_NOT_FOUND},
      {"path through a file", plain + "/x", ERROR_PATH_NOT_FOUND},
      {"directory", dir.File("subdir"), ERROR_ACCESS_DENIED},
      {"fifo with no writer", dir.File("fifo"), ERROR_NOT_SUPPORTED},
      {"device", "/dev/zero", ERROR_NOT_SUPPORTED},
      {"2 GiB sparse file", sparse, ERROR_FILE_TOO_LARGE},
      {"symlink loop", dir.File("loop_a"), ERROR_CANT_RESOLVE_FILENAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // On its own thread so that a read that blocks fails the case, not the run.
    auto pending = std::async(std::launch::async, Query, c.path);
    if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the call blocked";
      const int writer = open(c.path.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) close(writer);  // a blocked FIFO reader now sees end of file
    }
    const Outcome out = pending.get();
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, c.error) << std::hex << "0x" << out.error;
    EXPECT_EQ(out.context, nullptr);
    TakeContext(out);
  }
}

TEST(CryptQueryObjectTest, ReachesFileWhoseNameIsNotUtf8) {
  TempDir dir;
  const Bytes cert = MakeCertificate("tkvcert latin-1 name");
  const std::string path = dir.File("caf\xE9.pem");
  WriteFile(path, ToPem(cert));
  // The stray byte travels as its escape character, not as text.
  const wchar_t escaped = static_cast<wchar_t>(0xDCE9);
  ASSERT_NE(DecodeUtf8Lossless(path).find(escaped), std::wstring::npos);

  const Outcome out = Query(path);
  EXPECT_TRUE(out.ok) << "last error " << std::hex << out.error;
  EXPECT_EQ(out.content_type, static_cast<DWORD>(CERT_QUERY_CONTENT_CERT));
  EXPECT_EQ(TakeContext(out), cert);
}

TEST(CryptQueryObjectTest, RefusesCallsTheToolNeverMakes) {
  TempDir dir;
  const std::string path = dir.File("cert.pem");
  WriteFile(path, ToPem(MakeCertificate("tkvcert refused")));
  const std::wstring wide = DecodeUtf8Lossless(path);

  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  struct Case {
    const char* name;
    DWORD object_type;
    HCERTSTORE* store;
    HCRYPTMSG* message;
  };
  const Case cases[] = {
      {"blob object", CERT_QUERY_OBJECT_BLOB, nullptr, nullptr},
      {"store asked for", CERT_QUERY_OBJECT_FILE, &store, nullptr},
      {"message asked for", CERT_QUERY_OBJECT_FILE, nullptr, &message},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD content_type = 0;
    DWORD format_type = 0;
    const void* context = nullptr;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CryptQueryObject(c.object_type, wide.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                                  CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, &content_type,
                                  &format_type, c.store, c.message, &context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(message, nullptr);
  }
}

}  // namespace
}  // namespace tkv::testing
