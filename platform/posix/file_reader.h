// Reading a certificate file without trusting it to be one.
#ifndef TKVCERT_PLATFORM_POSIX_FILE_READER_H_
#define TKVCERT_PLATFORM_POSIX_FILE_READER_H_

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Reads a whole regular file of at most max_size bytes. Never blocks on a
// FIFO or device and never opens one (opening some devices has effects), and
// never reads more than max_size + 1 bytes. Returns ERROR_SUCCESS or the code
// for the cause: ERROR_ACCESS_DENIED for a directory, ERROR_NOT_SUPPORTED for
// any other non-regular file, ERROR_FILE_TOO_LARGE past max_size, or the
// code of the failed system call.
DWORD ReadRegularFile(const std::string& path, size_t max_size,
                      std::vector<BYTE>* contents);

// The same for a file that a directory listing has just shown to be a
// regular file: it is opened without being looked at first, which saves a
// lookup per file when a whole directory is read. What is opened is still
// checked before a byte is read, so a file swapped for something else since
// the listing is refused as ReadRegularFile would refuse it.
DWORD ReadListedRegularFile(const std::string& path, size_t max_size,
                            std::vector<BYTE>* contents);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_FILE_READER_H_
