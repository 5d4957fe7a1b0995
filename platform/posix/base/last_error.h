// Helpers for setting the last-error code inside this layer.
#ifndef TKVCERT_PLATFORM_POSIX_LAST_ERROR_H_
#define TKVCERT_PLATFORM_POSIX_LAST_ERROR_H_

#include <cerrno>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The Windows code for the same cause as a POSIX errno value.
DWORD ErrorFromErrno(int err);

// Sets the last error and returns FALSE, for one-line failure paths.
inline BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Keeps the last error and errno as they are for as long as it lives: for
// clean-up after a failure, or a step that must not change what the caller
// reads of either.
class KeepErrors {
 public:
  KeepErrors() : last_error_(GetLastError()), errno_(errno) {}
  ~KeepErrors() {
    SetLastError(last_error_);
    errno = errno_;
  }
  KeepErrors(const KeepErrors&) = delete;
  KeepErrors& operator=(const KeepErrors&) = delete;

 private:
  DWORD last_error_;
  int errno_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_LAST_ERROR_H_
