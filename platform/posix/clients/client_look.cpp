#include "platform/posix/clients/client_look.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/posix/base/directory_entries.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/root_directory.h"
#include "platform/posix/base/unique_fd.h"

namespace tkv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMostRead = 1 << 20;

// Where the families keep the Java keystore their refresh writes.
const char* const kJavaKeystores[] = {"etc/ssl/certs/java/cacerts", "etc/pki/ca-trust/extracted/java/cacerts",
                                      "var/lib/ca-certificates/java-cacerts"};

// The whole walk leaves out what is no file of the root's.
const char* const kNotWalked[] = {"proc", "sys", "dev", "run", "tmp"};

bool IsPseudoFileSystem(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC: case SYSFS_MAGIC: case DEVPTS_SUPER_MAGIC: case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC: case SECURITYFS_MAGIC: case DEBUGFS_MAGIC: case TRACEFS_MAGIC:
    case BPF_FS_MAGIC: case 0x62656570 /* configfs */:
      return true;
    default:
      return false;
  }
}

// A regular file below `dir_fd`, never through a link, opened for reading
// only once it is known to be one: a FIFO or a device is never opened.
UniqueFd OpenRegular(int dir_fd, const std::string& name) {
  UniqueFd located(openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!located || fstat(located.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  const std::string again = "/proc/self/fd/" + std::to_string(located.get());
  return UniqueFd(open(again.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

std::string ReadSmall(int fd) {
  std::vector<BYTE> contents;
  if (fd < 0 || ReadOpenedFile(fd, kMostRead, &contents) != ERROR_SUCCESS) return "";
  return std::string(contents.begin(), contents.end());
}

std::string ReadSmallAt(int root_fd, const std::string& relative) {
  UniqueFd located = OpenBeneathWithoutLinks(root_fd, relative, O_PATH | O_CLOEXEC);
  if (!located) return "";
  std::vector<BYTE> contents;
  if (ReadLocatedFile(located.get(), kMostRead, &contents) != ERROR_SUCCESS) return "";
  return std::string(contents.begin(), contents.end());
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Unquoted(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Whether the file streams `marker` (and not the other): a node's verdict,
// read in pieces, however large the binary.
enum class NodeVerdict { kUnknown, kBundled, kOpenSsl };
NodeVerdict JudgeNode(int fd, Clock::time_point deadline) {
  char magic[4] = {};
  if (pread(fd, magic, 4, 0) != 4 || memcmp(magic, "\x7f" "ELF", 4) != 0) return NodeVerdict::kUnknown;
  const size_t keep = strlen(kNodeOpenSslMarker);
  std::string window;
  std::vector<char> piece(1 << 20);
  for (off_t at = 0;; ) {
    const ssize_t n = pread(fd, piece.data(), piece.size(), at);
    if (n <= 0 || Clock::now() > deadline) return NodeVerdict::kUnknown;
    at += n;
    window.append(piece.data(), static_cast<size_t>(n));
    if (window.find(kNodeOpenSslMarker) != std::string::npos) return NodeVerdict::kOpenSsl;
    if (window.find(kNodeBundledMarker) != std::string::npos) return NodeVerdict::kBundled;
    window.erase(0, window.size() > keep ? window.size() - keep : 0);
  }
}

class Walker {
 public:
  Walker(int root_fd, const ClientContext& context, LookScope scope, LookBudget budget, ClientLook* look)
      : root_fd_(root_fd), context_(context), scope_(scope), budget_(budget), look_(look),
        deadline_(Clock::now() + budget.time) {}

  void Place(const LookPlace& place) {
    std::vector<std::pair<UniqueFd, std::vector<std::string>>> here;
    here.emplace_back(UniqueFd(dup(root_fd_)), std::vector<std::string>());
    const std::string path = place.path;
    for (size_t at = 0; at < path.size();) {
      const size_t slash = path.find('/', at);
      const std::string component = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
      at = slash == std::string::npos ? path.size() : slash + 1;
      std::vector<std::pair<UniqueFd, std::vector<std::string>>> next;
      for (auto& [fd, trail] : here) {
        std::vector<std::string> names;
        if (component.find('*') == std::string::npos) {
          names.push_back(component);
        } else {
          for (const std::string& name : EntryNames(fd.get())) {
            if (fnmatch(component.c_str(), name.c_str(), FNM_PERIOD) == 0) names.push_back(name);
          }
        }
        for (const std::string& name : names) {
          UniqueFd below = OpenDirectory(fd.get(), SiblingLinked(fd.get(), name));
          if (!below) continue;
          std::vector<std::string> longer = trail;
          longer.push_back(name);
          next.emplace_back(std::move(below), std::move(longer));
        }
      }
      here = std::move(next);
    }
    for (auto& [fd, trail] : here) Enter(fd.get(), trail, place.depth, IsPythonPackages(trail.back()));
  }

  void Whole() {
    std::vector<std::string> trail;
    Enter(root_fd_, trail, 64, false);
  }

 private:
  // A directory below `dir_fd`, never through a link, and never a
  // pseudo-file system mounted somewhere below the root.
  UniqueFd OpenDirectory(int dir_fd, const std::string& name) {
    UniqueFd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return fd;
    struct stat st {};
    struct stat above {};
    if (fstat(fd.get(), &st) != 0 || fstat(dir_fd, &above) != 0) return UniqueFd();
    if (st.st_dev != above.st_dev && IsPseudoFileSystem(fd.get())) return UniqueFd();
    return fd;
  }

  // A snap's "current" names its revision beside it: a link that leaves
  // its directory is not followed.
  static std::string SiblingLinked(int dir_fd, const std::string& name) {
    char target[256];
    const ssize_t n = readlinkat(dir_fd, name.c_str(), target, sizeof target - 1);
    if (n <= 0) return name;
    const std::string sibling(target, static_cast<size_t>(n));
    const bool plain = sibling.find('/') == std::string::npos && sibling != "." && sibling != "..";
    return plain ? sibling : name;
  }

  bool Spent() {
    if (look_->ran_out) return true;
    if (look_->directories >= budget_.directories || Clock::now() > deadline_) look_->ran_out = true;
    return look_->ran_out;
  }

  void Enter(int dir_fd, std::vector<std::string>& trail, int depth_left, bool python_packages) {
    if (Spent()) return;
    ++look_->directories;
    std::vector<std::pair<std::string, unsigned char>> entries;
    size_t seen = 0;
    ForEachEntry(dir_fd, [&](const dirent& entry) {
      // A directory of a million entries is bounded too.
      if (++seen % 256 == 0 && Spent()) return false;
      entries.emplace_back(entry.d_name, entry.d_type);
      return true;
    });
    for (auto& [name, type] : entries) {
      if (Spent()) return;
      if (type == DT_UNKNOWN) {
        struct stat st {};
        if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      }
      trail.push_back(name);
      if (type == DT_DIR && depth_left > 0 && Walked(trail, python_packages)) {
        UniqueFd below = OpenDirectory(dir_fd, name);
        if (below) Enter(below.get(), trail, depth_left - 1, IsPythonPackages(name));
      } else if (type == DT_REG) {
        if (const ClientSignature* signature = SignatureOf(trail)) Judge(dir_fd, name, *signature, trail);
      }
      trail.pop_back();
    }
  }

  bool Walked(const std::vector<std::string>& trail, bool python_packages) const {
    if (python_packages) return IsSignedPythonPackage(trail.back());
    if (scope_ == LookScope::kWholeRoot && trail.size() == 1) {
      for (const char* skipped : kNotWalked) {
        if (trail.back() == skipped) return false;
      }
    }
    return true;
  }

  static std::string Joined(const std::vector<std::string>& trail, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) path += (i == 0 ? "" : "/") + trail[i];
    return path;
  }

  void Judge(int dir_fd, const std::string& name, const ClientSignature& signature,
             const std::vector<std::string>& trail) {
    const std::string bundle = "/" + context_.bundle;
    UniqueFd file = OpenRegular(dir_fd, name);
    if (!file) return;
    switch (signature.judge) {
      case ClientJudge::kPipCertifi:
        if (!PipBefore242(ReadSmallAt(root_fd_, Joined(trail, trail.size() - 3) + "/__init__.py"))) return;
        [[fallthrough]];
      case ClientJudge::kCertifi: {
        UniqueFd core = OpenRegular(dir_fd, "core.py");
        // A distribution's certifi returns its bundle from where().
        if (ReadSmall(core.get()).find(bundle) != std::string::npos) return;
        break;
      }
      case ClientJudge::kNodeBinary:
        if (scope_ == LookScope::kUsualPlaces) {
          ++look_->unjudged_nodes;
          return;
        }
        if (JudgeNode(file.get(), deadline_) != NodeVerdict::kBundled) return;
        break;
      default:
        break;
    }
    ClientStore store;
    store.signature = &signature;
    store.path = "/" + Joined(trail, trail.size() - static_cast<size_t>(signature.up));
    if (!context_.ca.empty() && signature.judge != ClientJudge::kNodeBinary &&
        signature.judge != ClientJudge::kElectron) {
      const std::string contents = ReadSmall(file.get());
      store.holds = signature.judge == ClientJudge::kJavaKeystore
                        ? memmem(contents.data(), contents.size(), context_.ca.data(), context_.ca.size()) != nullptr
                        : PemHolds(contents, context_.ca);
    }
    Point(&store, trail);
    look_->stores.push_back(std::move(store));
  }

  // What would point the store at the family's, and whether it is there.
  void Point(ClientStore* store, const std::vector<std::string>& trail) const {
    const ClientSignature& signature = *store->signature;
    // Nothing an admin sets reaches into a snap's or a flatpak's own root.
    if (trail[0] == "snap" || (trail.size() > 2 && trail[0] == "var" && trail[2] == "flatpak")) return;
    const std::string bundle = "/" + context_.bundle;
    auto set = [&](const char* name) {
      auto found = context_.environment.find(name);
      return found == context_.environment.end() ? std::string() : found->second;
    };
    switch (signature.way) {
      case PointerWay::kNone:
        return;
      case PointerWay::kEnvironment:
        store->follows = set(signature.pointer) == bundle;
        store->fix = std::string(signature.pointer) + "=" + bundle;
        break;
      case PointerWay::kPipConfig:
        store->follows = context_.pip_cert == bundle;
        store->fix = "cert = " + bundle + " in /etc/pip.conf";
        break;
      case PointerWay::kJavaOptions: {
        if (context_.java_keystore.empty()) return;
        const std::string option = "-Djavax.net.ssl.trustStore=/" + context_.java_keystore;
        store->follows = set(signature.pointer).find(option) != std::string::npos;
        store->fix = std::string(signature.pointer) + "=" + option;
        break;
      }
    }
    if (store->follows) store->fix.clear();
  }

  int root_fd_;
  const ClientContext& context_;
  LookScope scope_;
  LookBudget budget_;
  ClientLook* look_;
  Clock::time_point deadline_;
};

}  // namespace

bool PemHolds(const std::string& text, const std::vector<unsigned char>& der) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())),
                                                BIO_free);
  if (!bio) return false;
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) break;
    const bool same = strcmp(name, "CERTIFICATE") == 0 && static_cast<size_t>(length) == der.size() &&
                      memcmp(data, der.data(), der.size()) == 0;
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    if (same) return true;
  }
  return false;
}

