// The channel's calls, each handed to the process's one account.
#include "platform/posix/api/process.h"

#include "platform/run_account.h"

namespace tkv {

RunAccount& TheAccount() {
  static RunAccount account;
  return account;
}

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
  return tkv::TheAccount().Selects(der, parameter, name_matches);
}

std::wstring AccountShownName(const wchar_t* name) { return tkv::TheAccount().ShownName(name); }

void AccountEnd(int status) { tkv::TheAccount().End(status); }
