// The state a process keeps between the calls of the certificate API and of
// the run's channel (platform/run_channel.h), named in this one place: the
// last error, which crypt32 keeps per thread (base/last_error.cpp), and the
// run's account, which only process.cpp names: the calls see it as the
// events they tell and the settings it read. Nothing below this folder
// keeps any other: every room gets the command it works for
// (base/command.h) handed down. (A decoder's or the name reader's scratch
// buffer, reused by each call and carrying nothing from one to the next,
// is not state.)
#ifndef TKVCERT_PLATFORM_POSIX_API_PROCESS_H_
#define TKVCERT_PLATFORM_POSIX_API_PROCESS_H_

#include "platform/posix/account/store_events.h"
#include "platform/posix/base/run_settings.h"

namespace tkv {

// Where the calls tell what they learn: the run's account.
StoreEvents& RunListener();

// The run's settings, read once at its start.
const RunSettings& ProcessSettings();

// The settings a store is opened with: the run's; in a process that opens
// stores without a run (a unit test, a benchmark), read from the
// environment at each open.
RunSettings SettingsForStore();

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_API_PROCESS_H_
