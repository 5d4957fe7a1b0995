#!/usr/bin/env bash
# Builds everything and runs every test. Nothing here touches this machine's
# trust store: each test works on a sandbox root of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
