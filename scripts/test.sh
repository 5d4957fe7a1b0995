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

scripts/install-deps.sh
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-windows -j2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTKVCERT_WINDOWS_BUILD_DIR="$PWD/build-windows" >/dev/null
cmake --build build -j2
# Keeps the benchmark working (a small store, a few runs; it never fails on a number).
bench/run.sh --quick --build-dir build
# Hostile input: every fuzz target for a minute, then the tests under ASan and UBSan.
scripts/fuzz.sh 60
scripts/sanitize.sh
ctest --test-dir build --output-on-failure -j2
