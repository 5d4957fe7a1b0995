// Helpers for setting the last-error code inside this layer.
#ifndef TKVCERT_PLATFORM_POSIX_LAST_ERROR_H_
#define TKVCERT_PLATFORM_POSIX_LAST_ERROR_H_

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The Windows code for the same cause as a POSIX errno value.
DWORD ErrorFromErrno(int err);

// Sets the last error and returns FALSE, for one-line failure paths.
inline BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_LAST_ERROR_H_
