// Reading a directory through its descriptor, so that a name resolved once
// is the directory read, whatever is renamed meanwhile.
#ifndef TKVCERT_PLATFORM_POSIX_DIRECTORY_ENTRIES_H_
#define TKVCERT_PLATFORM_POSIX_DIRECTORY_ENTRIES_H_

#include <dirent.h>

#include <functional>
#include <string>
#include <vector>

namespace tkv {

// Calls `visit` for each entry of the directory open as `dir_fd`, "." and
// ".." left out, until it returns false. False when the directory cannot be
// read or `visit` stopped it.
bool ForEachEntry(int dir_fd, const std::function<bool(const dirent&)>& visit);

// The names of the entries of the directory open as `dir_fd`, "." and ".."
// left out, sorted in byte order: the one way a list of names is taken.
std::vector<std::string> EntryNames(int dir_fd);

// Whether the directory open as `dir_fd` has an entry `name`, a link
// counting as itself.
bool EntryExists(int dir_fd, const std::string& name);

// "a/b" of "a/b/c", "" of "c"; and "c" of either.
std::string DirName(const std::string& path);
std::string BaseName(const std::string& path);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_DIRECTORY_ENTRIES_H_
