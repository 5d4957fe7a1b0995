// Times a root's refresh run the way the tool runs it for another root:
// once the command's sandbox is chosen (TKVCERT_SANDBOX, as for the tool),
// the refresh RUNS times in it, the root as "/". Prints
// "<median seconds a run> <seconds to choose the sandbox> <quickest run>
// <median seconds of the memory cgroup, made, joined, left and removed>"
// (0 where none can be made); fails when a run fails. Run as root.
//
//   tkv_bench_sandbox ROOT RUNS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/sandbox/refresh_command.h"
#include "platform/posix/sandbox/refresh_sandbox.h"
#include "platform/posix/sandbox/sandbox_limits.h"
#include "platform/posix/base/root_directory.h"
#include "platform/posix/anchors/store_layout.h"

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  if (argc != 3) {
    std::fprintf(stderr, "usage: tkv_bench_sandbox ROOT RUNS\n");
    return 2;
  }
  std::shared_ptr<const tkv::RootDirectory> root;
  if (tkv::RootDirectory::Open(argv[1], &root) != ERROR_SUCCESS) return 1;
  const Clock::time_point started = Clock::now();
  std::shared_ptr<const tkv::SandboxSession> session;
  // Debian's layout, as the bench's roots have it.
  tkv::RunSettings settings;
  const char* asked = std::getenv("TKVCERT_SANDBOX");
  if (asked != nullptr) settings.sandbox = asked;
  tkv::StandardErrorEvents events;
  const tkv::Command command(settings, events);
  if (tkv::ChooseSandbox(command, *root, tkv::WrittenDirectories(tkv::StoreLayouts()[1]),
                         tkv::ReadDirectories(tkv::StoreLayouts()[1]), &session) != ERROR_SUCCESS) {
    return 1;
  }
  const double choosing = std::chrono::duration<double>(Clock::now() - started).count();
  tkv::Sandbox sandbox;
  if (tkv::PlanImageSandbox(*root, session, &sandbox) != ERROR_SUCCESS) return 1;
  std::vector<double> runs;
  for (int i = 0; i < std::atoi(argv[2]); ++i) {
    const Clock::time_point run = Clock::now();
    const tkv::RefreshOutcome outcome = tkv::RunRefreshCommand(
        {"/usr/sbin/update-ca-certificates"}, sandbox, -1, std::chrono::seconds(60));
    runs.push_back(std::chrono::duration<double>(Clock::now() - run).count());
    if (outcome.code != ERROR_SUCCESS) {
      std::fprintf(stderr, "tkv_bench_sandbox: the refresh failed: %s", outcome.errors.c_str());
      return 1;
    }
  }
  if (runs.empty()) return 2;
  std::sort(runs.begin(), runs.end());
  // What bounding a command's memory costs it, alone: what the sandbox's
  // programs pay is in their runs above. Each after a pause, as a command's
  // comes: moving a process between cgroups soon after another move is
  // cheaper than the first.
  std::vector<double> cgroups;
  for (size_t i = 0; i < runs.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Clock::time_point made = Clock::now();
    {
      tkv::SandboxLimits limits;
      std::string why;
      limits.MakeCgroups(false, &why);
      if (!limits.bounds_memory()) break;
    }
    cgroups.push_back(std::chrono::duration<double>(Clock::now() - made).count());
  }
  std::sort(cgroups.begin(), cgroups.end());
  std::printf("%.6f %.6f %.6f %.6f\n", runs[runs.size() / 2], choosing, runs.front(),
              cgroups.empty() ? 0.0 : cgroups[cgroups.size() / 2]);
  return 0;
}
