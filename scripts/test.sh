#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build, the Windows build
# under Wine, the fuzz targets (a minute each) and a sanitizer build. Nothing
# here touches this machine's trust store: each test works on a sandbox root
# of its own, and Wine on a prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
# Sandbox roots are other roots: their refresh runs in a sandbox that only
# root can make, and the attack tests need a user of their own.
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"

# Each stage says how long it took: a full run must stay under 30 minutes
# on a 2-core machine.
stage() { echo "== $1 (at ${SECONDS}s)"; }
stage "packages"
scripts/install-deps.sh
# Once a run: fuzz.sh and sanitize.sh install them only when run alone.
export TKVCERT_DEPS_INSTALLED=1
stage "Windows build"
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTKVCERT_WERROR=ON >/dev/null
cmake --build build-windows -j2
stage "Linux build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTKVCERT_WERROR=ON \
  -DTKVCERT_WINDOWS_BUILD_DIR="$PWD/build-windows" >/dev/null
cmake --build build -j2
# The plain tests first: they say most, soonest.
stage "tests"
ctest --test-dir build --output-on-failure -j2
# Keeps the benchmark working (a small store, a few runs; it never fails on a number).
stage "benchmark"
bench/run.sh --quick --build-dir build
# Hostile input: every fuzz target for a minute, then the tests under ASan and UBSan.
stage "fuzzing"
scripts/fuzz.sh 60
stage "sanitizers"
scripts/sanitize.sh
stage "done"
