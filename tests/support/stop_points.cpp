// The tool as a test build, for killing it at a named moment. At the stop
// point TKVCERT_STOP_AT (and, with TKVCERT_STOP_LAUNCH, only in that sandbox
// of the command's, counted from 0), it writes the
// point's name and a newline to descriptor TKVCERT_STOP_FD and waits: the
// tool, to be killed, or, given TKVCERT_STOP_GO_FD, until a byte or the end
// of file comes there, while the test changes something under it; a
// sandbox's child, until the tool is gone, and then goes on as if the tool
// had died at that moment. Only system calls, as the child may make.
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/base/stop_point.h"

namespace tkv {
namespace {

// Copied into each sandbox's child when it is made: there it is the number
// of sandboxes started before it.
int launches = 0;

bool Wanted(const char* name) {
  const char* at = getenv("TKVCERT_STOP_AT");
  const char* launch = getenv("TKVCERT_STOP_LAUNCH");
  return at != nullptr && strcmp(at, name) == 0 && (launch == nullptr || atoi(launch) == launches);
}

}  // namespace

void StopPoint(const char* name, int alive_fd) {
  const bool wanted = Wanted(name);
  if (strcmp(name, "sandbox-started") == 0) ++launches;
  const char* fd_text = getenv("TKVCERT_STOP_FD");
  if (!wanted || fd_text == nullptr) return;
  const int fd = atoi(fd_text);
  if (write(fd, name, strlen(name)) < 0 || write(fd, "\n", 1) < 0) return;
  // Bounded: a test that never kills goes on after a minute.
  if (alive_fd < 0) {
    const char* go = getenv("TKVCERT_STOP_GO_FD");
    pollfd told = {go != nullptr ? atoi(go) : -1, POLLIN, 0};
    poll(&told, 1, 60000);
    return;
  }
  pollfd tool = {alive_fd, POLLIN, 0};
  poll(&tool, 1, 60000);
}

}  // namespace tkv
