#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>

#include "platform/windows/msvcrt_stdio.h"

int tkv_msvcrt_vwprintf(const wchar_t* format, va_list ap) { return vwprintf(format, ap); }
int tkv_msvcrt_vprintf(const char* format, va_list ap) { return vprintf(format, ap); }
int tkv_msvcrt_puts(const char* text) { return puts(text); }
