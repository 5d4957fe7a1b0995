// Command line and console output, the same on every platform.
//
// The formatted writers take the runtime's printf conventions with one fixed
// meaning: in PrintWide, %s is always a wide string and %x an unsigned 32-bit
// value. Only %s, %x and %% are understood; that is all the tool prints.
#ifndef TKVCERT_PLATFORM_CONSOLE_H_
#define TKVCERT_PLATFORM_CONSOLE_H_

#include <string>
#include <vector>

// The process's arguments as wide text, unexpanded (no wildcards), in order,
// program name first. Off Windows they are decoded from the narrow vector as
// UTF-8, losslessly: bytes that are not UTF-8 survive the round trip.
std::vector<std::wstring> GetWideArguments(int argc, char** argv);

// Whether a file name may begin with "/". Off Windows every absolute path
// does, so an argument beginning with "/" cannot always be a command there;
// on Windows a file name never needs to, and "/" always starts a command.
bool FileNamesMayBeginWithSlash();

// Not checked by the compiler: gcc knows no wide formats, and %s here is not
// what it is in wprintf.
void PrintWide(const wchar_t* format, ...);
void PrintNarrow(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PutLine(const char* text);

#endif  // TKVCERT_PLATFORM_CONSOLE_H_
