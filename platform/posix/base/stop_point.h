// Named moments of a command where a test build of the tool stops, so that a
// test can kill it exactly there and see what is left. The tool itself does
// nothing at them.
#ifndef TKVCERT_PLATFORM_POSIX_STOP_POINT_H_
#define TKVCERT_PLATFORM_POSIX_STOP_POINT_H_

namespace tkv {

// `alive_fd` is given in a child between its fork and its exec: a pipe that
// reads end of file once the tool is gone. There a test build may only make
// system calls.
void StopPoint(const char* name, int alive_fd = -1);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STOP_POINT_H_
