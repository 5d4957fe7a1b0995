#include "platform/posix/base/errno_name.h"

#include <cerrno>

namespace tkv {

const char* ErrnoName(int value) {
  switch (value) {
#define TKV_ERRNO(name) \
  case name:            \
    return #name;
    TKV_ERRNO(EPERM)
    TKV_ERRNO(ENOENT)
    TKV_ERRNO(ESRCH)
    TKV_ERRNO(EINTR)
    TKV_ERRNO(EIO)
    TKV_ERRNO(ENXIO)
    TKV_ERRNO(E2BIG)
    TKV_ERRNO(ENOEXEC)
    TKV_ERRNO(EBADF)
    TKV_ERRNO(ECHILD)
    TKV_ERRNO(EAGAIN)
    TKV_ERRNO(ENOMEM)
    TKV_ERRNO(EACCES)
    TKV_ERRNO(EFAULT)
    TKV_ERRNO(EBUSY)
    TKV_ERRNO(EEXIST)
    TKV_ERRNO(EXDEV)
    TKV_ERRNO(ENODEV)
    TKV_ERRNO(ENOTDIR)
    TKV_ERRNO(EISDIR)
    TKV_ERRNO(EINVAL)
    TKV_ERRNO(ENFILE)
    TKV_ERRNO(EMFILE)
    TKV_ERRNO(ETXTBSY)
    TKV_ERRNO(EFBIG)
    TKV_ERRNO(ENOSPC)
    TKV_ERRNO(EROFS)
    TKV_ERRNO(EMLINK)
    TKV_ERRNO(EPIPE)
    TKV_ERRNO(ERANGE)
    TKV_ERRNO(ENAMETOOLONG)
    TKV_ERRNO(ENOSYS)
    TKV_ERRNO(ENOTEMPTY)
    TKV_ERRNO(ELOOP)
    TKV_ERRNO(EOVERFLOW)
    TKV_ERRNO(EUSERS)
    TKV_ERRNO(EOPNOTSUPP)
    TKV_ERRNO(EDQUOT)
    TKV_ERRNO(ESTALE)
#undef TKV_ERRNO
    default:
      return nullptr;
  }
}

}  // namespace tkv
