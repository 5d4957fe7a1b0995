// Reading a certificate file without trusting it to be one.
#ifndef TKVCERT_PLATFORM_POSIX_FILE_READER_H_
#define TKVCERT_PLATFORM_POSIX_FILE_READER_H_

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Reads a whole regular file of at most max_size bytes. Never blocks on a
// FIFO or device and never opens one (opening some devices has effects), even
// when the path is swapped for a link to one while this runs: what the path
// names is looked at once, and only that file is opened. Never reads more
// than max_size + 1 bytes. Returns ERROR_SUCCESS or the code for the cause:
// ERROR_ACCESS_DENIED for a directory, ERROR_NOT_SUPPORTED for any other
// non-regular file, ERROR_FILE_TOO_LARGE past max_size, or the code of the
// failed system call (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_CANT_RESOLVE_FILENAME for a link loop, ...). The file is opened
// through /proc/self/fd; where /proc is not mounted every file is refused
// with ERROR_NOT_SUPPORTED rather than opened by its path again. On any
// failure but ERROR_NOT_SUPPORTED, errno holds the system's word for it.
DWORD ReadRegularFile(const std::string& path, size_t max_size,
                      std::vector<BYTE>* contents);


// The same for a file already opened (without blocking): checked to be a
// regular file of at most max_size bytes before a byte is read.
DWORD ReadOpenedFile(int fd, size_t max_size, std::vector<BYTE>* contents);

// The same for a file already located as an O_PATH descriptor, which opened
// nothing: checked to be a regular file of at most max_size bytes, and only
// then opened for reading, as that very file (through /proc, as
// ReadRegularFile does).
DWORD ReadLocatedFile(int located, size_t max_size, std::vector<BYTE>* contents);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_FILE_READER_H_
