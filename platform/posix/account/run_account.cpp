// The channel's Linux end: the run's settings, read before anything is
// opened; what a person needs, said as lines come and once the run ends,
// from what the calls told and a quiet look at the store; and the report,
// written last.
#include "platform/posix/account/run_account.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/anchors/distribution_set.h"
#include "platform/posix/base/command.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/terminal_text.h"
#include "platform/posix/base/wide_text.h"
#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/cert/match_rule.h"
#include "platform/posix/clients/client_account.h"

namespace tkv {
namespace {

constexpr size_t kSuggestedNames = 3;
// A store of any size says a handful of names at most.
constexpr size_t kMostFilesNoted = 16;

std::string Quoted(const std::wstring& text) { return "\"" + EncodeUtf8Lossless(text) + "\""; }

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Where a removal took a certificate from: its anchor files, and the
// distrust that took it out of the distribution's set.
std::string AnchorPaths(const StoreLocation& store, const ChangeOutcome& changed) {
  std::string paths;
  for (const std::string& file : changed.copies) {
    paths += (paths.empty() ? "" : ", ") + store.anchors_path() + "/" + file;
  }
  for (const std::string& distrust : changed.distrust) paths += (paths.empty() ? "" : ", ") + distrust;
  return paths;
}

// Where a removal looks: the local anchors, then the distribution's set.
std::string StorePlaces(const StoreLocation& store) {
  return store.anchors_path() + " or the distribution's set " + store.root->DisplayPath(store.layout->distribution_cas);
}

std::string Utc(const ASN1_TIME* time) {
  const std::string text = TimeText(time, TimeStyle::kPerson);
  return text.empty() ? "an unreadable date" : text;
}

}  // namespace

BrowserSetting BrowserSettingOf(const char* value) {
  if (value != nullptr && strcasecmp(value, "off") == 0) return BrowserSetting::kOff;
  if (value != nullptr && strcasecmp(value, "keep") == 0) return BrowserSetting::kKeep;
  return BrowserSetting::kFollow;
}

// ---- The settings ---------------------------------------------------------

// A setting that does not hold is said once, and the run does nothing.
bool RunAccount::Refuse(const std::string& why) {
  facts_.refused = true;
  Said(why + "; nothing was done", false);
  return false;
}

namespace {

// What the environment says that cannot be refused.
void ReadPlainSettings(RunSettings* settings) {
  const char* sysroot = getenv("TKVCERT_SYSROOT");
  if (sysroot != nullptr && *sysroot != '\0') settings->sysroot = sysroot;
  settings->browsers = BrowserSettingOf(getenv("TKVCERT_BROWSERS"));
  const char* sandbox = getenv("TKVCERT_SANDBOX");
  if (sandbox != nullptr) settings->sandbox = sandbox;
}

}  // namespace

RunSettings RunAccount::SettingsForStore() const {
  if (began_) return settings_;
  RunSettings settings;
  ReadPlainSettings(&settings);
  return settings;
}

bool RunAccount::Begin(int arguments) {
  began_ = true;
  const char* report = getenv("TKVCERT_REPORT");
  if (report != nullptr && *report != '\0') {
    char* end = nullptr;
    errno = 0;
    const long number = strtol(report, &end, 10);
    if (*end != '\0' || errno != 0 || number < 0 || number > INT32_MAX) {
      return Refuse(std::string("TKVCERT_REPORT=") + report + " is not a descriptor number");
    }
    // Checked before anything is opened, so that a number the caller never
    // opened can never name one of the tool's own files.
    const int flags = fcntl(static_cast<int>(number), F_GETFL);
    if (flags < 0 || ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR)) {
      return Refuse(std::string("TKVCERT_REPORT=") + report + ": descriptor " + report +
                    " is not open for writing (sudo closes descriptors above 2)");
    }
    facts_.report_fd = static_cast<int>(number);
    // No program the tool runs inherits it.
    fcntl(facts_.report_fd, F_SETFD, fcntl(facts_.report_fd, F_GETFD) | FD_CLOEXEC);
  }
  const char* dry = getenv("TKVCERT_DRY_RUN");
  if (dry != nullptr && *dry != '\0' && strcmp(dry, "0") != 0) {
    if (strcmp(dry, "1") != 0) return Refuse(std::string("TKVCERT_DRY_RUN=") + dry + ": it must be 1 or 0");
    if (facts_.report_fd < 0) {
      return Refuse("TKVCERT_DRY_RUN=1 needs TKVCERT_REPORT: a dry run answers only in its report");
    }
    settings_.dry_run = true;
  }
  const char* list = getenv("TKVCERT_LIST");
  if (list != nullptr && *list != '\0' && strcmp(list, "0") != 0) {
    if (strcmp(list, "1") != 0) return Refuse(std::string("TKVCERT_LIST=") + list + ": it must be 1 or 0");
    if (arguments > 0) return Refuse("TKVCERT_LIST=1 lists the store and takes no command");
    settings_.list = true;
  }
  const char* clients = getenv("TKVCERT_CLIENTS");
  if (clients != nullptr && *clients != '\0' && strcmp(clients, "0") != 0) {
    if (strcasecmp(clients, "off") == 0) {
      settings_.clients = ClientsSetting::kOff;
    } else if (strcmp(clients, "1") == 0) {
      if (arguments > 0) return Refuse("TKVCERT_CLIENTS=1 lists clients' own stores and takes no command");
      if (settings_.list) return Refuse("TKVCERT_LIST=1 and TKVCERT_CLIENTS=1 each list: ask for one");
      settings_.clients = ClientsSetting::kList;
    } else if (strcasecmp(clients, "fix") == 0) {
      if (arguments == 0) return Refuse("TKVCERT_CLIENTS=fix points clients at the store with /install or /uninstall");
      settings_.clients = ClientsSetting::kFix;
    } else {
      return Refuse(std::string("TKVCERT_CLIENTS=") + clients + ": it must be off, 1 or fix");
    }
  }
  const char* by = getenv("TKVCERT_UNINSTALL_BY");
  if (by != nullptr && *by != '\0' && strcmp(by, "name") != 0) {
    if (strcmp(by, "sha1") == 0) {
      settings_.select_by = SelectBy::kSha1;
    } else if (strcmp(by, "sha256") == 0) {
      settings_.select_by = SelectBy::kSha256;
    } else {
      return Refuse(std::string("TKVCERT_UNINSTALL_BY=") + by + ": it must be name, sha1 or sha256");
    }
  }
  ReadPlainSettings(&settings_);
  return true;
}

