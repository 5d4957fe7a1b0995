// The trust-store operations behind the tool's two commands.
#ifndef TKVCERT_STORE_TRUST_STORE_H_
#define TKVCERT_STORE_TRUST_STORE_H_

#include "platform/crypt_api.h"

// The local machine's "Root" system store, opened the same way by both
// operations: system-store provider, no encoding, no provider handle, and
// never created if it is missing.
#define TKV_STORE_PROVIDER CERT_STORE_PROV_SYSTEM_W
#define TKV_STORE_ENCODING 0
#define TKV_STORE_CRYPT_PROV 0
#define TKV_STORE_FLAGS (CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG)
#define TKV_STORE_NAME L"Root"

// Adds the certificate held in a file to the store. Every failure is reported
// through the diagnostics; returns whether the certificate was added.
bool InstallCertificate(const wchar_t* file_name);

// Removes the first certificate of the store whose simple display name is
// exactly `subject`. Returns false when the store could not be opened; a
// subject that matches nothing is no failure. A failed deletion ends the
// process with status 1.
bool RemoveCertificate(const wchar_t* subject);

#endif  // TKVCERT_STORE_TRUST_STORE_H_
