// What a run says of clients with roots of their own: after a change, one
// stderr line per kind and the report's entries; for TKVCERT_CLIENTS=1, a
// table of every such store of the root.
#ifndef TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_ACCOUNT_H_
#define TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_ACCOUNT_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/run_events.h"
#include "platform/posix/base/run_settings.h"
#include "platform/posix/clients/client_fixes.h"
#include "platform/posix/clients/client_look.h"

namespace tkv {

// A look and what came of it.
struct ClientAccount {
  ClientLook look;
  std::vector<ClientFix> fixes;
  std::vector<std::string> said;  // its lines, as the report's "clients_said"
};

// The look after a change to `der` (a removal when `removed`), its lines
// said through `events`, and with TKVCERT_CLIENTS=fix the pointers
// written. Null when the settings turn it off.
std::shared_ptr<const ClientAccount> LookAfterChange(const StoreLocation& store, const std::vector<BYTE>& der,
                                                     bool removed, const RunSettings& settings, RunEvents& events);

// The whole walk of the root the settings name, for TKVCERT_CLIENTS=1;
// null, said, when the root cannot be opened.
std::shared_ptr<const ClientAccount> WalkForClients(const RunSettings& settings, RunEvents& events);

// The stderr lines of a look: one per kind of client.
std::vector<std::string> ClientLines(const ClientLook& look, bool removed);

// The listing, a line each.
std::string ClientTable(const ClientLook& look);

// The report's keys, as the text of a JSON object: "clients", a list of
// {kind, path, follows, holds, fix}; "clients_fixes"; "clients_said", the
// lines the look and its fixes said (the node agent says them once per
// convergence, not once per run); and
// "clients_budget_ran_out" when it did.
std::string ClientsJson(const ClientAccount& account, bool with_holds);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_ACCOUNT_H_
