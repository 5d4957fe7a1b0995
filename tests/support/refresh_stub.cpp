// Stands in for a distribution's refresh command in tests. Linked
// statically, so that it runs inside a bare root. Like Alpine's refresh it
// ignores its arguments and works on "/": whatever root it runs in, or the
// host's own if it is ever run there. It rebuilds the bundle from the
// regular, non-hidden files at the top of the anchors directory, and reads
// what else to do from /refresh-stub.conf (lines "key=value"; the tool
// passes no environment to a refresh):
//   anchors=DIR   bundle=FILE   (defaults: Alpine's and Debian's)
//   log=FILE      append the command line, and OVERLAP when another
//                 refresh runs at the same time
//   exit=N        exit status (default 0)
//   sleep_ms=N    how long a refresh takes (default 20)
//   env_log=FILE  write the environment it was given there
//   fail_once=FILE  when FILE does not exist: create it, leave the bundle
//                 half-written (emptied), and fail, as a refresh that runs
//                 out of space does
//   link_dir=DIR  first link DIR/<name>.pem to each anchor <name>.crt, as
//                 Debian's refresh does
//   linger_ms=N   leave a process behind that holds standard error for N ms
//   bundle_size=N make the bundle N bytes long (sparse) after writing it
//   escape=FILE   first try to leave the root as a chroot escape does,
//                 and if that works, leave FILE there, set-uid
//   stderr_hex=HEX  first write these bytes (two hex digits each) to
//                 standard error, as a hostile or broken image's refresh may
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> ReadConfig() {
  std::map<std::string, std::string> config = {
      {"anchors", "/usr/local/share/ca-certificates"},
      {"bundle", "/etc/ssl/certs/ca-certificates.crt"},
      {"sleep_ms", "20"}};
  std::ifstream in("/refresh-stub.conf");
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) config[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return config;
}

bool RebuildBundle(const std::string& anchors, const std::string& bundle) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(anchors.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  const std::string temporary = bundle + ".stub-new";
  std::ofstream out(temporary, std::ios::trunc);
  if (!out) return false;
  for (const std::string& name : names) {
    std::ifstream in(anchors + "/" + name);
    if (in) out << in.rdbuf();
  }
  out.close();
  return rename(temporary.c_str(), bundle.c_str()) == 0;
}

void LinkAnchors(const std::string& anchors, const std::string& link_dir) {
  if (DIR* dir = opendir(anchors.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() < 5 || name.compare(name.size() - 4, 4, ".crt") != 0) continue;
      const std::string link = link_dir + "/" + name.substr(0, name.size() - 4) + ".pem";
      unlink(link.c_str());
      if (symlink((anchors + "/" + name).c_str(), link.c_str()) != 0) continue;
    }
    closedir(dir);
  }
}

// What a hostile program does when chroot is all that holds it.
void TryToEscape(const std::string& file) {
  mkdir("/.escape", 0700);
  if (chroot("/.escape") == 0) {
    for (int i = 0; i < 64; ++i) {
      if (chdir("..") != 0) break;
    }
    if (chroot(".") != 0) return;
  }
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 04755);
  if (fd >= 0) {
    fchmod(fd, 04755);
    close(fd);
  }
}

void WriteHexToStandardError(const std::string& hex) {
  std::string bytes;
  for (size_t at = 0; at + 1 < hex.size(); at += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
  }
  if (write(2, bytes.data(), bytes.size()) < 0) return;
}

}  // namespace

extern char** environ;

int main(int argc, char** argv) {
  std::map<std::string, std::string> config = ReadConfig();
  if (!config["env_log"].empty()) {
    std::ofstream out(config["env_log"], std::ios::trunc);
    for (char** e = environ; *e != nullptr; ++e) out << *e << "\n";
  }
  if (!config["escape"].empty()) TryToEscape(config["escape"]);
  if (!config["stderr_hex"].empty()) WriteHexToStandardError(config["stderr_hex"]);
  if (!config["link_dir"].empty()) LinkAnchors(config["anchors"], config["link_dir"]);
  if (!config["linger_ms"].empty() && fork() == 0) {
    usleep(static_cast<useconds_t>(atoi(config["linger_ms"].c_str())) * 1000);
    _exit(0);
  }
  if (!config["fail_once"].empty() && access(config["fail_once"].c_str(), F_OK) != 0) {
    std::ofstream(config["fail_once"]).put('\n');
    std::ofstream(config["bundle"], std::ios::trunc).flush();
    return 1;
  }
  const std::string log = config["log"];
  const std::string running = log + ".running";
  const int marker = log.empty() ? -1 : open(running.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  // Long enough for an unlocked second refresh to meet this one.
  usleep(static_cast<useconds_t>(atoi(config["sleep_ms"].c_str())) * 1000);
  if (!log.empty()) {
    FILE* out = fopen(log.c_str(), "a");
    if (out == nullptr) return 3;
    if (marker < 0) fputs("OVERLAP\n", out);
    for (int i = 0; i < argc; ++i) fprintf(out, i == 0 ? "%s" : " %s", argv[i]);
    fputc('\n', out);
    fclose(out);
  }
  if (marker >= 0) {
    close(marker);
    unlink(running.c_str());
  }
  const int code = atoi(config["exit"].c_str());
  if (code == 0 && !RebuildBundle(config["anchors"], config["bundle"])) return 4;
  if (!config["bundle_size"].empty() &&
      truncate(config["bundle"].c_str(), atoll(config["bundle_size"].c_str())) != 0) {
    return 5;
  }
  return code;
}