// A listing opens the store as a removal would, only to read it.
int RunAccount::List() {
  if (settings_.clients == ClientsSetting::kList) {
    facts_.clients = WalkForClients(settings_, *this);
    if (!facts_.clients) return 1;
    const std::string table = ClientTable(facts_.clients->look);
    return fwrite(table.data(), 1, table.size(), stdout) == table.size() && fflush(stdout) == 0 ? 0 : 1;
  }
  if (!settings_.list) return -1;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG |
                                       CERT_STORE_READONLY_FLAG,
                                   L"Root");
  if (store == nullptr) {
    char code[16];
    snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(GetLastError()));
    Said(std::string("cannot list the store: it cannot be opened (") + code + ")", false);
    // The report's error, as a failed command's: its code tells a caller
    // what the words tell a person.
    Error(L"Failed to open store", false, true);
    return 1;
  }
  const std::string table = StoreTable(*facts_.store);
  CertCloseStore(store, 0);
  return fwrite(table.data(), 1, table.size(), stdout) == table.size() && fflush(stdout) == 0 ? 0 : 1;
}

bool RunAccount::Request(RunCommand command, const wchar_t* parameter, size_t ignored_arguments) {
  facts_.requested = true;
  facts_.command = command;
  facts_.parameter = parameter;
  if (command == RunCommand::kUninstall && settings_.select_by != SelectBy::kName) {
    if (!IsThumbprint(facts_.parameter, settings_.select_by)) {
      return Refuse("TKVCERT_UNINSTALL_BY=" + std::string(settings_.select_by == SelectBy::kSha1 ? "sha1" : "sha256") +
                    ": " + Quoted(facts_.parameter) + " is not " +
                    std::to_string(ThumbprintDigits(settings_.select_by)) + " hexadecimal digits");
    }
  } else if (command == RunCommand::kUninstall) {
    suggestions_ = std::make_unique<NameSuggestions>(facts_.parameter, kSuggestedNames);
  }
  if (ignored_arguments > 0) {
    Said("ignored " + Counted(ignored_arguments, "argument", "arguments") + " after " + Quoted(facts_.parameter) +
             ": a command takes one parameter; quote a name that holds spaces",
         false);
  }
  return true;
}

