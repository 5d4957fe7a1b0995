// A system root with the Debian trust-store layout, for running the built
// tool against instead of this machine's store, and a way to run the tool.
#ifndef TKVCERT_TESTS_SUPPORT_SANDBOX_H_
#define TKVCERT_TESTS_SUPPORT_SANDBOX_H_

#include <string>
#include <vector>

#include "tests/support/test_certs.h"

namespace tkv::testing {

class Sandbox {
 public:
  Sandbox();  // world-readable, so that a run as another user can reach it
  const std::string& root() const { return dir_.path(); }
  std::string anchors_dir() const { return root() + "/usr/local/share/ca-certificates"; }
  std::string bundle() const { return root() + "/etc/ssl/certs/ca-certificates.crt"; }
  // A file outside the store, for the tool to install.
  std::string Put(const std::string& name, const std::string& contents) const;
  std::string Put(const std::string& name, const Bytes& contents) const;
  // Installs by writing the anchor file directly, as an admin might.
  void PlaceAnchor(const std::string& name, const std::string& contents) const;

  // Every file in the anchors directory, hidden ones included, with contents.
  std::vector<std::pair<std::string, std::string>> Snapshot() const;
  std::vector<std::string> AnchorNames() const;
  // Every file below a directory, sorted; those in subdirectories as "dir/name".
  static std::vector<std::string> ListFiles(const std::string& dir);
  int BundleCount() const;  // certificates in the refreshed bundle

  // Makes the refresh fail: its working directory is no longer one.
  void BreakRefresh() const;

 private:
  TempDir dir_;
};

struct RunResult {
  std::string out;
  std::string raw_out;  // as written, line ends untranslated
  std::string err;
  int status = -1;
  double seconds = 0;
};

struct RunOptions {
  std::string sysroot;
  bool as_nobody = false;  // drop to uid/gid 65534 first (needs root)
  std::string cwd;
  int leaked_fd = -1;  // left open in the tool as descriptor 9, as a careless caller leaves one
};

// Sets an environment variable for as long as it lives, then puts back
// what was there.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const char* name, const std::string& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  bool was_set_ = false;
  std::string old_value_;
};

// The tool under test is the Linux build, or the Windows build run under
// Wine when TKVCERT_E2E_WINE_DIR names its build directory.
bool OnWine();
// The Windows name probe beside it, or "" when not on Wine.
std::string WineProbe();

// Runs the tool with the given arguments: the Linux build with argv[0]
// "tkvcert", the Windows build with its own path. Line ends come back as
// "\n" on both.
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options);

// Runs another program and returns its standard output.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd = "");

// The usage text the tool under test prints.
std::string UsageText();

}  // namespace tkv::testing

#endif  // TKVCERT_TESTS_SUPPORT_SANDBOX_H_
