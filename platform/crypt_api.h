// The one platform header that app/ and store/ include. On Windows the real
// certificate API; elsewhere our implementation of the same names, types,
// constants and error codes.
#ifndef TKVCERT_PLATFORM_CRYPT_API_H_
#define TKVCERT_PLATFORM_CRYPT_API_H_

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#else
#include "platform/posix/wincrypt_posix.h"
#endif

#include "platform/console.h"

#endif  // TKVCERT_PLATFORM_CRYPT_API_H_
