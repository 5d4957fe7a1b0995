// The tool as a test build, for killing it at a named moment: at the stop
// point TKVCERT_STOP_AT, in the TKVCERT_STOP_LAUNCH-th sandbox the command
// starts (counted from 0; the first is its trial), it writes the point's name
// and a newline to descriptor TKVCERT_STOP_FD and waits: the tool, to be
// killed; a sandbox's child, until the tool is gone, and then goes on as if
// the tool had died at that moment. Only system calls, as the child may make.
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/stop_point.h"

namespace tkv {
namespace {

// Copied into each sandbox's child when it is made: there it is the number
// of sandboxes started before it.
int launches = 0;

bool Wanted(const char* name) {
  const char* at = getenv("TKVCERT_STOP_AT");
  const char* launch = getenv("TKVCERT_STOP_LAUNCH");
  return at != nullptr && strcmp(at, name) == 0 && (launch == nullptr ? 0 : atoi(launch)) == launches;
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
    sleep(60);
    return;
  }
  pollfd tool = {alive_fd, POLLIN, 0};
  poll(&tool, 1, 60000);
}

}  // namespace tkv
