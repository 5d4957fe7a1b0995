#!/usr/bin/env bash
# Builds the tool and its unit and end-to-end tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs them. UBSan halts on its first report
# instead of printing and going on. The end-to-end tests start the sanitized
# tool and look at its exit status, which may rightly be 1, so a report
# exits with 86, which no test expects; AddressSanitizer's reports (leaks
# included) also go to log files, and any such file fails the run even when
# a test did not look at the status or the output.
#   scripts/sanitize.sh                   builds in build-sanitize/
#   BUILD_DIR=/tmp/san scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."

[ -n "${TKVCERT_DEPS_INSTALLED:-}" ] || scripts/install-deps.sh  # test.sh has done it
build_dir=${BUILD_DIR:-build-sanitize}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PROJECT_INCLUDE="$PWD/scripts/sanitize.cmake" >/dev/null
cmake --build "$build_dir" -j2

# World-writable: some end-to-end runs drop to the nobody user.
reports=$(mktemp -d "${TMPDIR:-/tmp}/tkvcert-sanitizer-XXXXXX")
chmod 1777 "$reports"
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan:exitcode=86"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86"
status=0
ctest --test-dir "$build_dir" --output-on-failure -j2 || status=$?

# Only reports of errors count: a run that a test kills while the leak check
# is stopping its threads leaves a note that it could not read them.
findings=$(grep -lE '^==[0-9]+==ERROR:|^SUMMARY:' "$reports"/* 2>/dev/null || true)
if [ -n "$findings" ]; then
  echo "Sanitizer reports:" >&2
  for f in $findings; do echo "== $f" >&2; cat "$f" >&2; done
  status=1
fi
exit "$status"
