// An attacker's loop: swaps two names in place, again and again, for a
// given number of milliseconds, so that whoever looks a path up twice may
// find a different thing each time.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const long limit_ms = atol(argv[3]);
  for (;;) {
    renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE);
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > limit_ms) return 0;
  }
}
