// The command line: argument collection, dispatch, usage and completion lines.
#ifndef TKVCERT_APP_FRONT_END_H_
#define TKVCERT_APP_FRONT_END_H_

// Writes the usage text for the program name; returns the status 1.
int PrintUsage(const char* program_name);

// Runs one command from the narrow argument vector (program name first) and
// returns the process's exit status.
int RunCommandLine(int argc, char** argv);

#endif  // TKVCERT_APP_FRONT_END_H_
