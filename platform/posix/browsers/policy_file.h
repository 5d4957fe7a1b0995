// What the browsers' policy files have in common: where they are (one root,
// and whether its directories can be trusted), reading one without opening
// anything but a regular file, parsing it without trusting its shape, and
// putting a new one in place atomically.
#ifndef TKVCERT_PLATFORM_POSIX_POLICY_FILE_H_
#define TKVCERT_PLATFORM_POSIX_POLICY_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/posix/base/command.h"
#include "platform/posix/base/root_directory.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// The largest policy file read: Chromium's hold certificates, a few KiB each.
constexpr size_t kMaxPolicyFileSize = 16 << 20;

// The deepest nesting of arrays and objects parsed. Policy files are a few
// levels deep (extension settings and folders of managed bookmarks, the
// deepest, stay well under twenty), while parts of the JSON library (writing
// a document out, copying one) recurse once per level: a file nested a
// hundred thousand deep overflows the stack.
constexpr int kMaxPolicyDepth = 128;

// What the browser step works in: one root, how to name its paths, whom to
// tell what it cannot do, and whether it writes. Deciding (for a dry run)
// goes the same way as writing and stops short of every write: a missing
// directory is one it would make, a file it would write or remove is noted
// as changed, and nothing is made, written or removed.
class Place {
 public:
  Place(const RootDirectory& root, const Command& command, bool carry_out)
      : root_(root), command_(command), carry_out_(carry_out) {}

  const RootDirectory& root() const { return root_; }
  const Command& command() const { return command_; }
  bool carry_out() const { return carry_out_; }
  std::string Show(const std::string& relative) const { return root_.DisplayPath(relative); }

  // `relative` as an open directory, with every link resolved inside the
  // root; -1 with errno set when it is not one.
  UniqueFd OpenDir(const std::string& relative) const;

  // The same, made (root's, 0755) when missing; its parent must exist.
  // Deciding, nothing is made: a missing one is -1 with errno ENOENT, and
  // WouldMake() says so.
  UniqueFd MakeDir(const std::string& relative) const;
  // Whether a MakeDir() that gave -1 with errno `err` is a directory that
  // the step, deciding, would have made.
  bool WouldMake(int err) const { return !carry_out_ && err == ENOENT; }

  // Why the tool may not write in `dir_fd`, the root's `relative`; "" when
  // it may. Run as root in an image root, a directory that another user
  // owns or can write, or one of its directories up to the root, could swap
  // what the tool writes for what that user likes; in any other root than
  // the host's, a link must not lead the tool's writes onto a file system
  // that holds none of the root's layout (a host directory bound into an
  // image, its /run or /tmp). On the host, "" always: its directories are
  // its admin's business.
  std::string WhyNotWritable(int dir_fd, const std::string& relative) const;

  // A browser file written or removed (or that would be), for the report.
  void Changed(const std::string& relative) { changed_.push_back(Show(relative)); }
  const std::vector<std::string>& changed() const { return changed_; }

 private:
  const RootDirectory& root_;
  const Command& command_;
  bool carry_out_;
  std::vector<std::string> changed_;
};

// errno as words, for the step's lines on standard error.
std::string Reason(int err);

// A certificate's name, as the step's lines on standard error quote it.
std::string QuotedName(const std::vector<BYTE>& der);

// Reads the regular file `name` of `dir_fd`, not through a link:
// ERROR_FILE_NOT_FOUND when there is none, ERROR_CANT_RESOLVE_FILENAME for
// a link, ERROR_NOT_SUPPORTED for anything but a regular file (a FIFO, a
// device: looked at, never opened), ERROR_FILE_TOO_LARGE past
// kMaxPolicyFileSize. `st` is the file's status.
DWORD ReadPolicyFile(int dir_fd, const std::string& name, std::string* text, struct stat* st);

// The same for a file that `located` (an O_PATH descriptor) refers to.
DWORD ReadLocatedPolicyFile(int located, std::string* text);

// How a line on standard error says why a policy file was not read.
std::string ReadFailure(DWORD code);

enum class PolicyJson {
  kParsed,
  kUnparseable,  // not JSON (or, with `comments`, not JSON with comments)
  kTooDeep,      // nested deeper than kMaxPolicyDepth: not parsed
};

// Parses a policy file's text into `document`, after a first pass that
// builds nothing and stops at the first level past kMaxPolicyDepth.
// `comments` lets // and /* */ comments through, as Chromium does.
PolicyJson ParsePolicyJson(const std::string& text, bool comments,
                           nlohmann::ordered_json* document);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_POLICY_FILE_H_
