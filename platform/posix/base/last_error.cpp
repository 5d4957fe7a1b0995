#include "platform/posix/base/last_error.h"

#include <cerrno>

namespace {
// Per thread, as on Windows; kept apart from errno, which output may change.
thread_local DWORD last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

namespace tkv {

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EWOULDBLOCK: return ERROR_BUSY;
    case EIO: return ERROR_READ_FAULT;
    default: return ERROR_FUNCTION_FAILED;
  }
}

}  // namespace tkv