ClientContext ReadClientContext(int root_fd, const std::string& bundle, const std::vector<unsigned char>& ca) {
  ClientContext context;
  context.bundle = bundle;
  context.ca = ca;
  for (const char* keystore : kJavaKeystores) {
    UniqueFd located = OpenBeneathWithoutLinks(root_fd, keystore, O_PATH | O_CLOEXEC);
    struct stat st {};
    if (located && fstat(located.get(), &st) == 0 && S_ISREG(st.st_mode)) {
      context.java_keystore = keystore;
      break;
    }
  }
  const std::string environment = ReadSmallAt(root_fd, "etc/environment");
  for (size_t at = 0; at < environment.size();) {
    const size_t end = std::min(environment.find('\n', at), environment.size());
    std::string line = Trimmed(environment.substr(at, end - at));
    at = end + 1;
    if (line.compare(0, 7, "export ") == 0) line = Trimmed(line.substr(7));
    const size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    context.environment[line.substr(0, equals)] = Unquoted(line.substr(equals + 1));
  }
  const std::string pip = ReadSmallAt(root_fd, "etc/pip.conf");
  bool global = false;
  for (size_t at = 0; at < pip.size();) {
    const size_t end = std::min(pip.find('\n', at), pip.size());
    const std::string line = Trimmed(pip.substr(at, end - at));
    at = end + 1;
    if (!line.empty() && line[0] == '[') global = line == "[global]";
    const size_t equals = line.find_first_of("=:");
    if (global && equals != std::string::npos && Trimmed(line.substr(0, equals)) == "cert") {
      context.pip_cert = Trimmed(line.substr(equals + 1));
    }
  }
  return context;
}

ClientLook LookForClients(int root_fd, const ClientContext& context, LookScope scope, LookBudget budget) {
  const Clock::time_point start = Clock::now();
  ClientLook look;
  Walker walker(root_fd, context, scope, budget, &look);
  if (scope == LookScope::kWholeRoot) {
    walker.Whole();
  } else {
    for (const LookPlace& place : LookPlaces()) walker.Place(place);
  }
  std::sort(look.stores.begin(), look.stores.end(),
            [](const ClientStore& a, const ClientStore& b) { return a.path < b.path; });
  look.took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  return look;
}

}  // namespace tkv
