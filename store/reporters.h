// The two reporters through which every failure of a store operation reaches
// the user, on standard output. The operations only call them: the front
// end, which owns the console, defines them (app/diagnostics.cpp).
#ifndef TKVCERT_STORE_REPORTERS_H_
#define TKVCERT_STORE_REPORTERS_H_

// Writes "Error : <message>", then the last-error line when asked, then ends
// the process with status 1 when asked.
void ReportError(const wchar_t* message, bool with_last_error, bool exit_after);

// Writes "Warning : <message>", then the last-error line when asked.
void ReportWarning(const wchar_t* message, bool with_last_error);

#endif  // TKVCERT_STORE_REPORTERS_H_
