// The symbolic name of an errno value ("EPERM"), for lines a person reads
// where the C library's message would be vaguer, and written where only
// async-signal-safe code may run (between fork and exec). glibc has
// strerrorname_np for it, musl nothing; this table holds the values the
// tool's system calls fail with.
#ifndef TKVCERT_PLATFORM_POSIX_BASE_ERRNO_NAME_H_
#define TKVCERT_PLATFORM_POSIX_BASE_ERRNO_NAME_H_

namespace tkv {

// Null for a value the table does not hold.
const char* ErrnoName(int value);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_BASE_ERRNO_NAME_H_
