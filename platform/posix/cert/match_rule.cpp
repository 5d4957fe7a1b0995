#include "platform/posix/cert/match_rule.h"

#include <openssl/evp.h>

#include <cctype>
#include <cwctype>

#include "platform/posix/base/last_error.h"
#include "platform/posix/base/wide_text.h"
#include "platform/posix/cert/anchor_format.h"

namespace tkv {
namespace {

std::wstring ThumbprintOf(const std::wstring& text) {
  std::wstring digits;
  for (wchar_t c : text) {
    if (c != L':' && c != L' ' && c != L'\t') digits += c;
  }
  return digits;
}

}  // namespace

size_t ThumbprintDigits(SelectBy by) { return by == SelectBy::kSha1 ? 40 : 64; }

bool IsThumbprint(const std::wstring& given, SelectBy by) {
  const std::wstring text = ThumbprintOf(given);
  if (text.size() != ThumbprintDigits(by)) return false;
  for (wchar_t c : text) {
    if (!iswxdigit(static_cast<wint_t>(c)) || c > 0x7f) return false;
  }
  return true;
}

bool Selects(SelectBy by, const std::vector<BYTE>& der, const wchar_t* parameter, bool name_matches) {
  if (by == SelectBy::kName) return name_matches;
  const KeepErrors unchanged;
  std::string wanted = EncodeUtf8Lossless(ThumbprintOf(parameter));
  for (char& c : wanted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return Thumbprint(der, by == SelectBy::kSha1 ? EVP_sha1() : EVP_sha256()) == wanted;
}

}  // namespace tkv
