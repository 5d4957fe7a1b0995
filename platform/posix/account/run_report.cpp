#include "platform/posix/account/run_report.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/distribution_set.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/anchors/store_names.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/base/terminal_text.h"
#include "platform/posix/base/wide_text.h"
#include "platform/posix/clients/client_account.h"

namespace tkv {
namespace {

using nlohmann::json;

bool IsUtf8(const std::string& text) {
  try {
    (void)json(text).dump();
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

// Text from a certificate or a path, which need not be UTF-8: JSON holds
// it with each bad sequence replaced, and its bytes in hex beside it.
void PutText(json& object, const std::string& key, const std::string& text) {
  object[key] = text;
  if (!IsUtf8(text)) object[key + "_hex"] = UpperHex(reinterpret_cast<const BYTE*>(text.data()), text.size());
}

std::string Subject(X509* certificate) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0) {
    return "";
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

// A certificate as the report shows it: its thumbprints, the name a
// removal matches, its subject and when it ends.
json Described(const std::vector<BYTE>& der) {
  json out = json::object();
  out["sha1"] = Thumbprint(der, EVP_sha1());
  out["sha256"] = Thumbprint(der, EVP_sha256());
  std::wstring name;
  if (SimpleDisplayName(der.data(), der.size(), &name) == ERROR_SUCCESS) {
    PutText(out, "name", EncodeUtf8Lossless(name));
  }
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                          X509_free);
  if (certificate) {
    PutText(out, "subject", Subject(certificate.get()));
    out["not_after"] = TimeText(X509_get0_notAfter(certificate.get()), TimeStyle::kReport);
  }
  return out;
}

json Paths(const std::vector<std::string>& paths) { return json(paths); }

// What clients read of each listed certificate, and the change a run was
// cut off in, which the next run finishes: marked as pending, so that the
// list never shows as trusted what the bundle lacks, nor hides what it
// still holds. What the bundle holds that no readable file yields is from
// a file the tool cannot read (or a refresh that lags): listed too.
void MarkWhatClientsRead(const StoreLocation& location, int anchors_fd, std::map<std::vector<BYTE>, size_t>& at,
                         json& list) {
  std::vector<std::vector<BYTE>> bundle;
  if (BundleCertificates(*location.root, location.layout->bundle, &bundle) != ERROR_SUCCESS) return;
  const std::set<std::vector<BYTE>> read(bundle.begin(), bundle.end());
  for (const auto& [der, index] : at) list[index]["in_bundle"] = read.count(der) != 0;
  ChangeKind kind = ChangeKind::kAdd;
  std::vector<BYTE> pending;
  const bool cut_off = anchors_fd >= 0 && PendingChange(anchors_fd, &kind, &pending);
  if (cut_off && at.count(pending) == 0 && read.count(pending) != 0) {
    json entry = Described(pending);
    entry["source"] = "local";
    entry["files"] = json::array();
    entry["in_bundle"] = true;
    at.emplace(pending, list.size());
    list.push_back(entry);
  }
  if (cut_off && at.count(pending) != 0) list[at[pending]]["pending"] = kind == ChangeKind::kAdd ? "install" : "removal";
  std::vector<UnreadFile> unread;
  bool unread_known = false;
  for (const std::vector<BYTE>& der : bundle) {
    if (at.count(der) != 0) continue;
    if (!unread_known) {
      unread = anchors_fd >= 0 ? UnreadAnchorFiles(location, anchors_fd) : std::vector<UnreadFile>();
      std::vector<DistributionCertificate> set;
      ReadDistributionSet(location, /*distrusted_too=*/false, &set, &unread);
      unread_known = true;
    }
    json entry = Described(der);
    entry["source"] = "unreadable";
    PutText(entry, "file", unread.size() == 1 ? unread[0].path : location.root->DisplayPath(location.layout->bundle));
    entry["in_bundle"] = true;
    list.push_back(entry);
  }
}

// Every certificate of the store: the local anchors, each once with its
// files, then the distribution's set as it stands, each with whether the
// family distrusts it (a distrusted one is no longer in the bundle), then
// what else clients read; each with whether clients read it.
json StoreList(const StoreLocation& location) {
  json list = json::array();
  std::map<std::vector<BYTE>, size_t> at;
  const UniqueFd anchors = OpenAnchorsDirectory(location);
  if (anchors) {
    ForEachStoreName(location, ListAnchorFiles(location, anchors.get()), 0, /*distribution_too=*/false,
                     [&](const std::wstring&, const std::vector<BYTE>& der, const std::string& file) {
                       auto [found, added] = at.emplace(der, list.size());
                       if (added) {
                         json entry = Described(der);
                         entry["source"] = "local";
                         entry["files"] = json::array();
                         list.push_back(entry);
                       }
                       list[found->second]["files"].push_back(location.anchors_path() + "/" + file);
                     });
  }
  std::vector<DistributionCertificate> set;
  ReadDistributionSet(location, /*distrusted_too=*/true, &set);
  for (const DistributionCertificate& certificate : set) {
    if (at.count(certificate.der) != 0) continue;
    json entry = Described(certificate.der);
    entry["source"] = "distribution";
    entry["distrusted"] = certificate.distrusted;
    PutText(entry, "file", location.root->DisplayPath(certificate.file));
    at.emplace(certificate.der, list.size());
    list.push_back(entry);
  }
  MarkWhatClientsRead(location, anchors ? anchors.get() : -1, at, list);
  return list;
}

}  // namespace

std::string StoreTable(const StoreLocation& location) {
  std::string table = "SHA-1                                     EXPIRES     SOURCE                    NAME\n";
  for (const json& entry : StoreList(location)) {
    std::string source = entry.value("source", "");
    if (entry.value("distrusted", false)) {
      source += ", distrusted";
    } else if (entry.contains("pending")) {
      source += ", pending " + entry.value("pending", "");
    } else if (!entry.value("in_bundle", true)) {
      source += ", not in bundle";
    }
    const std::string expires = entry.value("not_after", "").substr(0, 10);
    char line[128];
    snprintf(line, sizeof line, "%-40s  %-10s  %-24s  ", entry.value("sha1", "").c_str(), expires.c_str(),
             source.c_str());
    table += line + EscapeControls(entry.value("name", "")) + "\n";
  }
  return table;
}

namespace {

const char* CommandName(RunCommand command) {
  return command == RunCommand::kInstall ? "install" : "uninstall";
}

json Capabilities() {
  return json{{"dry_run", true},
              {"uninstall_by", json::array({"name", "sha1", "sha256"})},
              {"list", true},
              {"clients", true},
              {"distribution", true}};
}

}  // namespace

std::string TimeText(const ASN1_TIME* time, TimeStyle style) {
  struct tm tm {};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return "";
  char text[32];
  const size_t length = style == TimeStyle::kReport ? strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm)
                                                    : strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return std::string(text, length);
}

std::string RunReport(const RunFacts& facts, const RunSettings& settings, int status) {
  json report = json::object();
  report["report"] = kReportVersion;
  report["version"] = TKVCERT_VERSION;
  report["capabilities"] = Capabilities();
  report["status"] = status;
  report["dry_run"] = settings.dry_run;
  if (facts.requested) {
    report["command"] = CommandName(facts.command);
    PutText(report, "parameter", EncodeUtf8Lossless(facts.parameter));
  }
  const bool listing_clients = settings.clients == ClientsSetting::kList;
  const bool asked = facts.requested || settings.list || listing_clients;
  report["outcome"] = facts.refused ? "error" : !asked ? "usage" : status == 0 ? "ok" : "error";
  if (settings.list) report["command"] = "list";
  if (listing_clients) report["command"] = "clients";
  report["clients"] = json::array();
  if (facts.clients) report.update(json::parse(ClientsJson(*facts.clients, !listing_clients)));
  if (facts.refused && !facts.messages.empty()) report["error"] = json{{"message", facts.messages.back()}};
  if (facts.store) {
    const StoreLocation& store = *facts.store;
    json where = json::object();
    where["family"] = store.layout->family;
    PutText(where, "anchors", store.anchors_path());
    PutText(where, "bundle", store.root->DisplayPath(store.layout->bundle));
    report["store"] = where;
  }
  if (!facts.queried.empty()) report["certificate"] = Described(facts.queried);
  json changed = json::object();
  changed["anchors"] = facts.changed.anchors_changed;
  changed["bundle"] = facts.changed.bundle_changed;
  changed["browsers"] = Paths(facts.changed.browser_files);
  changed["finished_cut_off_change"] = facts.changed.finished_cut_off_change;
  report["changed"] = changed;
  report["removed"] = json::array();
  if (!facts.removed.empty()) {
    json removed = Described(facts.removed);
    std::vector<std::string> files;
    for (const std::string& file : facts.changed.copies) files.push_back(facts.store->anchors_path() + "/" + file);
    removed["files"] = Paths(files);
    removed["source"] = files.empty() ? "distribution" : "local";
    if (!facts.changed.distrust.empty()) removed["distrusted_in"] = Paths(facts.changed.distrust);
    report["removed"].push_back(removed);
    report["certificate"] = Described(facts.removed);
  }
  report["browsers_still_trusting"] = json::array();
  for (const RunFacts::StillTrusting& still : facts.browsers_still_trusting) {
    json entry = json{{"browser", still.browser}};
    PutText(entry, "file", still.file);
    report["browsers_still_trusting"].push_back(entry);
  }
  if (facts.requested && facts.command == RunCommand::kUninstall && facts.store) {
    report["sharing_name"] = facts.sharing_name;
    if (!facts.already.empty()) report["already"] = facts.already;
  }
  if (facts.changed.set_trust != SetTrust::kNone) {
    json copy = json::object();
    copy["trusted"] = facts.changed.set_trust == SetTrust::kTrustedAgain ? "again" : "already";
    PutText(copy, "file", facts.store->root->DisplayPath(facts.changed.set_file));
    report["distribution_copy"] = copy;
  }
  report["warnings"] = Paths(facts.warnings);
  report["messages"] = Paths(facts.messages);
  for (const ReportedLine& line : facts.reported) {
    json entry = json::object();
    PutText(entry, "message", line.message);
    if (line.with_last_error) {
      char code[16];
      snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(line.last_error));
      entry["last_error"] = code;
    }
    if (line.warning) {
      report["warnings"].push_back(line.message);
    } else {
      report["error"] = entry;
    }
  }
  if ((settings.dry_run || settings.list) && facts.store) report["certificates"] = StoreList(*facts.store);
  return report.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void WriteRunReport(const RunFacts& facts, const RunSettings& settings, int status) {
  const int fd = facts.report_fd;
  if (fd < 0) return;
  std::string text;
  try {
    text = RunReport(facts, settings, status);
  } catch (const std::exception&) {
    text = "{\"report\":" + std::to_string(kReportVersion) + ",\"status\":" + std::to_string(status) +
           ",\"outcome\":\"error\",\"error\":{\"message\":\"the report could not be made\"}}\n";
  }
  // A reader gone away must not end the process with SIGPIPE.
  struct sigaction ignore {};
  struct sigaction before {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &before);
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  sigaction(SIGPIPE, &before, nullptr);
}

}  // namespace tkv