void RunAccount::Error(const wchar_t* message, bool warning, bool with_last_error) {
  const KeepErrors unchanged;
  ReportedLine line;
  line.message = EncodeUtf8Lossless(message);
  line.warning = warning;
  line.with_last_error = with_last_error;
  line.last_error = GetLastError();
  facts_.reported.push_back(std::move(line));
}

std::wstring RunAccount::ShownName(const wchar_t* name) const {
  if (settings_.select_by == SelectBy::kName) return name;
  return DecodeUtf8Lossless(EscapeControls(EncodeUtf8Lossless(name)));
}

// ---- What the calls tell -------------------------------------------------

void RunAccount::Queried(const std::vector<BYTE>& der, size_t passed_over) {
  facts_.queried = der;
  facts_.certificates_passed_over = passed_over;
}

void RunAccount::Changed(const ChangeOutcome& outcome) {
  ChangeOutcome& changed = facts_.changed;
  changed.anchors_changed = changed.anchors_changed || outcome.anchors_changed;
  changed.bundle_changed = changed.bundle_changed || outcome.bundle_changed;
  changed.finished_cut_off_change = changed.finished_cut_off_change || outcome.finished_cut_off_change;
  changed.browser_files.insert(changed.browser_files.end(), outcome.browser_files.begin(),
                               outcome.browser_files.end());
  if (!outcome.already_held_by.empty()) changed.already_held_by = outcome.already_held_by;
  if (outcome.set_trust != SetTrust::kNone) {
    changed.set_trust = outcome.set_trust;
    changed.set_file = outcome.set_file;
  }
  if (!outcome.copies.empty()) changed.copies = outcome.copies;
  if (!outcome.kept_aside.empty()) changed.kept_aside = outcome.kept_aside;
  if (!outcome.distrust.empty()) changed.distrust = outcome.distrust;
  changed.files_after.insert(changed.files_after.end(), outcome.files_after.begin(), outcome.files_after.end());
}

void RunAccount::Removed(const std::vector<BYTE>& der, const std::shared_ptr<const std::vector<std::string>>& listing,
                         size_t at) {
  facts_.removed = der;
  removed_listing_ = listing;
  removed_at_ = at;
}

