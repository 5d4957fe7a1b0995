// The state a process keeps between the calls of the certificate API and of
// the run's channel (platform/run_account.h), named in this one place: the
// last error, which crypt32 keeps per thread (base/last_error.cpp), and the
// run's account. Nothing below this folder keeps any other: every room gets
// the command it works for (base/command.h) handed down. (A decoder's or
// the name reader's scratch buffer, reused by each call and carrying nothing
// from one to the next, is not state.)
#ifndef TKVCERT_PLATFORM_POSIX_API_PROCESS_H_
#define TKVCERT_PLATFORM_POSIX_API_PROCESS_H_

#include "platform/posix/account/run_account.h"

namespace tkv {

// The one account of this process's run.
RunAccount& TheAccount();

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_API_PROCESS_H_
