#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan and runs each, a
# process on each core at once (FUZZ_JOBS=1: one at a time), for a bounded time:
#   scripts/fuzz.sh [seconds-per-target [max-runs-per-target]]   (default 60)
# Each target starts from the seed corpus made at build time and from what
# earlier runs on this build directory found (build-fuzz/fuzz/corpus/), so
# runs add up. A crash, leak, sanitizer report, broken contract, input slower
# than 10 s or memory past 2 GiB stops that target; its input is kept under
# build-fuzz/fuzz/findings/ and the script fails after running the rest.
# Reproduce one with: build-fuzz/fuzz/<target>_fuzzer <file>
#   BUILD_DIR=/tmp/fz scripts/fuzz.sh 30        another build directory
#   FUZZ_TARGETS="display_name" scripts/fuzz.sh  some targets only
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
max_runs=${2:--1}
build_dir=${BUILD_DIR:-build-fuzz}
targets=${FUZZ_TARGETS:-decode_object display_name store_enumeration quick_reader policy_merge}

[ -n "${TKVCERT_DEPS_INSTALLED:-}" ] || scripts/install-deps.sh  # test.sh has done it
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed (Debian: clang libclang-rt-14-dev libfuzzer-14-dev)" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTKVCERT_BUILD_FUZZERS=ON -DTKVCERT_BUILD_TESTS=OFF >/dev/null
# The targets and their seeds only: the tool this build could also make is
# not fuzzed.
fuzzers=()
for target in $targets; do fuzzers+=("${target}_fuzzer"); done
cmake --build "$build_dir" -j2 --target tkv_fuzz_seed_corpora "${fuzzers[@]}"

fuzz_dir=$build_dir/fuzz
mkdir -p "$fuzz_dir/findings"
# The store target's sandbox roots go here, and go away with it.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tkvcert-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# fuzz_target TARGET: runs it, and writes its line of the summary to
# $fuzz_dir/TARGET.result, "FAILED" or "interrupted" in it when it failed.
fuzz_target() {
  local target=$1 corpus log dict max_len status runs took
  corpus=$fuzz_dir/corpus/$target
  log=$fuzz_dir/$target.log
  mkdir -p "$corpus"
  echo "== $target: ${seconds}s"
  # The policy files' own words; and room for nesting 100,000 deep, which
  # takes 200 KB of brackets.
  dict=$fuzz_dir/anchors.dict
  max_len=16384
  if [ "$target" = policy_merge ]; then
    dict=$fuzz_dir/policy_merge.dict
    max_len=262144
  fi
  status=0
  TMPDIR=$scratch "$fuzz_dir/${target}_fuzzer" "$corpus" "$fuzz_dir/seeds/$target" \
    -dict="$dict" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -runs="$max_runs" -print_final_stats=1 \
    -artifact_prefix="$fuzz_dir/findings/$target-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  if grep -q "libFuzzer: run interrupted" "$log"; then
    echo "$target: interrupted after ${runs:-?} runs, nothing found until then" > "$fuzz_dir/$target.result"
  elif [ "$status" -ne 0 ]; then
    echo "$target: FAILED after ${runs:-?} runs, see $log" > "$fuzz_dir/$target.result"
    grep -E "^(==[0-9]+==ERROR|SUMMARY|.*contract broken|.*runtime error|artifact_prefix|Test unit written)" "$log" >&2 || tail -40 "$log" >&2
  else
    echo "$target: ${runs:-?} runs in ${took:-?} s, nothing found; corpus $(ls "$corpus" | wc -l) inputs" \
      > "$fuzz_dir/$target.result"
  fi
}

# Each target runs on one core for its time, as many at once as there are
# cores (FUZZ_JOBS), so that a full run's fuzzing takes minutes, not more.
jobs=${FUZZ_JOBS:-$(nproc)}
running=0
for target in $targets; do
  rm -f "$fuzz_dir/$target.result"
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_target "$target" &
  running=$((running + 1))
done
wait || true

failed=0
for target in $targets; do
  cat "$fuzz_dir/$target.result" 2>/dev/null || echo "$target: FAILED, it said nothing"
  grep -qv -e FAILED -e interrupted "$fuzz_dir/$target.result" 2>/dev/null || failed=1
done
[ "$failed" = 0 ]
