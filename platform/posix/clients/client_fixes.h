// Pointing clients with roots of their own at the store: only settings that
// name the family's bundle or keystore, so that they follow every later
// change, removals included. Never a copy, never a package's own file.
#ifndef TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_FIXES_H_
#define TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_FIXES_H_

#include <string>
#include <vector>

#include "platform/posix/base/root_directory.h"
#include "platform/posix/base/run_events.h"
#include "platform/posix/clients/client_look.h"

namespace tkv {

struct ClientFix {
  enum class State { kWritten, kWouldWrite, kThere, kNamesAnother, kFailed };
  std::string file;     // as the root names it
  std::string setting;  // the line as written, or as found when it names another file
  State state = State::kWritten;
};

// The files a fix is written to, below the root.
constexpr const char* kEnvironmentFile = "etc/environment";
constexpr const char* kServicesDropIn = "etc/systemd/system.conf.d/tkvcert-clients.conf";
constexpr const char* kPipConfig = "etc/pip.conf";

// A file's text with `name` set to `value`, merged: what else it holds
// stays. A setting of the name that says otherwise is left as it is and
// put in `*other`; JAVA_TOOL_OPTIONS gains the option beside what it holds.
std::string MergedEnvironment(const std::string& text, const std::string& name, const std::string& value,
                              std::string* other);
std::string MergedPipConfig(const std::string& text, const std::string& value, std::string* other);
// npm's cafile; a ca of its own (certificates inline) is left as well.
std::string MergedNpmConfig(const std::string& text, const std::string& value, std::string* other);

// The global npmrc that npm on the node binary at `node` (as the root
// names it) reads, <prefix>/etc/npmrc, below the root; "" for none.
std::string NpmConfigOf(const std::string& node);

// Writes (or, in a dry run, only lists) the pointers that the stores the
// look found want, each file merged and put in place atomically; says
// what it did and which programs must start again to read it.
std::vector<ClientFix> FixClients(const RootDirectory& root, const ClientContext& context, const ClientLook& look,
                                  bool dry_run, RunEvents& events);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_FIXES_H_
