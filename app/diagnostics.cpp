#include "app/diagnostics.h"

#include <cstdlib>

#include "platform/crypt_api.h"
#include "platform/run_channel.h"

namespace {

// Read only after the message line is out, so the code is the one the failed
// call left, as the user expects to see it beside the message.
void PrintLastError() {
  const DWORD code = GetLastError();
  PrintWide(L"LastError: 0x%x\n", static_cast<unsigned>(code));
}

}  // namespace

void ReportError(const wchar_t* message, bool with_last_error, bool exit_after) {
  AccountError(message, false, with_last_error);
  PrintWide(L"Error : %s\n", message);
  if (with_last_error) PrintLastError();
  if (exit_after) {
    AccountEnd(1);
    exit(1);
  }
}

void ReportWarning(const wchar_t* message, bool with_last_error) {
  AccountError(message, true, with_last_error);
  PrintWide(L"Warning : %s\n", message);
  if (with_last_error) PrintLastError();
}