void RunAccount::Said(const std::string& why, bool warning) {
  facts_.messages.push_back(why);
  if (warning) facts_.warnings.push_back(why);
  const std::string line = "tkvcert: " + EscapeControls(why) + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

void RunAccount::NameRead(const std::wstring& name) {
  if (suggestions_) suggestions_->Offer(name);
}

void RunAccount::TroubledFile(const std::string& relative, AnchorTrouble trouble) {
  if (troubled_files_.size() < kMostFilesNoted) troubled_files_.emplace_back(relative, trouble);
}

void RunAccount::BrowserStillTrusts(const std::string& browser, const std::string& file, const std::string& why) {
  facts_.browsers_still_trusting.push_back({browser, file});
  Said(why, true);
}

// ---- What is said once the run ends ---------------------------------------

// A removal that matched nothing: the names the admin may have meant,
// among those its scan read.
void RunAccount::SayNothingMatched() {
  const StoreLocation& store = *facts_.store;
  facts_.already = "absent";
  if (SayAlreadyDistrusted()) return;
  if (!suggestions_) {
    Said("nothing was removed: no certificate in " + StorePlaces(store) + " has the thumbprint " +
             Quoted(facts_.parameter),
         false);
    return;
  }
  Said("nothing was removed: no certificate in " + StorePlaces(store) + " is named " + Quoted(facts_.parameter) +
           "; names are matched exactly, case and spaces included",
       false);
  std::string closest;
  for (const std::wstring& name : suggestions_->Closest()) {
    closest += (closest.empty() ? "" : ", ") + Quoted(name);
  }
  if (!closest.empty()) Said("the closest names there: " + closest, false);
}

// The certificate asked for may be in the distribution's set, distrusted
// already by an earlier removal: the store no longer holds it, but it is
// there, and an install trusts it again.
bool RunAccount::SayAlreadyDistrusted() {
  const StoreLocation& store = *facts_.store;
  std::vector<DistributionCertificate> set;
  if (ReadDistributionSet(store, /*distrusted_too=*/true, &set) != ERROR_SUCCESS) return false;
  for (const DistributionCertificate& certificate : set) {
    if (!certificate.distrusted) continue;
    std::wstring name;
    if (SimpleDisplayName(certificate.der.data(), certificate.der.size(), &name) != ERROR_SUCCESS) continue;
    if (!Selects(settings_.select_by, certificate.der, facts_.parameter.c_str(), name == facts_.parameter)) continue;
    facts_.already = "distrusted";
    const std::string file = store.root->DisplayPath(certificate.file);
    Said("nothing was removed: " + Quoted(name) + " is in the distribution's set (" + file +
             ") and is distrusted already; tkvcert /install " + file + " trusts it again",
         false);
    return true;
  }
  return false;
}

// A removal by name takes the first certificate of the name, where its scan
// met it; others of the name can only come after that, and only those files
// of the scan's listing are read again. One by thumbprint may have others
// of its name anywhere.
void RunAccount::SayWhatRemains() {
  const StoreLocation& store = *facts_.store;
  std::wstring removed_name;
  SimpleDisplayName(facts_.removed.data(), facts_.removed.size(), &removed_name);
  std::vector<std::vector<BYTE>> others;
  const size_t first = settings_.select_by == SelectBy::kName ? removed_at_ : 0;
  ForEachStoreName(store, *removed_listing_, first, /*distribution_too=*/true,
                   [&](const std::wstring& name, const std::vector<BYTE>& der, const std::string&) {
                     if (name != removed_name || der == facts_.removed) return;
                     for (const std::vector<BYTE>& seen : others) {
                       if (seen == der) return;
                     }
                     others.push_back(der);
                   });
  facts_.sharing_name = others.size() + 1;
  if (others.empty()) return;
  Said(std::to_string(others.size() + 1) + " certificates were named " + Quoted(removed_name) +
           "; removed the one with SHA-1 " + Thumbprint(facts_.removed, EVP_sha1()) + " from " +
           AnchorPaths(store, facts_.changed) +
           (settings_.select_by == SelectBy::kName ? "; run again to remove the next" : "; the others stay"),
       false);
  for (const std::vector<BYTE>& other : others) {
    const unsigned char* p = other.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &p, static_cast<long>(other.size())),
                                                            X509_free);
    const std::string sha256 = Thumbprint(other, EVP_sha256());
    // One chosen by thumbprint was chosen among the others: in a rotation
    // they are its successors, which no line should steer a paste toward.
    const std::string how =
        settings_.select_by == SelectBy::kName
            ? "; TKVCERT_UNINSTALL_BY=sha256 tkvcert /uninstall " + sha256 + " removes exactly that one"
            : "";
    Said("another is SHA-256 " + sha256 + ", valid until " +
             (certificate ? Utc(X509_get0_notAfter(certificate.get())) : std::string("an unreadable date")) + how,
         false);
  }
}

// The private keys a removal kept: the admin's, never published.
void RunAccount::SayWhatWasKept() {
  const StoreLocation& store = *facts_.store;
  for (const auto& [copy, kept] : facts_.changed.kept_aside) {
    Said(store.anchors_path() + "/" + copy + " kept a private key (or another block that is no certificate) " +
             "beside the certificate removed: it stays, in " + store.anchors_path() + "/" + kept +
             ", which the refresh does not publish",
         false);
  }
}

