#include "platform/posix/clients/client_fixes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/file_reader.h"

namespace tkv {
namespace {

constexpr size_t kMostRead = 1 << 20;
constexpr const char* kJavaOptions = "JAVA_TOOL_OPTIONS";
constexpr const char* kTrustStoreOption = "-Djavax.net.ssl.trustStore=";
// What a killed run leaves beside a file it was writing; swept by the next.
constexpr const char* kStagePrefix = ".tkvcert-clients-";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Assignment(const std::string& name, const std::string& value) {
  return name + "=" + (value.find_first_of(" \t") == std::string::npos ? value : "\"" + value + "\"");
}

// The value a line of etc/environment gives `name`, if it sets it.
bool Sets(const std::string& line, const std::string& name, std::string* value) {
  std::string text = Trimmed(line);
  if (text.compare(0, 7, "export ") == 0) text = Trimmed(text.substr(7));
  if (text.compare(0, name.size() + 1, name + "=") != 0) return false;
  std::string v = text.substr(name.size() + 1);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  *value = v;
  return true;
}

struct ReadFile {
  bool exists = false;
  std::string text;
  struct stat st {};
};

// A file the fix merges into: read through the root, never through a link
// out of it; ERROR_SUCCESS when it is absent.
DWORD ReadTarget(const RootDirectory& root, const std::string& relative, ReadFile* file) {
  UniqueFd fd = root.OpenBelow(relative, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (!fd) return errno == ENOENT ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  std::vector<BYTE> contents;
  if (fstat(fd.get(), &file->st) != 0 || ReadOpenedFile(fd.get(), kMostRead, &contents) != ERROR_SUCCESS) {
    return ERROR_ACCESS_DENIED;
  }
  file->exists = true;
  file->text.assign(contents.begin(), contents.end());
  return ERROR_SUCCESS;
}

DWORD WriteTarget(const RootDirectory& root, const std::string& relative, const ReadFile& before,
                  const std::string& text, std::string* why) {
  const size_t slash = relative.rfind('/');
  const std::string dir = relative.substr(0, slash);
  const std::string name = relative.substr(slash + 1);
  if (root.CheckTrusted(dir, why) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
  UniqueFd dir_fd = root.OpenBelow(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!dir_fd && errno == ENOENT) {
    // The drop-in's directory: made as systemd's own packages make it.
    const size_t up = dir.rfind('/');
    UniqueFd parent = root.OpenBelow(dir.substr(0, up), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!parent || (mkdirat(parent.get(), dir.substr(up + 1).c_str(), 0755) != 0 && errno != EEXIST)) {
      *why = root.DisplayPath(dir) + " cannot be made: " + strerror(errno);
      return ERROR_ACCESS_DENIED;
    }
    dir_fd = root.OpenBelow(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (!dir_fd) {
    *why = root.DisplayPath(dir) + " cannot be opened: " + strerror(errno);
    return ERROR_ACCESS_DENIED;
  }
  if (root.CheckWritable(dir_fd.get(), dir, why) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
  NewFile file;
  file.contents = text;
  if (before.exists) {
    file.mode = before.st.st_mode & 07777;
    file.uid = before.st.st_uid;
    file.gid = before.st.st_gid;
  }
  const DWORD code = WriteAtomically(dir_fd.get(), kStagePrefix, dir_fd.get(), name, file);
  if (code != ERROR_SUCCESS) *why = root.DisplayPath(relative) + " cannot be written: " + strerror(errno);
  return code;
}

}  // namespace

std::string MergedEnvironment(const std::string& text, const std::string& name, const std::string& value,
                              std::string* other) {
  std::vector<std::string> lines = Lines(text);
  for (std::string& line : lines) {
    std::string now;
    if (!Sets(line, name, &now)) continue;
    if (now.find(value) != std::string::npos && (name == kJavaOptions || now == value)) return text;
    if (name != kJavaOptions || now.find(kTrustStoreOption) != std::string::npos) {
      *other = Trimmed(line);
      return text;
    }
    line = Assignment(name, Trimmed(now + " " + value));
    return Joined(lines);
  }
  lines.push_back(Assignment(name, value));
  return Joined(lines);
}

std::string MergedPipConfig(const std::string& text, const std::string& value, std::string* other) {
  std::vector<std::string> lines = Lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Trimmed(lines[i]) != "[global]") continue;
    for (size_t j = i + 1; j < lines.size() && Trimmed(lines[j]).compare(0, 1, "[") != 0; ++j) {
      const std::string line = Trimmed(lines[j]);
      const size_t equals = line.find_first_of("=:");
      if (equals == std::string::npos || Trimmed(line.substr(0, equals)) != "cert") continue;
      if (Trimmed(line.substr(equals + 1)) != value) *other = line;
      return text;
    }
    lines.insert(lines.begin() + static_cast<long>(i) + 1, "cert = " + value);
    return Joined(lines);
  }
  if (!lines.empty() && !Trimmed(lines.back()).empty()) lines.push_back("");
  lines.push_back("[global]");
  lines.push_back("cert = " + value);
  return Joined(lines);
}

std::string MergedNpmConfig(const std::string& text, const std::string& value, std::string* other) {
  std::vector<std::string> lines = Lines(text);
  for (const std::string& line : lines) {
    const std::string setting = Trimmed(line);
    const size_t equals = setting.find('=');
    if (equals == std::string::npos || setting[0] == '#' || setting[0] == ';') continue;
    const std::string key = Trimmed(setting.substr(0, equals));
    std::string now = Trimmed(setting.substr(equals + 1));
    if (now.size() >= 2 && (now.front() == '"' || now.front() == '\'') && now.back() == now.front()) {
      now = now.substr(1, now.size() - 2);
    }
    if ((key == "cafile" && now != value) || key == "ca" || key == "ca[]") *other = setting;
    if (key == "cafile" || key == "ca" || key == "ca[]") return text;
  }
  lines.push_back("cafile=" + value);
  return Joined(lines);
}

std::string NpmConfigOf(const std::string& node) {
  const std::string binary = "/bin/node";
  // A user's own node is the user's: NODE_EXTRA_CA_CERTS reaches it.
  if (node.size() <= binary.size() || node.compare(node.size() - binary.size(), binary.size(), binary) != 0 ||
      node.compare(0, 6, "/home/") == 0) {
    return "";
  }
  return node.substr(1, node.size() - binary.size() - 1) + "/etc/npmrc";
}

std::vector<ClientFix> FixClients(const RootDirectory& root, const ClientContext& context, const ClientLook& look,
                                  bool dry_run, RunEvents& events) {
  // The pointers the stores want, each once.
  std::map<std::string, std::string> environment;
  std::set<std::string> kinds;
  bool pip = false;
  std::set<std::string> npm;
  for (const ClientStore& store : look.stores) {
    // A store follows once etc/environment points it: what else its pointer
    // goes to (the services' drop-in, npm's file) is written all the same,
    // for a run cut off between two files.
    if (store.fix.empty() && !store.follows) continue;
    const ClientSignature& signature = *store.signature;
    kinds.insert(signature.kind);
    if (signature.judge == ClientJudge::kNodeBinary && !NpmConfigOf(store.path).empty()) {
      npm.insert(NpmConfigOf(store.path));
    }
    if (signature.way == PointerWay::kEnvironment) environment[signature.pointer] = "/" + context.bundle;
    if (signature.way == PointerWay::kJavaOptions) {
      environment[signature.pointer] = kTrustStoreOption + ("/" + context.java_keystore);
    }
    if (signature.way == PointerWay::kPipConfig) pip = true;
  }
  std::vector<ClientFix> fixes;
  if (environment.empty() && !pip && npm.empty()) return fixes;
  auto put = [&](const std::string& relative, const ReadFile& before, const std::string& text,
                 const std::string& setting) {
    ClientFix fix{root.DisplayPath(relative), setting, ClientFix::State::kThere};
    if (before.exists && text == before.text) return fixes.push_back(fix);
    if (dry_run) {
      fix.state = ClientFix::State::kWouldWrite;
      events.Said("TKVCERT_CLIENTS=fix would write " + setting + " in " + fix.file, false);
      return fixes.push_back(fix);
    }
    std::string why;
    fix.state = WriteTarget(root, relative, before, text, &why) == ERROR_SUCCESS ? ClientFix::State::kWritten
                                                                                 : ClientFix::State::kFailed;
    if (fix.state == ClientFix::State::kFailed) events.Said("the clients' fix was not written: " + why, true);
    fixes.push_back(fix);
  };
  bool restart = false;
  if (!environment.empty()) {
    ReadFile before;
    if (ReadTarget(root, kEnvironmentFile, &before) != ERROR_SUCCESS) {
      events.Said(root.DisplayPath(kEnvironmentFile) + " cannot be read: no client was pointed at the store", true);
      return fixes;
    }
    std::string text = before.text;
    std::string services = "[Manager]\n";
    std::string assigned;
    for (const auto& [name, value] : environment) {
      std::string other;
      text = MergedEnvironment(text, name, value, &other);
      if (!other.empty()) {
        events.Said(root.DisplayPath(kEnvironmentFile) + " sets " + other + ", which names another store: left as it is",
                    true);
        fixes.push_back({root.DisplayPath(kEnvironmentFile), other, ClientFix::State::kNamesAnother});
        continue;
      }
      std::string now;
      for (const std::string& line : Lines(text)) {
        if (Sets(line, name, &now)) break;
      }
      assigned += (assigned.empty() ? "" : " ") + ("\"" + name + "=" + now + "\"");
    }
    put(kEnvironmentFile, before, text, "the pointers for logins");
    if (!assigned.empty()) {
      ReadFile dropin;
      ReadTarget(root, kServicesDropIn, &dropin);
      put(kServicesDropIn, dropin, services + "DefaultEnvironment=" + assigned + "\n", "the pointers for services");
      restart = true;
    }
  }
  if (pip) {
    ReadFile before;
    if (ReadTarget(root, kPipConfig, &before) == ERROR_SUCCESS) {
      std::string other;
      const std::string text = MergedPipConfig(before.text, "/" + context.bundle, &other);
      if (other.empty()) {
        put(kPipConfig, before, text, "cert = /" + context.bundle);
      } else {
        events.Said(root.DisplayPath(kPipConfig) + " says " + other + ", which names another store: left as it is",
                    true);
        fixes.push_back({root.DisplayPath(kPipConfig), other, ClientFix::State::kNamesAnother});
      }
    }
  }
  for (const std::string& npmrc : npm) {
    ReadFile before;
    std::string other;
    if (ReadTarget(root, npmrc, &before) != ERROR_SUCCESS) {
      events.Said(root.DisplayPath(npmrc) + " cannot be read: npm's cafile was not written", true);
      continue;
    }
    const std::string text = MergedNpmConfig(before.text, "/" + context.bundle, &other);
    if (other.empty()) {
      put(npmrc, before, text, "cafile=/" + context.bundle);
    } else {
      events.Said(root.DisplayPath(npmrc) + " says " + other + ", which names other roots: left as it is", true);
      fixes.push_back({root.DisplayPath(npmrc), other, ClientFix::State::kNamesAnother});
    }
  }
  bool wrote = false;
  for (const ClientFix& fix : fixes) wrote = wrote || fix.state == ClientFix::State::kWritten;
  if (wrote && restart) {
    std::string which;
    for (const std::string& kind : kinds) which += (which.empty() ? "" : ", ") + kind;
    events.Said("the clients' pointers reach new logins; services of " + which +
                    " read them once started again: systemctl daemon-reexec, then restart each",
                false);
  }
  if (wrote && environment.count(kJavaOptions) != 0) {
    events.Said("every JVM now prints \"Picked up JAVA_TOOL_OPTIONS\" on its standard error", false);
  }
  return fixes;
}

}  // namespace tkv
