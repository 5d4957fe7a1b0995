// msvcrt's own formatted output, reached from C so that mingw's C99 stdio,
// which C++ code gets by default, cannot stand in: there "%s" in a wide
// format is a narrow string, and the tool's wide formats mean a wide one.
// Wide output is converted as msvcrt's wprintf converts it (the C locale's
// wctomb), but a character it cannot convert is written as "?" and the line
// goes on, where wprintf would stop.
#ifndef TKVCERT_PLATFORM_WINDOWS_MSVCRT_STDIO_H_
#define TKVCERT_PLATFORM_WINDOWS_MSVCRT_STDIO_H_

#include <stdarg.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

int tkv_msvcrt_vwprintf(const wchar_t* format, va_list ap);
int tkv_msvcrt_vprintf(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));
int tkv_msvcrt_puts(const char* text);

#ifdef __cplusplus
}
#endif

#endif  // TKVCERT_PLATFORM_WINDOWS_MSVCRT_STDIO_H_
