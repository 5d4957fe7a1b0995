#include "tests/support/ci_skip.h"

#include <cstdlib>
#include <fstream>

namespace tkv::test {
namespace {

// The reasons listed as "- `REASON`" under the page's heading, up to the next.
bool ListedReason(const std::string& why) {
  std::ifstream page(TKVCERT_SOURCE_DIR "/docs/development.md");
  bool inside = false;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind("#", 0) == 0) {
      if (inside) break;
      inside = line == "### Skips under `CI=true`";
      continue;
    }
    if (!inside || line.rfind("- `", 0) != 0) continue;
    const size_t end = line.find('`', 3);
    if (end == std::string::npos) continue;
    const std::string listed = line.substr(3, end - 3);
    if (why == listed || why.rfind(listed + ": ", 0) == 0) return true;
  }
  return false;
}

}  // namespace

std::string RefusedSkip(const std::string& why) {
  const char* ci = std::getenv("CI");
  if (ci == nullptr || std::string(ci) != "true" || ListedReason(why)) return "";
  return "CI=true, and this cannot run: " + why;
}

}  // namespace tkv::test
