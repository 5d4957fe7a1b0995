#include "platform/posix/anchors/distribution_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/cert/anchor_format.h"

namespace tkv {
namespace {

// Written beside the file it replaces, so the rename never crosses a file
// system; the dot keeps Debian's and Alpine's tools from reading it.
constexpr char kStagingPrefix[] = ".tkvcert-";

// A conf is a few KiB; a blocklist file or a set's file a few hundred.
constexpr size_t kMaxSetFile = 16u << 20;

// Read as the root sees it, as a regular file alone.
DWORD ReadBelow(const RootDirectory& root, const std::string& relative, std::vector<BYTE>* contents,
                struct stat* st = nullptr) {
  const UniqueFd located = root.OpenBelow(relative, O_PATH);
  if (!located) return ErrorFromErrno(errno);
  if (st != nullptr && fstat(located.get(), st) != 0) return ErrorFromErrno(errno);
  return ReadLocatedFile(located.get(), kMaxSetFile, contents);
}

// Whether the text before a block (a p11-kit object's attributes, in a
// set's .p11-kit file) says the distribution itself distrusts it.
bool MarkedDistrusted(const std::vector<BYTE>& contents, size_t from, size_t to) {
  const std::string attributes(contents.begin() + static_cast<long>(from), contents.begin() + static_cast<long>(to));
  return attributes.find("x-distrusted: true") != std::string::npos ||
         attributes.find("trusted: false") != std::string::npos;
}

// The certificates a file holds, those its own attributes distrust left out.
std::vector<std::vector<BYTE>> CertificatesIn(const std::vector<BYTE>& contents) {
  std::vector<std::vector<BYTE>> ders;
  size_t after_last = 0;
  for (const AnchorBlock& block : ParseAnchorFile(contents)) {
    const bool distrusted = MarkedDistrusted(contents, after_last, block.begin);
    after_last = block.end;
    if (block.decoded && !distrusted) ders.push_back(block.der);
  }
  return ders;
}

// The certificates of the set's files, each file read once however many
// lines name it: a hostile image's conf may name one large file often.
class SetFiles {
 public:
  explicit SetFiles(const RootDirectory& root, std::vector<UnreadFile>* unread = nullptr)
      : root_(root), unread_(unread) {}
  const std::vector<std::vector<BYTE>>& Of(const std::string& relative) {
    auto [at, added] = read_.try_emplace(relative);
    if (!added) return at->second;
    std::vector<BYTE> contents;
    const DWORD code = ReadBelow(root_, relative, &contents);
    if (code == ERROR_SUCCESS) {
      at->second = CertificatesIn(contents);
    } else if (unread_ != nullptr && KeepsUnread(code)) {
      unread_->push_back({root_.DisplayPath(relative), code});
    }
    return at->second;
  }
  bool Holds(const std::string& relative, const std::vector<BYTE>& der) {
    for (const std::vector<BYTE>& held : Of(relative)) {
      if (held == der) return true;
    }
    return false;
  }

