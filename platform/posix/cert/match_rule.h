// Which certificate a removal takes, as the run's settings say: the one
// whose name is the parameter, or, asked by TKVCERT_UNINSTALL_BY, the one
// whose SHA-1 or SHA-256 thumbprint it is. Read from the settings that every
// command carries; the account only hears what was taken.
#ifndef TKVCERT_PLATFORM_POSIX_CERT_MATCH_RULE_H_
#define TKVCERT_PLATFORM_POSIX_CERT_MATCH_RULE_H_

#include <string>
#include <vector>

#include "platform/posix/base/run_settings.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// How many hexadecimal digits a thumbprint of `by` has.
size_t ThumbprintDigits(SelectBy by);

// Whether `given` is a thumbprint of `by` as people copy it: "AA:BB:..." as
// openssl prints it, with spaces, in either case.
bool IsThumbprint(const std::wstring& given, SelectBy by);

// Whether a removal by `by` of `parameter` takes `der`, whose name is the
// parameter or not (`name_matches`). Leaves the last error as it was.
bool Selects(SelectBy by, const std::vector<BYTE>& der, const wchar_t* parameter, bool name_matches);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CERT_MATCH_RULE_H_
