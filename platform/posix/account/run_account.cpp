// The channel's Linux end: the run's settings, read before anything is
// opened; what a person needs, said once the run ends, from the account and
// a quiet look at the store; and the report, written last.
#include "platform/posix/account/run_account.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/cert/certificate_name.h"
#include "platform/posix/base/complaint.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/account/run_report.h"
#include "platform/posix/anchors/store_names.h"
#include "platform/posix/base/wide_text.h"

namespace tkv {

RunAccount& Account() {
  static RunAccount account;
  return account;
}

namespace {

constexpr size_t kSuggestedNames = 3;
// A store of any size says a handful of names at most.
constexpr size_t kMostFilesNoted = 16;

std::string Quoted(const std::wstring& text) { return "\"" + EncodeUtf8Lossless(text) + "\""; }

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string AnchorPaths(const StoreLocation& store, const std::vector<std::string>& files) {
  std::string paths;
  for (const std::string& file : files) {
    paths += (paths.empty() ? "" : ", ") + store.anchors_path() + "/" + file;
  }
  return paths;
}

// A removal that matched nothing: the names the admin may have meant,
// among those its scan read.
void SayNothingMatched(const RunAccount& account) {
  const StoreLocation& store = *account.store;
  if (!account.suggestions) {
    Complain("nothing was removed: no certificate in " + store.anchors_path() + " has the thumbprint " +
             Quoted(account.parameter));
    return;
  }
  Complain("nothing was removed: no certificate in " + store.anchors_path() + " is named " +
           Quoted(account.parameter) + "; names are matched exactly, case and spaces included");
  std::string closest;
  for (const std::wstring& name : account.suggestions->Closest()) {
    closest += (closest.empty() ? "" : ", ") + Quoted(name);
  }
  if (!closest.empty()) Complain("the closest names there: " + closest);
}

// A removal by name takes the first certificate of the name, where its scan
// met it; others of the name can only come after that, and only those files
// of the scan's listing are read again. One by thumbprint may have others
// of its name anywhere.
void SayWhatRemains(RunAccount& account) {
  const StoreLocation& store = *account.store;
  std::wstring removed_name;
  SimpleDisplayName(account.removed.data(), account.removed.size(), &removed_name);
  std::vector<std::vector<BYTE>> others;
  const size_t first = account.select_by == SelectBy::kName ? account.removed_at : 0;
  ForEachStoreName(store, account.removed_in->listing, first,
                   [&](const std::wstring& name, const std::vector<BYTE>& der, const std::string&) {
                     if (name != removed_name || der == account.removed) return;
                     for (const std::vector<BYTE>& seen : others) {
                       if (seen == der) return;
                     }
                     others.push_back(der);
                   });
  account.sharing_name = others.size() + 1;
  if (others.empty()) return;
  Complain(std::to_string(others.size() + 1) + " certificates were named " + Quoted(removed_name) +
           "; removed the one with SHA-1 " + Thumbprint(account.removed, EVP_sha1()) + " from " +
           AnchorPaths(store, account.removed_from) +
           (account.select_by == SelectBy::kName ? "; run again to remove the next" : "; the others stay"));
}

// What the scan found no certificate in, and why.
void SayWhatAnchorsHoldNothing(const RunAccount& account) {
  const StoreLocation& store = *account.store;
  const UniqueFd anchors = OpenAnchorsDirectory(store);
  if (!anchors) return;
  std::vector<std::pair<std::string, AnchorTrouble>> found;
  std::vector<BYTE> contents;
  for (const std::string& file : account.files_without_certificates) {
    if (ReadAnchorFile(store, anchors.get(), file, &contents) != ERROR_SUCCESS) continue;
    const AnchorTrouble trouble = TroubleOf(contents);
    if (trouble != AnchorTrouble::kNone) found.emplace_back(file, trouble);
  }
  NameTroubledAnchors(store, found);
}

std::string Utc(const ASN1_TIME* time) {
  const std::string text = TimeText(time, TimeStyle::kPerson);
  return text.empty() ? "an unreadable date" : text;
}

// What the installed certificate will not do as the admin may expect.
void SayWhatWillNotWork(const RunAccount& account) {
  if (account.queried.empty()) return;
  const unsigned char* p = account.queried.data();
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      d2i_X509(nullptr, &p, static_cast<long>(account.queried.size())), X509_free);
  if (!certificate) return;
  std::wstring name;
  SimpleDisplayName(account.queried.data(), account.queried.size(), &name);
  const std::string shown = Quoted(name);
  const uint32_t flags = X509_get_extension_flags(certificate.get());
  const char* only_itself = ": clients will trust it only as itself, not what it signed";
  if ((flags & EXFLAG_BCONS) != 0 && (flags & EXFLAG_CA) == 0) {
    Complain(shown + " is not a CA: its basic constraints say so" + std::string(only_itself));
  } else if ((flags & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(certificate.get()) & KU_KEY_CERT_SIGN) == 0) {
    Complain(shown + " may not sign certificates: its key usage says so" + std::string(only_itself));
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) < 0) {
    Complain(shown + " expired on " + Utc(X509_get0_notAfter(certificate.get())) +
             ": clients will not trust it");
  } else if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) > 0) {
    Complain(shown + " is not valid until " + Utc(X509_get0_notBefore(certificate.get())) +
             ": clients will not trust it before then");
  }
  if (account.certificates_passed_over > 0) {
    Complain(EncodeUtf8Lossless(account.parameter) + " holds " +
             Counted(account.certificates_passed_over, "more certificate", "more certificates") +
             " after the first, which " + (account.certificates_passed_over == 1 ? "was" : "were") +
             " not installed: install each from a file of its own");
  }
  if (!account.already_held_by.empty()) {
    Complain(account.store->anchors_path() + "/" + account.already_held_by +
             " already holds this certificate: nothing was changed");
  }
}

}  // namespace