 private:
  const RootDirectory& root_;
  std::vector<UnreadFile>* unread_;
  std::map<std::string, std::vector<std::vector<BYTE>>> read_;
};

// The conf, line by line with each line's end kept, so that it is written
// back byte for byte.
std::vector<std::string> Lines(const std::vector<BYTE>& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    const BYTE* end = static_cast<const BYTE*>(memchr(text.data() + from, '\n', text.size() - from));
    const size_t to = end == nullptr ? text.size() : static_cast<size_t>(end - text.data()) + 1;
    lines.emplace_back(text.begin() + static_cast<long>(from), text.begin() + static_cast<long>(to));
    from = to;
  }
  return lines;
}

std::string Body(const std::string& line) { return line.back() == '\n' ? line.substr(0, line.size() - 1) : line; }

// A line the refresh reads as a certificate file: both skip empty lines,
// comments and "!" lines.
bool Selects(const std::string& body) { return !body.empty() && body[0] != '#' && body[0] != '!'; }

std::string SetFile(const StoreLayout& layout, const std::string& named) {
  return std::string(layout.distribution_cas) + "/" + named;
}

DWORD ReadConfSet(const StoreLocation& location, bool distrusted_too, std::vector<DistributionCertificate>* set,
                  std::vector<UnreadFile>* unread) {
  const StoreLayout& layout = *location.layout;
  std::vector<BYTE> text;
  const DWORD read = ReadBelow(*location.root, layout.distrust_path, &text);
  if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
  if (read != ERROR_SUCCESS && unread != nullptr && KeepsUnread(read)) {
    unread->push_back({location.root->DisplayPath(layout.distrust_path), read});
  }
  if (read != ERROR_SUCCESS) return read;
  std::set<std::vector<BYTE>> seen;
  SetFiles files(*location.root, unread);
  // What a chosen line names is trusted, whatever a "!" line says of the
  // same file: the chosen ones first.
  for (const bool distrusted : {false, true}) {
    if (distrusted && !distrusted_too) break;
    for (const std::string& line : Lines(text)) {
      const std::string body = Body(line);
      if (distrusted ? !(body.size() > 1 && body[0] == '!') : !Selects(body)) continue;
      const std::string file = SetFile(layout, distrusted ? body.substr(1) : body);
      for (const std::vector<BYTE>& der : files.Of(file)) {
        if (seen.insert(der).second) set->push_back({der, file, distrusted});
      }
    }
  }
  return ERROR_SUCCESS;
}

bool InBlocklist(const std::string& relative) {
  for (const char* name : {"blocklist/", "blacklist/"}) {
    if (relative.compare(0, strlen(name), name) == 0 || relative.find(std::string("/") + name) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The top entries of a blocklist directory that are files, and what each holds.
std::map<std::string, std::vector<std::vector<BYTE>>> ReadBlocklist(const RootDirectory& root,
                                                                    const std::string& dir) {
  std::map<std::string, std::vector<std::vector<BYTE>>> files;
  const UniqueFd fd = root.OpenBelow(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) return files;
  for (const std::string& name : EntryNames(fd.get())) {
    if (name.compare(0, strlen(kStagingPrefix), kStagingPrefix) == 0) continue;
    std::vector<BYTE> contents;
    if (ReadBelow(root, dir + "/" + name, &contents) != ERROR_SUCCESS) continue;
    files[name] = CertificatesIn(contents);
  }
  return files;
}

DWORD ReadBlocklistedSet(const StoreLocation& location, bool distrusted_too,
                         std::vector<DistributionCertificate>* set, std::vector<UnreadFile>* unread) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  std::set<std::vector<BYTE>> blocked;
  for (const auto& [name, ders] : ReadBlocklist(root, layout.distrust_path)) blocked.insert(ders.begin(), ders.end());
  const UniqueFd dir = root.OpenBelow(layout.distribution_cas, O_RDONLY | O_DIRECTORY);
  if (!dir) return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
  std::set<std::vector<BYTE>> seen;
  for (const std::string& name : ListFilesBelow(root, layout.distribution_cas, AnchorSelection::kEveryFileBelow,
                                                dir.get())) {
    const std::string file = SetFile(layout, name);
    std::vector<BYTE> contents;
    const DWORD code = ReadBelow(root, file, &contents);
    if (code != ERROR_SUCCESS) {
      if (unread != nullptr && KeepsUnread(code)) unread->push_back({root.DisplayPath(file), code});
      continue;
    }
    // The distribution's own blocklist is distrusted by it, not by the admin.
    const bool its_own_blocklist = InBlocklist(name);
    for (std::vector<BYTE>& der : CertificatesIn(contents)) {
      const bool distrusted = its_own_blocklist || blocked.count(der) != 0;
      if (distrusted && (!distrusted_too || its_own_blocklist)) continue;
      if (seen.insert(der).second) set->push_back({std::move(der), file, distrusted});
    }
  }
  return ERROR_SUCCESS;
}

// Only a directory of root's alone, on the root's own file systems, is
// written in: one another user may change could swap the file under it.
DWORD CheckDirectory(const RootDirectory& root, const std::string& dir, std::string* why) {
  const UniqueFd fd = root.OpenBelow(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) {
    *why = "cannot open " + root.DisplayPath(dir) + ": " + strerror(errno);
    return ERROR_ACCESS_DENIED;
  }
  if (DWORD code = root.CheckTrusted(dir, why)) return code;
  return root.CheckWritable(fd.get(), dir, why);
}

DWORD PlanConfLines(const StoreLocation& location, const std::vector<BYTE>& der, bool distrust,
                    std::vector<DistrustEdit>* edits, std::string* why) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  std::vector<BYTE> text;
  struct stat st;
  const DWORD read = ReadBelow(root, layout.distrust_path, &text, &st);
  if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
  if (read != ERROR_SUCCESS) {
    *why = "cannot read " + root.DisplayPath(layout.distrust_path) + ": " + strerror(errno);
    return read;
  }
  std::string rewritten;
  std::vector<std::string> changed;
  SetFiles files(root);
  for (const std::string& line : Lines(text)) {
    const std::string body = Body(line);
    const bool flips = distrust ? Selects(body) : body.size() > 1 && body[0] == '!';
    const std::string file = SetFile(layout, distrust ? body : body.substr(std::min<size_t>(1, body.size())));
    if (!flips || !files.Holds(file, der)) {
      rewritten += line;
      continue;
    }
    // A line names a file, and all it holds goes or comes back with it.
    if (files.Of(file).size() > 1) {
      *why = root.DisplayPath(file) + ": it holds other certificates too, which its line in " +
             root.DisplayPath(layout.distrust_path) + " would " + (distrust ? "distrust" : "trust") +
             " with it; split it or change the line by hand";
      return ERROR_ACCESS_DENIED;
    }
    rewritten += distrust ? "!" + line : line.substr(1);
    changed.push_back(distrust ? "!" + body : body.substr(1));
  }
  if (changed.empty()) return ERROR_SUCCESS;
  const std::string path = layout.distrust_path;
  if (DWORD code = CheckDirectory(root, DirName(path), why)) return code;
  if (DWORD code = root.CheckTrusted(path, why)) return code;
  DistrustEdit edit{DirName(path), BaseName(path), false, {rewritten, st.st_mode & 07777, st.st_uid, st.st_gid}, "",
                    std::string(text.begin(), text.end())};
  edit.shown = root.DisplayPath(path) + ": ";
  for (size_t i = 0; i < changed.size(); ++i) edit.shown += (i == 0 ? "" : ", ") + changed[i];
  edits->push_back(std::move(edit));
  return ERROR_SUCCESS;
}

bool SetTrusts(const StoreLocation& location, const std::vector<BYTE>& der) {
  std::vector<DistributionCertificate> set;
  if (ReadBlocklistedSet(location, /*distrusted_too=*/false, &set, nullptr) != ERROR_SUCCESS) return false;
  for (const DistributionCertificate& certificate : set) {
    if (certificate.der == der) return true;
  }
  return false;
}

DWORD PlanBlocklistFile(const StoreLocation& location, const std::vector<BYTE>& der, bool distrust,
                        std::vector<DistrustEdit>* edits, std::string* why) {
  const RootDirectory& root = *location.root;
  const std::string dir = location.layout->distrust_path;
  const auto blocklist = ReadBlocklist(root, dir);
  std::vector<std::string> holding;
  for (const auto& [name, ders] : blocklist) {
    for (const std::vector<BYTE>& held : ders) {
      if (held != der) continue;
      holding.push_back(name);
      break;
    }
  }
  if (distrust ? !holding.empty() || !SetTrusts(location, der) : holding.empty()) return ERROR_SUCCESS;
  // A blocklist directory that is not there yet is made in its parent.
  const bool exists = static_cast<bool>(root.OpenBelow(dir, O_PATH | O_DIRECTORY));
  if (DWORD code = CheckDirectory(root, exists ? dir : DirName(dir), why)) return code;
  if (distrust) {
    const std::string name = AnchorFileName(der);
    edits->push_back({dir, name, false, {PemCertificate(der), 0644, 0, 0}, root.DisplayPath(dir + "/" + name), ""});
    return ERROR_SUCCESS;
  }
  for (const std::string& name : holding) {
    for (const std::vector<BYTE>& held : blocklist.at(name)) {
      if (held == der) continue;
      *why = root.DisplayPath(dir + "/" + name) +
             ": it distrusts other certificates too; take this one out of it by hand";
      return ERROR_ACCESS_DENIED;
    }
    edits->push_back({dir, name, true, {}, root.DisplayPath(dir + "/" + name), ""});
  }
  return ERROR_SUCCESS;
}

// The directory of an edit, made when a blocklist's is not there yet.
UniqueFd OpenEditDirectory(const RootDirectory& root, const std::string& dir, bool make) {
  UniqueFd fd = root.OpenBelow(dir, O_RDONLY | O_DIRECTORY);
  if (fd || errno != ENOENT || !make) return fd;
  const UniqueFd parent = root.OpenBelow(DirName(dir), O_RDONLY | O_DIRECTORY);
  if (!parent || mkdirat(parent.get(), BaseName(dir).c_str(), 0755) != 0) return UniqueFd();
  // Readable by every user whatever the umask: p11-kit's module reads it
  // in their programs too.
  fd = root.OpenBelow(dir, O_RDONLY | O_DIRECTORY);
  if (!fd || fchmod(fd.get(), 0755) != 0 || fsync(parent.get()) != 0) return UniqueFd();
  return fd;
}

}  // namespace

DWORD ReadDistributionSet(const StoreLocation& location, bool distrusted_too,
                          std::vector<DistributionCertificate>* set, std::vector<UnreadFile>* unread) {
  set->clear();
  const StoreLayout& layout = *location.layout;
  switch (layout.distrust) {
    case DistrustWay::kConfLine:
      return ReadConfSet(location, distrusted_too, set, unread);
    case DistrustWay::kBlocklistFile:
      return ReadBlocklistedSet(location, distrusted_too, set, unread);
  }
  return ERROR_SUCCESS;
}

bool FindInDistributionSet(const StoreLocation& location, const std::vector<BYTE>& der,
                           DistributionCertificate* found) {
  std::vector<DistributionCertificate> set;
  if (ReadDistributionSet(location, /*distrusted_too=*/true, &set) != ERROR_SUCCESS) return false;
  for (DistributionCertificate& certificate : set) {
    if (certificate.der != der) continue;
    *found = std::move(certificate);
    return true;
  }
  return false;
}

DWORD PlanDistrust(const StoreLocation& location, const std::vector<BYTE>& der, bool distrust,
                   std::vector<DistrustEdit>* edits, std::string* why) {
  switch (location.layout->distrust) {
    case DistrustWay::kConfLine:
      return PlanConfLines(location, der, distrust, edits, why);
    case DistrustWay::kBlocklistFile:
      return PlanBlocklistFile(location, der, distrust, edits, why);
  }
  return ERROR_SUCCESS;
}

DWORD DistrustChange::Apply(const DistrustEdit& edit, std::string* why) {
  const RootDirectory& root = *location_.root;
  const std::string shown = root.DisplayPath(edit.dir + "/" + edit.name);
  Undo undo;
  undo.dir = OpenEditDirectory(root, edit.dir, !edit.remove);
  undo.name = edit.name;
  if (!undo.dir) {
    *why = "opening " + root.DisplayPath(edit.dir) + ": " + strerror(errno);
    return ErrorFromErrno(errno);
  }
  struct stat st;
  undo.existed = fstatat(undo.dir.get(), edit.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (undo.existed) {
    std::vector<BYTE> old;
    if (!S_ISREG(st.st_mode) || ReadBelow(root, edit.dir + "/" + edit.name, &old) != ERROR_SUCCESS) {
      *why = "keeping the old " + shown + ": not a readable file";
      return ERROR_ACCESS_DENIED;
    }
    undo.old = {std::string(old.begin(), old.end()), st.st_mode & 07777, st.st_uid, st.st_gid};
    // Changed since the plan read it (dpkg takes no lock of the store's):
    // writing the plan's text would lose that change.
    if (!edit.planned_on.empty() && undo.old.contents != edit.planned_on) {
      *why = shown + " changed while the change was planned; nothing of it was written, run again";
      return ERROR_BUSY;
    }
  }
  undo.wrote = edit.file.contents;
  const int dir = undo.dir.get();
  const DWORD code = edit.remove ? (unlinkat(dir, edit.name.c_str(), 0) == 0 && fsync(dir) == 0
                                        ? ERROR_SUCCESS
                                        : ErrorFromErrno(errno))
                                 : WriteAtomically(dir, kStagingPrefix, dir, edit.name, edit.file);
  if (code != ERROR_SUCCESS) {
    *why = (edit.remove ? "removing " : "writing ") + shown + ": " + strerror(errno);
    return code;
  }
  undo_.push_back(std::move(undo));
  return ERROR_SUCCESS;
}

DWORD DistrustChange::Rollback(std::string* failure) {
  DWORD result = ERROR_SUCCESS;
  for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
    const int dir = it->dir.get();
    // What another wrote since is not put back over.
    std::vector<BYTE> now;
    const UniqueFd current(openat(dir, it->name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (current && (ReadOpenedFile(current.get(), kMaxSetFile, &now) != ERROR_SUCCESS ||
                    std::string(now.begin(), now.end()) != it->wrote)) {
      if (result == ERROR_SUCCESS) *failure = it->name + ": changed by another since it was written";
      result = result == ERROR_SUCCESS ? ERROR_BUSY : result;
      continue;
    }
    const DWORD code = it->existed ? WriteAtomically(dir, kStagingPrefix, dir, it->name, it->old)
                                   : (unlinkat(dir, it->name.c_str(), 0) == 0 || errno == ENOENT) && fsync(dir) == 0
                                         ? ERROR_SUCCESS
                                         : ErrorFromErrno(errno);
    if (code != ERROR_SUCCESS && result == ERROR_SUCCESS) {
      result = code;
      *failure = it->name + ": " + strerror(errno);
    }
  }
  undo_.clear();
  return result;
}

}  // namespace tkv
