// Console output off Windows. Everything is written as bytes: glibc would
// silently drop narrow output after wide output on the same stream, and the
// tool must not depend on the locale.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/posix/api/process.h"
#include "platform/posix/base/wide_text.h"

std::vector<std::wstring> GetWideArguments(int argc, char** argv) {
  std::vector<std::wstring> args;
  args.reserve(argc);
  for (int i = 0; i < argc; ++i) args.push_back(tkv::DecodeUtf8Lossless(argv[i]));
  return args;
}

bool FileNamesMayBeginWithSlash() { return true; }

// A dry run says what it would do in its report alone: lines saying that
// something was removed would be untrue.
void PrintWide(const wchar_t* format, ...) {
  if (tkv::ProcessSettings().dry_run) return;
  va_list ap;
  va_start(ap, format);
  std::wstring text;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    if (*p != L'%' || p[1] == L'\0') {
      text.push_back(*p);
      continue;
    }
    ++p;
    if (*p == L's') {
      const wchar_t* arg = va_arg(ap, const wchar_t*);
      text += arg != nullptr ? arg : L"(null)";
    } else if (*p == L'x') {
      char digits[16];
      snprintf(digits, sizeof digits, "%x", va_arg(ap, unsigned));
      for (const char* d = digits; *d != '\0'; ++d) text.push_back(*d);
    } else {
      text.push_back(*p);  // %% and anything unknown print as themselves
    }
  }
  va_end(ap);
  const std::string bytes = tkv::EncodeUtf8Lossless(text);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void PrintNarrow(const char* format, ...) {
  if (tkv::ProcessSettings().dry_run) return;
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
}

void PutLine(const char* text) {
  if (!tkv::ProcessSettings().dry_run) puts(text);
}
