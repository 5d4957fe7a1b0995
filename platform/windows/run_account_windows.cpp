// The Windows build says nothing beyond the lines both builds print.
#include "platform/run_account.h"

void AccountRequest(RunCommand, const wchar_t*, size_t) {}
void AccountEnd(int) {}
