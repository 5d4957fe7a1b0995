// What a run was asked and how it ended, told by the front end to the
// platform layer: the one channel between the code that knows what the
// admin asked for and the layer that knows the store's names, files and
// owners. The Linux build meets the two and says on standard error what a
// person needs beyond the lines both builds print (the name a removal may
// have meant, what will not work as expected); the Windows build keeps its
// silence, and there these calls do nothing. Neither changes a line of
// standard output or a status.
#ifndef TKVCERT_PLATFORM_RUN_ACCOUNT_H_
#define TKVCERT_PLATFORM_RUN_ACCOUNT_H_

#include <cstddef>

enum class RunCommand { kInstall, kUninstall };

// Once the command line is read: the command, its parameter (the file to
// install, the subject to remove) and how many arguments after it no
// command reads.
void AccountRequest(RunCommand command, const wchar_t* parameter, size_t ignored_arguments);

// Last, with the status the process ends with, whichever way it ends.
void AccountEnd(int status);

#endif  // TKVCERT_PLATFORM_RUN_ACCOUNT_H_