void NoteStoreName(const std::wstring& name) {
  RunAccount& account = Account();
  if (!account.suggestions) return;
  ++account.names_seen;
  account.suggestions->Offer(name);
}

void NoteFileWithoutCertificate(const std::string& relative) {
  std::vector<std::string>& files = Account().files_without_certificates;
  if (files.size() < kMostFilesNoted) files.push_back(relative);
}

}  // namespace tkv

namespace tkv {
namespace {

// A setting that does not hold is said once, and the run does nothing.
bool Refuse(const std::string& why) {
  Account().refused = true;
  Complain(why + "; nothing was done");
  return false;
}

bool ReadReportDescriptor(const char* value, int* fd) {
  if (value == nullptr || *value == '\0') return true;
  char* end = nullptr;
  errno = 0;
  const long number = strtol(value, &end, 10);
  if (*end != '\0' || errno != 0 || number < 0 || number > INT32_MAX) {
    return Refuse(std::string("TKVCERT_REPORT=") + value + " is not a descriptor number");
  }
  // Checked before anything is opened, so that a number the caller never
  // opened can never name one of the tool's own files.
  const int flags = fcntl(static_cast<int>(number), F_GETFL);
  if (flags < 0 || ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR)) {
    return Refuse(std::string("TKVCERT_REPORT=") + value + ": descriptor " + value +
                  " is not open for writing (sudo closes descriptors above 2)");
  }
  *fd = static_cast<int>(number);
  // No program the tool runs inherits it.
  fcntl(*fd, F_SETFD, fcntl(*fd, F_GETFD) | FD_CLOEXEC);
  return true;
}

bool ReadSwitch(const char* name, bool* on) {
  const char* value = getenv(name);
  if (value == nullptr || *value == '\0' || strcmp(value, "0") == 0) return true;
  if (strcmp(value, "1") != 0) return Refuse(std::string(name) + "=" + value + ": it must be 1 or 0");
  *on = true;
  return true;
}

bool ReadSelectBy(SelectBy* by) {
  const char* value = getenv("TKVCERT_UNINSTALL_BY");
  if (value == nullptr || *value == '\0' || strcmp(value, "name") == 0) return true;
  if (strcmp(value, "sha1") == 0) {
    *by = SelectBy::kSha1;
  } else if (strcmp(value, "sha256") == 0) {
    *by = SelectBy::kSha256;
  } else {
    return Refuse(std::string("TKVCERT_UNINSTALL_BY=") + value + ": it must be name, sha1 or sha256");
  }
  return true;
}

size_t ThumbprintDigits(SelectBy by) { return by == SelectBy::kSha1 ? 40 : 64; }

bool IsThumbprint(const std::wstring& text, SelectBy by) {
  if (text.size() != ThumbprintDigits(by)) return false;
  for (wchar_t c : text) {
    if (!iswxdigit(static_cast<wint_t>(c)) || c > 0x7f) return false;
  }
  return true;
}


}  // namespace

