// The process's entry: its one account, and the channel's calls, each
// handed to it.
#include "platform/posix/api/process.h"

#include "platform/posix/account/run_account.h"
#include "platform/posix/cert/match_rule.h"
#include "platform/run_channel.h"

namespace tkv {
namespace {

RunAccount& TheAccount() {
  static RunAccount account;
  return account;
}

}  // namespace

StoreEvents& RunListener() { return TheAccount(); }

const RunSettings& ProcessSettings() { return TheAccount().settings(); }

RunSettings SettingsForStore() { return TheAccount().SettingsForStore(); }

}  // namespace tkv

bool AccountBegin(int arguments) { return tkv::TheAccount().Begin(arguments); }

int AccountList() { return tkv::TheAccount().List(); }
bool AccountRequest(RunCommand command, const wchar_t* parameter, size_t ignored_arguments) {
  return tkv::TheAccount().Request(command, parameter, ignored_arguments);
}

void AccountError(const wchar_t* message, bool warning, bool with_last_error) {
  tkv::TheAccount().Error(message, warning, with_last_error);
}

bool AccountSelects(PCCERT_CONTEXT certificate, const wchar_t* parameter, bool name_matches) {
  const std::vector<BYTE> der(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
  return tkv::Selects(tkv::ProcessSettings().select_by, der, parameter, name_matches);
}

std::wstring AccountShownName(const wchar_t* name) { return tkv::TheAccount().ShownName(name); }

void AccountEnd(int status) { tkv::TheAccount().End(status); }
