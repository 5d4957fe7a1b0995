// Stands in for a distribution's refresh command in tests. Linked
// statically, so that it also runs inside a bare root. Appends its command
// line to $TKV_REFRESH_LOG (as the process sees paths: inside a chroot, the
// root's), writes OVERLAP there when another refresh was running at the same
// time, and exits with $TKV_REFRESH_EXIT (default 0).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* log = getenv("TKV_REFRESH_LOG");
  if (log == nullptr) return 0;
  const std::string running = std::string(log) + ".running";
  const int marker = open(running.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  usleep(20 * 1000);  // long enough for an unlocked second refresh to meet this one
  FILE* out = fopen(log, "a");
  if (out == nullptr) return 3;
  if (marker < 0) fputs("OVERLAP\n", out);
  for (int i = 0; i < argc; ++i) fprintf(out, i == 0 ? "%s" : " %s", argv[i]);
  fputc('\n', out);
  fclose(out);
  if (marker >= 0) {
    close(marker);
    unlink(running.c_str());
  }
  const char* code = getenv("TKV_REFRESH_EXIT");
  return code != nullptr ? atoi(code) : 0;
}