void RecordComplaint(const std::string& why, bool warning) {
  RunAccount& account = Account();
  account.messages.push_back(why);
  if (warning) account.warnings.push_back(why);
}

}  // namespace tkv

bool AccountBegin(int arguments) {
  tkv::RunAccount& account = tkv::Account();
  account.arguments = arguments;
  if (!tkv::ReadReportDescriptor(getenv("TKVCERT_REPORT"), &account.report_fd)) return false;
  if (!tkv::ReadSwitch("TKVCERT_DRY_RUN", &account.dry_run)) return false;
  if (!tkv::ReadSelectBy(&account.select_by)) return false;
  if (account.dry_run && account.report_fd < 0) {
    account.dry_run = false;
    return tkv::Refuse("TKVCERT_DRY_RUN=1 needs TKVCERT_REPORT: a dry run answers only in its report");
  }
  return true;
}

bool AccountRequest(RunCommand command, const wchar_t* parameter, size_t ignored_arguments) {
  tkv::RunAccount& account = tkv::Account();
  account.requested = true;
  account.command = command;
  account.parameter = parameter;
  if (command == RunCommand::kUninstall && account.select_by != tkv::SelectBy::kName) {
    if (!tkv::IsThumbprint(account.parameter, account.select_by)) {
      return tkv::Refuse("TKVCERT_UNINSTALL_BY=" +
                         std::string(account.select_by == tkv::SelectBy::kSha1 ? "sha1" : "sha256") + ": " +
                         tkv::Quoted(account.parameter) + " is not " +
                         std::to_string(tkv::ThumbprintDigits(account.select_by)) + " hexadecimal digits");
    }
  } else if (command == RunCommand::kUninstall) {
    account.suggestions = std::make_unique<tkv::NameSuggestions>(account.parameter, tkv::kSuggestedNames);
  }
  if (ignored_arguments > 0) {
    tkv::Complain("ignored " + tkv::Counted(ignored_arguments, "argument", "arguments") + " after " +
                  tkv::Quoted(account.parameter) +
                  ": a command takes one parameter; quote a name that holds spaces");
  }
  return true;
}

void AccountError(const wchar_t* message, bool warning, bool with_last_error) {
  const tkv::KeepErrors unchanged;
  tkv::ReportedLine line;
  line.message = tkv::EncodeUtf8Lossless(message);
  line.warning = warning;
  line.with_last_error = with_last_error;
  line.last_error = GetLastError();
  tkv::Account().reported.push_back(std::move(line));
}

bool AccountSelects(PCCERT_CONTEXT certificate, const wchar_t* parameter, bool name_matches) {
  const tkv::RunAccount& account = tkv::Account();
  if (account.select_by == tkv::SelectBy::kName) return name_matches;
  const tkv::KeepErrors unchanged;
  const std::vector<BYTE> der(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
  std::string wanted = tkv::EncodeUtf8Lossless(parameter);
  for (char& c : wanted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return tkv::Thumbprint(der, account.select_by == tkv::SelectBy::kSha1 ? EVP_sha1() : EVP_sha256()) == wanted;
}

std::wstring AccountShownName(const wchar_t* name) {
  if (tkv::Account().select_by == tkv::SelectBy::kName) return name;
  return tkv::DecodeUtf8Lossless(tkv::EscapeControls(tkv::EncodeUtf8Lossless(name)));
}

void AccountEnd(int status) {
  tkv::RunAccount& account = tkv::Account();
  if (account.ended) return;
  account.ended = true;
  // Said only of a run that did what it was asked: after a failure the
  // error lines are what matters.
  if (account.requested && status == 0 && account.store) {
    const tkv::KeepErrors unchanged;
    if (account.command == RunCommand::kInstall) {
      tkv::SayWhatWillNotWork(account);
    } else {
      if (account.removed.empty()) {
        tkv::SayNothingMatched(account);
      } else {
        tkv::SayWhatRemains(account);
      }
      tkv::SayWhatAnchorsHoldNothing(account);
    }
  }
  tkv::WriteRunReport(account, status);
}
