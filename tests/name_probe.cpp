// Prints, for each certificate file named on the command line, one line:
// the simple display name that CertGetNameStringW gives, as UTF-8, or
// "query failed 0x..." / "name failed 0x...". Built for Linux and for
// Windows, so that our layer's names can be compared with another
// implementation's.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/crypt_api.h"

#ifdef _WIN32
static std::string ToUtf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                      nullptr, nullptr);
  return bytes;
}
#else
#include "platform/posix/base/wide_text.h"
static std::string ToUtf8(const std::wstring& text) { return tkv::EncodeUtf8Lossless(text); }
#endif

static std::string NameOf(const std::wstring& file) {
  DWORD content_type = 0;
  const void* context = nullptr;
  char line[64];
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_CERT,
                        CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, &content_type, nullptr, nullptr,
                        nullptr, &context) ||
      context == nullptr) {
    snprintf(line, sizeof line, "query failed 0x%lx", static_cast<unsigned long>(GetLastError()));
    return line;
  }
  PCCERT_CONTEXT cert = static_cast<PCCERT_CONTEXT>(context);
  const DWORD size = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  std::vector<WCHAR> name(size == 0 ? 1 : size);
  const DWORD length = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                          name.data(), static_cast<DWORD>(name.size()));
  const DWORD error = GetLastError();
  CertFreeCertificateContext(cert);
  if (length == 0) {
    snprintf(line, sizeof line, "name failed 0x%lx", static_cast<unsigned long>(error));
    return line;
  }
  return ToUtf8(std::wstring(name.data()));
}

int main(int argc, char** argv) {
  const std::vector<std::wstring> args = GetWideArguments(argc, argv);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string name = NameOf(args[i]);
    fwrite(name.data(), 1, name.size(), stdout);
    fputc('\n', stdout);
  }
  return 0;
}
