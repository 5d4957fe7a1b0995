#include "platform/posix/clients/client_account.h"

#include <map>
#include <nlohmann/json.hpp>

namespace tkv {
namespace {

// A line names a handful of stores at most.
constexpr size_t kPathsNamed = 3;

std::string Named(const std::vector<std::string>& paths) {
  std::string text;
  for (size_t i = 0; i < paths.size() && i < kPathsNamed; ++i) text += (i == 0 ? "" : ", ") + paths[i];
  if (paths.size() > kPathsNamed) text += " and " + std::to_string(paths.size() - kPathsNamed) + " more";
  return text;
}

std::string Counted(size_t n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string HowToPoint(const ClientSignature& signature, const std::string& fix) {
  switch (signature.judge) {
    case ClientJudge::kElectron:
      return "their roots are their own; nothing points them at the store";
    case ClientJudge::kCopy:
      return "copies follow no change: each is trusted until it is removed";
    default:
      break;
  }
  if (fix.empty()) return "nothing an admin sets reaches them";
  std::string how = fix + " would point them at the store (TKVCERT_CLIENTS=fix writes it)";
  if (signature.judge == ClientJudge::kNodeBinary) how += "; node's own switch is --use-openssl-ca";
  if (signature.judge == ClientJudge::kJavaKeystore) how += "; every JVM then prints \"Picked up JAVA_TOOL_OPTIONS\"";
  return how;
}

// The run's events, each line kept for the report too.
class KeptEvents : public RunEvents {
 public:
  KeptEvents(RunEvents& events, std::vector<std::string>& said) : events_(events), said_(said) {}
  void Said(const std::string& why, bool warning) override {
    said_.push_back(why);
    events_.Said(why, warning);
  }
  void NameRead(const std::wstring& name) override { events_.NameRead(name); }
  void BrowserStillTrusts(const std::string& browser, const std::string& file, const std::string& why) override {
    events_.BrowserStillTrusts(browser, file, why);
  }

 private:
  RunEvents& events_;
  std::vector<std::string>& said_;
};

std::shared_ptr<const ClientAccount> Looked(ClientLook look) {
  auto account = std::make_shared<ClientAccount>();
  account->look = std::move(look);
  return account;
}

}  // namespace

std::vector<std::string> ClientLines(const ClientLook& look, bool removed) {
  // By kind, in the table's order.
  std::map<const ClientSignature*, std::vector<const ClientStore*>> by_kind;
  std::vector<const ClientSignature*> order;
  for (const ClientStore& store : look.stores) {
    if (store.follows) continue;
    auto& stores = by_kind[store.signature];
    if (stores.empty()) order.push_back(store.signature);
    stores.push_back(&store);
  }
  std::vector<std::string> lines;
  for (const ClientSignature* signature : order) {
    std::vector<std::string> paths;
    std::vector<std::string> holding;
    for (const ClientStore* store : by_kind[signature]) {
      paths.push_back(store->path);
      if (store->holds) holding.push_back(store->path);
    }
    std::string line = Counted(paths.size(), signature->lines, std::string(signature->lines) + "s") + " kept roots of their own: " + Named(paths) + "; " +
                       HowToPoint(*signature, by_kind[signature].front()->fix);
    if (removed && !holding.empty()) line += "; still holding the CA removed: " + Named(holding);
    lines.push_back(line);
  }
  if (look.unjudged_nodes > 0) {
    lines.push_back(Counted(look.unjudged_nodes, "node binary", "node binaries") + " not read, being large: TKVCERT_CLIENTS=1 judges them");
  }
  if (look.ran_out) {
    lines.push_back("the look for clients' own roots stopped at its budget after " +
                    Counted(look.directories, "directory", "directories") + ": TKVCERT_CLIENTS=1 walks the whole root");
  }
  return lines;
}

std::string ClientTable(const ClientLook& look) {
  std::string table = "KIND      FOLLOWS  PATH\n";
  for (const ClientStore& store : look.stores) {
    char head[32];
    snprintf(head, sizeof head, "%-9s %-7s  ", store.signature->kind, store.follows ? "yes" : "no");
    table += head + store.path + (store.fix.empty() ? "" : "  (" + store.fix + ")") + "\n";
  }
  return table;
}

std::string ClientsJson(const ClientAccount& account, bool with_holds) {
  nlohmann::json list = nlohmann::json::array();
  for (const ClientStore& store : account.look.stores) {
    nlohmann::json entry = {{"kind", store.signature->kind}, {"path", store.path}, {"follows", store.follows}};
    if (with_holds) entry["holds"] = store.holds;
    entry["fix"] = store.fix.empty() ? nlohmann::json(nullptr) : nlohmann::json(store.fix);
    list.push_back(entry);
  }
  static const char* const kStates[] = {"written", "would_write", "there", "names_another", "failed"};
  nlohmann::json fixes = nlohmann::json::array();
  for (const ClientFix& fix : account.fixes) {
    fixes.push_back({{"file", fix.file}, {"setting", fix.setting}, {"state", kStates[static_cast<int>(fix.state)]}});
  }
  nlohmann::json out = {{"clients", list}, {"clients_fixes", fixes}, {"clients_said", account.said}};
  if (account.look.ran_out) out["clients_budget_ran_out"] = true;
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::shared_ptr<const ClientAccount> LookAfterChange(const StoreLocation& store, const std::vector<BYTE>& der,
                                                     bool removed, const RunSettings& settings, RunEvents& events) {
  if (settings.clients == ClientsSetting::kOff) return nullptr;
  const ClientContext context = ReadClientContext(store.root->fd(), store.layout->bundle, der);
  auto account = std::make_shared<ClientAccount>();
  KeptEvents kept(events, account->said);
  const bool fix = settings.clients == ClientsSetting::kFix;
  const LookScope scope = fix ? LookScope::kUsualPlacesAndNodes : LookScope::kUsualPlaces;
  account->look = LookForClients(store.root->fd(), context, scope, fix ? kFixBudget : kLookBudget);
  for (const std::string& line : ClientLines(account->look, removed)) kept.Said(line, true);
  if (fix) {
    account->fixes = FixClients(*store.root, context, account->look, settings.dry_run, kept);
  }
  return account;
}

std::shared_ptr<const ClientAccount> WalkForClients(const RunSettings& settings, RunEvents& events) {
  std::shared_ptr<const RootDirectory> root;
  std::string refusal;
  if (RootDirectory::Open(settings.sysroot, &root, &refusal) != ERROR_SUCCESS) {
    events.Said("cannot list clients' stores: " + (refusal.empty() ? settings.sysroot + " cannot be opened" : refusal),
                false);
    return nullptr;
  }
  StoreLocation location;
  // A root of no known family is walked all the same, for Debian's bundle.
  const char* bundle = LocateStore(root, &location) == ERROR_SUCCESS ? location.layout->bundle : nullptr;
  for (const StoreLayout& layout : StoreLayouts()) {
    if (bundle == nullptr && layout.distrust == DistrustWay::kConfLine) bundle = layout.bundle;
  }
  const ClientContext context = ReadClientContext(root->fd(), bundle, {});
  ClientLook look = LookForClients(root->fd(), context, LookScope::kWholeRoot, kWalkBudget);
  if (look.ran_out) events.Said("the walk for clients' stores stopped at its time limit: the list is partial", true);
  return Looked(std::move(look));
}

}  // namespace tkv