// What the scan found no certificate in, or a key beside one, and why: as
// the scan read it, or as the change left it.
void RunAccount::SayWhatAnchorsHoldAmiss() {
  const StoreLocation& store = *facts_.store;
  std::vector<std::pair<std::string, AnchorTrouble>> found;
  for (auto [file, trouble] : troubled_files_) {
    for (const auto& after : facts_.changed.files_after) {
      if (after.first == file) trouble = after.second;
    }
    if (trouble != AnchorTrouble::kNone) found.emplace_back(file, trouble);
  }
  for (const auto& [file, trouble] : found) Said(store.anchors_path() + "/" + file + " " + DescribeTrouble(trouble), false);
}

// What the installed certificate will not do as the admin may expect.
void RunAccount::SayWhatWillNotWork() {
  if (facts_.queried.empty()) return;
  const unsigned char* p = facts_.queried.data();
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      d2i_X509(nullptr, &p, static_cast<long>(facts_.queried.size())), X509_free);
  if (!certificate) return;
  std::wstring name;
  SimpleDisplayName(facts_.queried.data(), facts_.queried.size(), &name);
  const std::string shown = Quoted(name);
  const uint32_t flags = X509_get_extension_flags(certificate.get());
  const char* only_itself = ": clients will trust it only as itself, not what it signed";
  if ((flags & EXFLAG_BCONS) != 0 && (flags & EXFLAG_CA) == 0) {
    Said(shown + " is not a CA: its basic constraints say so" + std::string(only_itself), false);
  } else if ((flags & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(certificate.get()) & KU_KEY_CERT_SIGN) == 0) {
    Said(shown + " may not sign certificates: its key usage says so" + std::string(only_itself), false);
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) < 0) {
    Said(shown + " expired on " + Utc(X509_get0_notAfter(certificate.get())) + ": clients will not trust it", false);
  } else if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) > 0) {
    Said(shown + " is not valid until " + Utc(X509_get0_notBefore(certificate.get())) +
             ": clients will not trust it before then",
         false);
  }
  if (facts_.certificates_passed_over > 0) {
    Said(EncodeUtf8Lossless(facts_.parameter) + " holds " +
             Counted(facts_.certificates_passed_over, "more certificate", "more certificates") + " after the first, which " +
             (facts_.certificates_passed_over == 1 ? "was" : "were") +
             " not installed: install each from a file of its own",
         false);
  }
  const std::string set_file = facts_.store->root->DisplayPath(facts_.changed.set_file);
  if (facts_.changed.set_trust == SetTrust::kTrustedAgain) {
    Said(shown + " is the distribution's own (" + set_file + "): its distrust is lifted and the distribution's " +
             "copy is trusted again, as the distribution decides; no local copy was written",
         false);
  } else if (facts_.changed.set_trust == SetTrust::kTrustedAlready) {
    Said("the distribution's set already trusts " + shown + " (" + set_file + "): nothing was changed", false);
  }
  if (!facts_.changed.already_held_by.empty()) {
    Said(facts_.store->anchors_path() + "/" + facts_.changed.already_held_by +
             " already holds this certificate: nothing was changed",
         false);
  }
}

void RunAccount::End(int status) {
  if (ended_) return;
  ended_ = true;
  // Said only of a run that did what it was asked: after a failure the
  // error lines are what matters.
  if (facts_.requested && status == 0 && facts_.store) {
    const KeepErrors unchanged;
    if (facts_.command == RunCommand::kInstall) {
      SayWhatWillNotWork();
    } else {
      if (facts_.removed.empty()) {
        SayNothingMatched();
      } else {
        SayWhatRemains();
        SayWhatWasKept();
      }
      SayWhatAnchorsHoldAmiss();
    }
    // Clients with roots of their own are looked at only when trust moved.
    const ChangeOutcome& changed = facts_.changed;
    if (changed.anchors_changed || changed.bundle_changed || !changed.distrust.empty() ||
        changed.set_trust == SetTrust::kTrustedAgain || settings_.clients == ClientsSetting::kFix) {
      const bool removal = facts_.command == RunCommand::kUninstall;
      facts_.clients = LookAfterChange(*facts_.store, removal ? facts_.removed : facts_.queried, removal, settings_,
                                       *this);
    }
  }
  WriteRunReport(facts_, settings_, status);
}

}  // namespace tkv
