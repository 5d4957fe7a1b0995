// The cost of reading an anchors directory and nothing more: list and sort
// the anchor files as bench/floor_scan.cpp does, then open each one relative
// to the directory, read it into one reused buffer and close it. No byte is
// decoded, so a scan can be no quicker than this.
//
//   tkv_bench_floor_read <anchors dir>
//   prints "read <files> files, <bytes> bytes"
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool EndsWith(const char* text, const char* suffix) {
  const size_t n = std::strlen(text);
  const size_t k = std::strlen(suffix);
  return n >= k && std::memcmp(text + n - k, suffix, k) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <anchors dir>\n", argv[0]);
    return 2;
  }
  const int dir_fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = dir_fd < 0 ? nullptr : fdopendir(dup(dir_fd));
  if (dir == nullptr) return 1;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || entry->d_type == DT_DIR) continue;
    if (!EndsWith(entry->d_name, ".crt")) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());

  static char buffer[64 * 1024];
  unsigned long long bytes = 0;
  size_t files = 0;
  for (const std::string& name : names) {
    const int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
      bytes += static_cast<unsigned long long>(n);
      if (static_cast<size_t>(n) < sizeof buffer) break;  // a short read: the file ends here
    }
    close(fd);
    ++files;
  }
  std::printf("read %zu files, %llu bytes\n", files, bytes);
  return 0;
}
