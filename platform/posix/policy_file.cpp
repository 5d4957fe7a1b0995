#include "platform/posix/policy_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/posix/directory_entries.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/ownership.h"
#include "platform/posix/unpredictable_name.h"

namespace tkv {

using Json = nlohmann::ordered_json;

UniqueFd Place::OpenDir(const std::string& relative) const {
  return root_.OpenBelow(relative, O_RDONLY | O_DIRECTORY);
}

UniqueFd Place::MakeDir(const std::string& relative) const {
  UniqueFd dir = OpenDir(relative);
  if (dir || errno != ENOENT) return dir;
  const size_t slash = relative.rfind('/');
  const UniqueFd parent = OpenDir(slash == std::string::npos ? "" : relative.substr(0, slash));
  if (!parent) return UniqueFd();
  const std::string name = relative.substr(slash + 1);
  const bool made_here = mkdirat(parent.get(), name.c_str(), 0755) == 0;
  if (!made_here && errno != EEXIST) return UniqueFd();
  UniqueFd made = OpenDir(relative);
  // Whatever the umask: a directory others cannot read hides the policy.
  if (made && made_here) fchmod(made.get(), 0755);
  return made;
}

bool Place::Trusted(int dir_fd) const {
  return !root_.checks_ownership() || CheckRootsAloneUpTo(dir_fd, root_.fd()) == ERROR_SUCCESS;
}

std::string Reason(int err) { return strerror(err); }

namespace {

int ReadLocated(int located, std::string* text) {
  std::vector<BYTE> contents;
  switch (ReadLocatedFile(located, kMaxPolicyFileSize, &contents)) {
    case ERROR_SUCCESS:
      text->assign(contents.begin(), contents.end());
      return 0;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_NOT_SUPPORTED:
    case ERROR_ACCESS_DENIED:
      return EINVAL;
    default:
      return EIO;
  }
}

}  // namespace

int ReadPolicyFile(int dir_fd, const std::string& name, std::string* text, struct stat* st) {
  // Located first, opening nothing: opening a device can have effects, and
  // opening a FIFO wakes its writer.
  const UniqueFd located(openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!located) return errno;
  if (fstat(located.get(), st) != 0) return errno;
  if (S_ISLNK(st->st_mode)) return ELOOP;
  if (!S_ISREG(st->st_mode)) return EINVAL;
  return ReadLocated(located.get(), text);
}

bool ReadLocatedPolicyFile(int located, std::string* text) {
  return ReadLocated(located, text) == 0;
}

namespace {

// Follows the nesting of a text as the parser reads it, strings and
// comments included, and stops it at the first level too many.
class DepthCheck : public nlohmann::json_sax<Json> {
 public:
  bool too_deep() const { return too_deep_; }

  bool start_object(std::size_t) override { return Enter(); }
  bool start_array(std::size_t) override { return Enter(); }
  bool end_object() override { return Leave(); }
  bool end_array() override { return Leave(); }
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool parse_error(std::size_t, const std::string&, const Json::exception&) override {
    return false;
  }

 private:
  bool Enter() {
    too_deep_ = ++depth_ > kMaxPolicyDepth;
    return !too_deep_;
  }
  bool Leave() {
    --depth_;
    return true;
  }

  int depth_ = 0;
  bool too_deep_ = false;
};

}  // namespace

PolicyJson ParsePolicyJson(const std::string& text, bool comments, Json* document) {
  // JSON has no place for a NUL byte, and the browsers refuse it; the JSON
  // library takes it for the end of the text and passes over what follows,
  // which a rewritten file would then lose.
  if (text.find('\0') != std::string::npos) return PolicyJson::kUnparseable;
  DepthCheck depth;
  const bool parsed = Json::sax_parse(text, &depth, Json::input_format_t::json,
                                      /*strict=*/true, comments);
  if (depth.too_deep()) return PolicyJson::kTooDeep;
  if (!parsed) return PolicyJson::kUnparseable;
  *document = Json::parse(text, nullptr, /*allow_exceptions=*/false, comments);
  return document->is_discarded() ? PolicyJson::kUnparseable : PolicyJson::kParsed;
}

namespace {

void RemoveLeftovers(int dir_fd, const std::string& prefix) {
  std::vector<std::string> names;
  ForEachEntry(dir_fd, [&](const dirent& entry) {
    if (strncmp(entry.d_name, prefix.c_str(), prefix.size()) == 0) names.emplace_back(entry.d_name);
    return true;
  });
  for (const std::string& name : names) unlinkat(dir_fd, name.c_str(), 0);
}

}  // namespace

int WriteAtomically(int stage_fd, const std::string& prefix, int dest_fd, const std::string& name,
                    const std::string& contents, mode_t mode, uid_t uid, gid_t gid) {
  RemoveLeftovers(stage_fd, prefix);
  const std::string suffix = UnpredictableHex();
  if (suffix.empty()) return EIO;
  const std::string temporary = prefix + suffix;
  UniqueFd fd(openat(stage_fd, temporary.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return errno;
  int err = 0;
  for (size_t written = 0; err == 0 && written < contents.size();) {
    const ssize_t n = write(fd.get(), contents.data() + written, contents.size() - written);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) written += static_cast<size_t>(n);
  }
  if (err == 0 && (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
      fchown(fd.get(), uid, gid) != 0) {
    err = errno;
  }
  if (err == 0 && fchmod(fd.get(), mode) != 0) err = errno;
  if (err == 0 && fsync(fd.get()) != 0) err = errno;
  // Closed before it is renamed in: a watcher of the destination hears of
  // the file once, complete.
  fd.reset();
  if (err == 0 && renameat(stage_fd, temporary.c_str(), dest_fd, name.c_str()) != 0) err = errno;
  if (err != 0) {
    unlinkat(stage_fd, temporary.c_str(), 0);
    return err;
  }
  fsync(dest_fd);
  return 0;
}

}  // namespace tkv
