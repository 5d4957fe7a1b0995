#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 0
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "platform/windows/msvcrt_stdio.h"

static int IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
static int IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

/* msvcrt's wprintf writes each character with the locale's wctomb and gives
   up at the first one that fails: the line, and on Windows the stream, stop
   there. The same conversion is done here, character by character, with "?"
   for a character it cannot make (one for a surrogate pair: it is one
   character, and wctomb sees only halves), so everything else comes out
   byte for byte as before. The bytes go through the stream, which is in text
   mode, so line ends are translated as they always were. */
static int WriteInLocale(const wchar_t* text, int length) {
  char* bytes = malloc((size_t)length * MB_LEN_MAX + 1);
  if (bytes == NULL) return -1;
  size_t size = 0;
  for (int i = 0; i < length; ++i) {
    const int n = wctomb(bytes + size, text[i]);
    if (n > 0) {
      size += (size_t)n;
      continue;
    }
    if (IsHighSurrogate(text[i]) && i + 1 < length && IsLowSurrogate(text[i + 1])) ++i;
    bytes[size++] = '?';
  }
  const size_t written = fwrite(bytes, 1, size, stdout);
  free(bytes);
  return written == size ? length : -1;
}

int tkv_msvcrt_vwprintf(const wchar_t* format, va_list ap) {
  va_list counting;
  va_copy(counting, ap);
  const int length = _vscwprintf(format, counting);
  va_end(counting);
  if (length < 0) return -1;
  wchar_t* text = malloc(((size_t)length + 1) * sizeof(wchar_t));
  if (text == NULL) return -1;
  const int formatted = _vsnwprintf(text, (size_t)length + 1, format, ap);
  const int result = formatted < 0 ? -1 : WriteInLocale(text, formatted);
  free(text);
  return result;
}

int tkv_msvcrt_vprintf(const char* format, va_list ap) { return vprintf(format, ap); }
int tkv_msvcrt_puts(const char* text) { return puts(text); }
