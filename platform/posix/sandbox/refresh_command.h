// Running the distribution's bundle refresh after a change to the anchors.
#ifndef TKVCERT_PLATFORM_POSIX_REFRESH_COMMAND_H_
#define TKVCERT_PLATFORM_POSIX_REFRESH_COMMAND_H_

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix/base/command.h"
#include "platform/posix/sandbox/sandbox.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// What a refresh said and how it ended.
struct RefreshOutcome {
  DWORD code = ERROR_SUCCESS;  // ERROR_FUNCTION_FAILED, ERROR_TIMEOUT (killed)
  int exit_status = 0;         // 128 + the signal that ended it
  std::string output;          // its standard output, cut at 64 KiB
  std::string errors;          // its standard error, the same
};

// Runs argv (argv[0] an absolute path) with working directory "/", `input`
// as its standard input and a fixed environment (a system PATH, LC_ALL=C,
// nothing of the caller's), and waits for it at most `limit` (none left:
// ERROR_TIMEOUT, and it is not started). It is handed no descriptor of the
// tool's or its caller's but its standard streams. Without a sandbox it
// runs on this machine and inherits `lock_fd`, so the store stays locked
// while it runs even if the tool is killed; in one (see sandbox.h) it dies
// with the tool instead. Its output is read until it exits, not until
// whatever it left running closes it.
RefreshOutcome RunRefreshCommand(const std::vector<std::string>& argv, const Sandbox& sandbox,
                                 int lock_fd, std::chrono::milliseconds limit,
                                 const std::string& input = "");

// Passes on what the admin must hear of a program, on standard error: when
// it failed, or told (as Debian's refresh does, on its standard output)
// that a hook failed ("E: <hook> exited with code <n>."), everything it
// wrote to standard error and those lines, each after the program's name
// (what it said is not the tool's word); when all went well, nothing of
// its chatter (openssl rehash's warnings about the bundle, say).
void PassOnOutput(Command& command, const std::string& program, const RefreshOutcome& outcome);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_REFRESH_COMMAND_H_
