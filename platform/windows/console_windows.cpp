// Arguments and console output on Windows, through the C runtime.
#include <windows.h>

#include <cstdarg>

#include "platform/console.h"
#include "platform/windows/msvcrt_stdio.h"

namespace {

// msvcrt's start-up record; only the new-mode field is read.
struct StartupInfo {
  int newmode;
};

}  // namespace

extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                      int expand_wildcards, StartupInfo* startup);

std::vector<std::wstring> GetWideArguments(int, char**) {
  int argc = 0;
  wchar_t** argv = nullptr;
  wchar_t** env = nullptr;
  StartupInfo startup = {0};
  __wgetmainargs(&argc, &argv, &env, 0, &startup);  // 0: no wildcard expansion
  std::vector<std::wstring> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

bool FileNamesMayBeginWithSlash() { return false; }

void PrintWide(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  tkv_msvcrt_vwprintf(format, ap);
  va_end(ap);
}

void PrintNarrow(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  tkv_msvcrt_vprintf(format, ap);
  va_end(ap);
}

void PutLine(const char* text) { tkv_msvcrt_puts(text); }
