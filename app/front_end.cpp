#include "app/front_end.h"

#include <string>
#include <vector>

#include "platform/crypt_api.h"
#include "platform/run_channel.h"
#include "store/trust_store.h"

namespace {

struct Invocation {
  std::wstring command;
  std::wstring parameter;
  size_t ignored = 0;  // arguments after the parameter
};

bool IsKnownCommand(const std::wstring& arg) {
  return arg == L"/install" || arg == L"/uninstall";
}

// An argument beginning with "/" is a command, the last one seen before the
// parameter counting; the parameter is the first non-empty argument after a
// command. Where file names may begin with "/" (every absolute path off
// Windows), such an argument after a known command is the parameter instead,
// unless it is a known command itself. Returns false when an argument comes
// before any command.
bool CollectInvocation(const std::vector<std::wstring>& args, Invocation* out) {
  const bool slash_parameters = FileNamesMayBeginWithSlash();
  for (size_t i = 1; i < args.size(); ++i) {
    if (!out->command.empty() && !out->parameter.empty()) {
      out->ignored = args.size() - i;
      break;
    }
    const std::wstring& arg = args[i];
    const bool is_command =
        !arg.empty() && arg[0] == L'/' &&
        !(slash_parameters && IsKnownCommand(out->command) && !IsKnownCommand(arg));
    if (is_command) {
      out->command = arg;
    } else if (!out->command.empty()) {
      out->parameter = arg;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int PrintUsage(const char* program_name) {
  PrintNarrow("%s TKV proxy certificate management utility.\nUsage:\n", program_name);
  PrintNarrow("- %s /install <filename>\n\tInstall TKV CA certificate to trust store\n", program_name);
  PrintNarrow("- %s /uninstall <subject>\n\tRemove TKV CA certificate from trust store\n", program_name);
  return 1;
}

namespace {

int Ended(int status) {
  AccountEnd(status);
  return status;
}

int Dispatch(const Invocation& invocation, const char* program_name) {
  const wchar_t* parameter = invocation.parameter.c_str();
  if (invocation.command == L"/install") {
    if (!AccountRequest(RunCommand::kInstall, parameter, invocation.ignored)) return 1;
    const bool installed = InstallCertificate(parameter);
    PrintWide(L"Done importing [%s]\n", parameter);
    return installed ? 0 : 1;
  }
  if (invocation.command == L"/uninstall") {
    if (!AccountRequest(RunCommand::kUninstall, parameter, invocation.ignored)) return 1;
    const bool scanned = RemoveCertificate(parameter);
    PrintWide(L"Done removing [%s]\n", parameter);
    return scanned ? 0 : 1;
  }
  // An unknown command is as malformed as a missing one: silence and success
  // would let a typo in a script pass unnoticed.
  return PrintUsage(program_name);
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  const char* program_name = argc > 0 ? argv[0] : "tkvcert";
  if (!AccountBegin(argc > 0 ? argc - 1 : 0)) return Ended(1);
  if (const int listed = AccountList(); listed >= 0) return Ended(listed);
  if (argc <= 2) return Ended(PrintUsage(program_name));

  Invocation invocation;
  if (!CollectInvocation(GetWideArguments(argc, argv), &invocation) ||
      invocation.command.empty() || invocation.parameter.empty()) {
    return Ended(PrintUsage(program_name));
  }
  return Ended(Dispatch(invocation, program_name));
}
