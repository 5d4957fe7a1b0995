// Putting a file in place whole or not at all: the one way every file the
// tool writes is written (anchors, the emptied bundle, browser policies).
//
// It is written under a new name no one else can guess (created
// exclusively, never through a link, so nothing planted under it is written
// into), given its owner and mode, flushed to disk and closed, and only then
// renamed to its own name: a reader sees the old file or the new one, whole,
// and a watcher of the directory hears of it once.
#ifndef TKVCERT_PLATFORM_POSIX_ATOMIC_FILE_H_
#define TKVCERT_PLATFORM_POSIX_ATOMIC_FILE_H_

#include <sys/types.h>

#include <string>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// A file's contents, mode and owner, as it is to be written.
struct NewFile {
  std::string contents;
  mode_t mode = 0644;
  uid_t uid = static_cast<uid_t>(-1);  // -1: whoever writes it
  gid_t gid = static_cast<gid_t>(-1);
};

// Writes all of `contents` to `fd`, where it is.
DWORD WriteAll(int fd, const std::string& contents);

// Writes `file` under an unpredictable name beginning with `prefix` in
// `stage_fd`, and sets `*staged` to that name; renaming it is the caller's.
// On failure nothing is left, the code says why, and errno is that of the
// step that failed, for a line that names it.
DWORD StageFile(int stage_fd, const std::string& prefix, const NewFile& file, std::string* staged);

// StageFile, then renamed to `name` in `dest_fd` (on the same file system)
// and that directory flushed; a failed flush fails it, the file in place. What a run killed in the middle left in
// `stage_fd` under `prefix` is removed first: only this makes such names.
DWORD WriteAtomically(int stage_fd, const std::string& prefix, int dest_fd, const std::string& name,
                      const NewFile& file);

// Removes a staged file that will not be renamed in. What cannot be
// removed is left for the next sweep of staging: no reader reads it.
void DiscardStaged(int stage_fd, const std::string& staged);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ATOMIC_FILE_H_
