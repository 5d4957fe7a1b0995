#include "platform/posix/browsers/policy_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/ownership.h"
#include "platform/posix/base/terminal_text.h"
#include "platform/posix/base/unpredictable_name.h"
#include "platform/posix/base/wide_text.h"
#include "platform/posix/cert/certificate_name.h"

namespace tkv {

using Json = nlohmann::ordered_json;

UniqueFd Place::OpenDir(const std::string& relative) const {
  return root_.OpenBelow(relative, O_RDONLY | O_DIRECTORY);
}

UniqueFd Place::MakeDir(const std::string& relative) const {
  UniqueFd dir = OpenDir(relative);
  if (dir || errno != ENOENT || !carry_out_) return dir;
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

std::string Place::WhyNotWritable(int dir_fd, const std::string& relative) const {
  if (root_.checks_ownership() && CheckRootsAloneUpTo(dir_fd, root_.fd()) != ERROR_SUCCESS) {
    return Show(relative) + " (or a directory above it in the image) is another user's or writable by others";
  }
  std::string why;
  return root_.CheckWritable(dir_fd, relative, &why) == ERROR_SUCCESS ? "" : why;
}

std::string Reason(int err) { return strerror(err); }

std::string QuotedName(const std::vector<BYTE>& der) {
  std::wstring name;
  SimpleDisplayName(der.data(), der.size(), &name);
  return "\"" + EscapeControls(EncodeUtf8Lossless(name)) + "\"";
}

std::string ReadFailure(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return "No such file or directory";
    case ERROR_FILE_TOO_LARGE: return "File too large";
    case ERROR_CANT_RESOLVE_FILENAME: return "Too many levels of symbolic links";
    case ERROR_NOT_SUPPORTED:
    case ERROR_ACCESS_DENIED: return "Invalid argument";  // not a file it may read
    default: return "Input/output error";
  }
}

DWORD ReadLocatedPolicyFile(int located, std::string* text) {
  std::vector<BYTE> contents;
  if (DWORD code = ReadLocatedFile(located, kMaxPolicyFileSize, &contents)) return code;
  text->assign(contents.begin(), contents.end());
  return ERROR_SUCCESS;
}

DWORD ReadPolicyFile(int dir_fd, const std::string& name, std::string* text, struct stat* st) {
  // Located first, opening nothing: opening a device can have effects, and
  // opening a FIFO wakes its writer.
  const UniqueFd located(openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!located || fstat(located.get(), st) != 0) return ErrorFromErrno(errno);
  if (S_ISLNK(st->st_mode)) return ERROR_CANT_RESOLVE_FILENAME;
  if (!S_ISREG(st->st_mode)) return ERROR_NOT_SUPPORTED;
  return ReadLocatedPolicyFile(located.get(), text);
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

}  // namespace tkv
