// Times the look for clients' own roots that follows a change, on a root
// given: the median of RUNS looks, the directories it entered, and whether
// its budget ended it; with "fix", the look of a TKVCERT_CLIENTS=fix run,
// which reads node binaries too.
//   tkv_bench_client_look ROOT RUNS [fix]
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/base/unique_fd.h"
#include "platform/posix/clients/client_look.h"

int main(int argc, char** argv) {
  const bool fix = argc == 4 && std::string(argv[3]) == "fix";
  if (argc != 3 && !fix) {
    fprintf(stderr, "usage: %s ROOT RUNS [fix]\n", argv[0]);
    return 2;
  }
  tkv::UniqueFd root(open(argv[1], O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root) return 1;
  const int runs = atoi(argv[2]);
  std::vector<double> seconds;
  tkv::ClientLook look;
  for (int i = 0; i < runs; ++i) {
    const tkv::ClientContext context =
        tkv::ReadClientContext(root.get(), "etc/ssl/certs/ca-certificates.crt", std::vector<unsigned char>(40, 1));
    look = fix ? tkv::LookForClients(root.get(), context, tkv::LookScope::kUsualPlacesAndNodes, tkv::kFixBudget)
               : tkv::LookForClients(root.get(), context, tkv::LookScope::kUsualPlaces, tkv::kLookBudget);
    seconds.push_back(static_cast<double>(look.took.count()) / 1e6);
  }
  std::sort(seconds.begin(), seconds.end());
  printf("%.6f %zu %d %zu\n", seconds[seconds.size() / 2], look.directories, look.ran_out ? 1 : 0, look.stores.size());
  return 0;
}
