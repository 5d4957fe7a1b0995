// AccountRequest and AccountEnd: what a person needs, said once a run ends,
// from the account and a quiet look at the store.
#include "platform/posix/run_account.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "platform/posix/anchor_format.h"
#include "platform/posix/anchor_listing.h"
#include "platform/posix/anchor_trouble.h"
#include "platform/posix/certificate_name.h"
#include "platform/posix/complaint.h"
#include "platform/posix/last_error.h"
#include "platform/posix/store_names.h"
#include "platform/posix/wide_text.h"

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

std::string Thumbprint(const std::vector<BYTE>& der) {
  std::string name = AnchorFileName(der);
  return name.substr(0, name.rfind('.'));
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
  Complain("nothing was removed: no certificate in " + store.anchors_path() + " is named " +
           Quoted(account.parameter) + "; names are matched exactly, case and spaces included");
  std::string closest;
  for (const std::wstring& name : account.suggestions->Closest()) {
    closest += (closest.empty() ? "" : ", ") + Quoted(name);
  }
  if (!closest.empty()) Complain("the closest names there: " + closest);
}

// A removal takes the first certificate of the name, where its scan met it;
// others of the name can only come after that, and only those files of the
// scan's listing are read again.
void SayWhatRemains(const RunAccount& account) {
  const StoreLocation& store = *account.store;
  std::vector<std::vector<BYTE>> others;
  ForEachStoreName(store, account.removed_in->listing, account.removed_at,
                   [&](const std::wstring& name, const std::vector<BYTE>& der, const std::string&) {
                     if (name != account.parameter) return;
                     for (const std::vector<BYTE>& seen : others) {
                       if (seen == der) return;
                     }
                     others.push_back(der);
                   });
  if (others.empty()) return;
  Complain(std::to_string(others.size() + 1) + " certificates were named " + Quoted(account.parameter) +
           "; removed the one with SHA-1 " + Thumbprint(account.removed) + " from " +
           AnchorPaths(store, account.removed_from) + "; run again to remove the next");
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
  struct tm tm {};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return "an unreadable date";
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
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

void AccountRequest(RunCommand command, const wchar_t* parameter, size_t ignored_arguments) {
  tkv::RunAccount& account = tkv::Account();
  account.requested = true;
  account.command = command;
  account.parameter = parameter;
  if (command == RunCommand::kUninstall) {
    account.suggestions = std::make_unique<tkv::NameSuggestions>(account.parameter, tkv::kSuggestedNames);
  }
  if (ignored_arguments > 0) {
    tkv::Complain("ignored " + tkv::Counted(ignored_arguments, "argument", "arguments") + " after " +
                  tkv::Quoted(account.parameter) +
                  ": a command takes one parameter; quote a name that holds spaces");
  }
}

void AccountEnd(int status) {
  tkv::RunAccount& account = tkv::Account();
  // Said once, and only of a run that did what it was asked: after a
  // failure the error lines are what matters.
  if (!account.requested || status != 0 || !account.store) return;
  account.requested = false;
  const tkv::KeepErrors unchanged;
  if (account.command == RunCommand::kInstall) {
    tkv::SayWhatWillNotWork(account);
    return;
  }
  if (account.removed.empty()) {
    tkv::SayNothingMatched(account);
  } else {
    tkv::SayWhatRemains(account);
  }
  tkv::SayWhatAnchorsHoldNothing(account);
}
