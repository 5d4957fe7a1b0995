// What a run was asked and how it ended, told by the front end and the
// store operations to the platform layer: the one channel between the code
// that knows what the admin asked for and the layer that knows the store's
// names, files and owners. The Linux build meets the two: it says on
// standard error what a person needs beyond the lines both builds print,
// and writes the report of the run that TKVCERT_REPORT asks for. The
// Windows build keeps its silence; there these calls do nothing, and the
// run goes on as asked.
#ifndef TKVCERT_PLATFORM_RUN_CHANNEL_H_
#define TKVCERT_PLATFORM_RUN_CHANNEL_H_

#include <cstddef>
#include <string>

#include "platform/crypt_api.h"

enum class RunCommand { kInstall, kUninstall };

// First, before anything is opened, with the number of arguments after the
// program's name. False when the run must end at once with status 1: the
// Linux build's own settings do not hold together (a line on standard error
// says why).
bool AccountBegin(int arguments);

// After AccountBegin: the status of a run that the Linux build's own
// settings make a listing of the store (TKVCERT_LIST), once it has printed
// it; -1 for every other run, which goes on as asked.
int AccountList();
// Once the command line is read: the command, its parameter (the file to
// install, the subject to remove) and how many arguments after it no
// command reads. False when the run must end at once with status 1.
bool AccountRequest(RunCommand command, const wchar_t* parameter, size_t ignored_arguments);

// Every "Error :" and "Warning :" line, as it is printed, with the last
// error when the line is followed by it.
void AccountError(const wchar_t* message, bool warning, bool with_last_error);

// Whether a removal takes `certificate`, whose name is the parameter or not
// (`name_matches`): a removal by name, unless the Linux build is asked to
// take exactly one certificate by its thumbprint.
bool AccountSelects(PCCERT_CONTEXT certificate, const wchar_t* parameter, bool name_matches);

// The name the removal line shows for the certificate it takes: as it is
// when it is the parameter the admin typed, escaped as every name from
// elsewhere is on standard error when the Linux build took the certificate
// by its thumbprint, so that its name cannot drive the admin's terminal.
std::wstring AccountShownName(const wchar_t* name);

// Last, with the status the process ends with, whichever way it ends, the
// usage text included.
void AccountEnd(int status);

#endif  // TKVCERT_PLATFORM_RUN_CHANNEL_H_
