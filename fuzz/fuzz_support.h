// What the fuzz targets and their seed writer share.
#ifndef TKVCERT_FUZZ_FUZZ_SUPPORT_H_
#define TKVCERT_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tkv::fuzz {

// One input of the store-enumeration target is several anchor files: their
// contents, joined by this line. It is in the dictionary, so mutations can
// make and merge files as easily as they change bytes.
inline const std::string& FileSeparator() {
  static const std::string separator = "\n==tkvcert-next-anchor==\n";
  return separator;
}
constexpr size_t kMaxAnchorFiles = 4;

// At most kMaxAnchorFiles pieces; the last one keeps any further separators.
inline std::vector<std::string> SplitIntoFiles(const unsigned char* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> files;
  size_t at = 0;
  while (files.size() + 1 < kMaxAnchorFiles) {
    const size_t next = input.find(FileSeparator(), at);
    if (next == std::string::npos) break;
    files.push_back(input.substr(at, next - at));
    at = next + FileSeparator().size();
  }
  files.push_back(input.substr(at));
  return files;
}

inline std::string JoinFiles(const std::vector<std::string>& files) {
  std::string joined;
  for (size_t i = 0; i < files.size(); ++i) {
    if (i != 0) joined += FileSeparator();
    joined += files[i];
  }
  return joined;
}

// assert() is compiled out of release builds; a broken contract must still
// end the run as a finding.
[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: contract broken: %s\n", file, line, what);
  std::abort();
}

}  // namespace tkv::fuzz

#define TKV_FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::tkv::fuzz::Fail(__FILE__, __LINE__, #condition))

#endif  // TKVCERT_FUZZ_FUZZ_SUPPORT_H_
