// The Windows build says nothing beyond the lines both builds print, and
// removes by name.
#include "platform/run_channel.h"

bool AccountBegin(int) { return true; }
int AccountList() { return -1; }
bool AccountRequest(RunCommand, const wchar_t*, size_t) { return true; }
void AccountError(const wchar_t*, bool, bool) {}
bool AccountSelects(PCCERT_CONTEXT, const wchar_t*, bool name_matches) { return name_matches; }
std::wstring AccountShownName(const wchar_t* name) { return name; }
void AccountEnd(int) {}
