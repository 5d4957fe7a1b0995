#!/usr/bin/env bash
# The developer docs against this build and this tree:
# - every ctest selection that docs/development.md and README.md show
#   (`ctest ... -R <regex>`, `-L <label>`, `-LE <label>`, and a following
#   `-R <regex>` on its own) selects a test of this build;
# - the test table has a row for every label, names every test (a `name:`
#   prefix for GoogleTest cases), and each name it gives is a test;
# - the Layout section names every file of app/, store/ and platform/, and
#   nothing that is not there;
# - the manual page's ENVIRONMENT names every TKVCERT_ setting the tool
#   reads, and no other;
# - every skip goes through tests/support/skips.sh or ci_skip.h, which hold
#   it to the list under "Skips under `CI=true`", and each reason listed
#   there is one a test gives.
#   docs_test.sh CTEST BUILD_DIR SOURCE_DIR [WINDOWS_BUILD_DIR]
# Needs the whole build: ctest knows a GoogleTest case only once its
# executable is built. The wine tests are registered only with a Windows
# build (tests/CMakeLists.txt); without one, what selects only them is SKIP.
set -euo pipefail
ctest=$1 build=$2 src=$3 windows_build=${4:-}
cd "$src"
# shellcheck source=support/skips.sh
. tests/support/skips.sh
docs=(docs/development.md docs/reference.md README.md)
layout_checked=(app store platform)
# What tests/CMakeLists.txt registers only when TKVCERT_WINDOWS_BUILD_DIR is set.
windows_only_label=wine
windows_only_tests=(wine:AnyCase wine_prefix_setup wine_server_stop windows_resources wine_call_trace)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

all_tests=$("$ctest" --test-dir "$build" -N 2>&1) || { echo "$all_tests"; exit 1; }
if grep -q '_NOT_BUILT$' <<<"$all_tests"; then
  echo "FAIL: build every target first; ctest does not know the cases of:"
  grep '_NOT_BUILT$' <<<"$all_tests"
  exit 1
fi
test_names=$(sed -n 's/^ *Test *#[0-9]*: //p' <<<"$all_tests")

only_on_windows_build() {  # FLAG VALUE: whether it selects only tests that a Windows build adds
  local name
  [ -z "$windows_build" ] || return 1
  if [ "$1" = -R ]; then
    for name in "${windows_only_tests[@]}"; do [[ $name =~ $2 ]] && return 0; done
    return 1
  fi
  [[ $windows_only_label =~ $2 ]]
}

# FLAG VALUE WHERE: -L, -LE (the label must exist all the same) or -R.
check_selection() {
  local shown=$1 flag=$1 value=$2 where=$3 listed
  [ "$flag" = -LE ] && flag=-L
  listed=$("$ctest" --test-dir "$build" -N "$flag" "$value" 2>&1) || true
  if grep -q '^Total Tests: [1-9]' <<<"$listed"; then
    return 0
  elif only_on_windows_build "$flag" "$value"; then
    skip_row "the wine tests are registered only with a Windows build: $where: ctest $shown '$value'"
  elif [ "$shown" = -LE ]; then
    fail "$where: ctest -LE '$value' leaves out no test: no label matches"
  else
    fail "$where: ctest $shown '$value' selects no test"
  fi
}

# Code as the docs show it, one "<file>:<line>|<code>" a line: each line of a
# fenced block, each inline span (of a paragraph, so that a span may go on
# over a line end).
code_texts() {
  local doc
  for doc; do code_text_of "$doc"; done
}
code_text_of() {
  awk '
    # Lines of a paragraph are joined with "\n", so a span knows its line.
    function flush(   rest, start, end, line, before, span, crossed) {
      rest = para
      line = para_line
      while ((start = index(rest, "`")) > 0) {
        before = substr(rest, 1, start - 1)
        line += gsub(/\n/, "", before)
        rest = substr(rest, start + 1)
        if ((end = index(rest, "`")) == 0) break
        span = substr(rest, 1, end - 1)
        crossed = gsub(/\n/, " ", span)
        print FILENAME ":" line "|" span
        line += crossed
        rest = substr(rest, end + 1)
      }
      para = ""
    }
    /^ *```/ { flush(); fenced = !fenced; next }
    fenced { print FILENAME ":" FNR "|" $0; next }
    /^ *$/ { flush(); next }
    { if (para == "") { para_line = FNR; para = $0 } else para = para "\n" $0 }
    END { flush() }
  ' "$1"
}

# --- ctest selections --------------------------------------------------------
selections=0
while IFS='|' read -r where code; do
  case $code in *ctest*|-R\ *|-L\ *|-LE\ *) ;; *) continue ;; esac
  # Words as the shell would split them, quotes removed, nothing expanded.
  words=()
  while IFS= read -r -d '' word; do words+=("$word"); done \
    < <(printf '%s\n' "$code" | xargs printf '%s\0' 2>/dev/null)
  in_ctest=no
  case ${words[0]:-} in -R|-L|-LE) in_ctest=yes ;; esac
  for ((i = 0; i < ${#words[@]}; i++)); do
    case ${words[i]} in
      ctest) in_ctest=yes ;;
      '&&'|'||'|';'|'|') in_ctest=no ;;
      -R|-L|-LE)
        if [ $in_ctest = yes ] && ((i + 1 < ${#words[@]})); then
          check_selection "${words[i]}" "${words[i + 1]}" "$where"
          selections=$((selections + 1))
        fi ;;
    esac
  done
done < <(code_texts "${docs[@]}")
[ $selections -gt 0 ] || fail "no ctest selection found in ${docs[*]}: has their form changed?"

# --- The test table ------------------------------------------------------------
table=$(awk '/^\| label \| tests \|/ { on = 1; next } on && !/^\|/ { exit } on && !/^\|---/' \
          docs/development.md)
[ -n "$table" ] || fail "docs/development.md has no test table (| label | tests | ...)"
declare -A prefixes=() exact=() labels=()
while IFS='|' read -r _ label tests _; do
  label=$(sed 's/[` ]//g' <<<"$label")
  [ -n "$label" ] || { fail "docs/development.md test table: a row without a label"; continue; }
  labels[$label]=1
  check_selection -L "^$label\$" "docs/development.md test table, label $label"
  for name in $(grep -o '`[^`]*`' <<<"$tests" | tr -d '`'); do
    if [[ $name == *: ]]; then
      prefixes[$name]=1
      check_selection -R "^$name" "docs/development.md test table, row $label"
    else
      exact[$name]=1
      check_selection -R "^$name\$" "docs/development.md test table, row $label"
    fi
  done
done <<<"$table"
for label in $("$ctest" --test-dir "$build" --print-labels | sed -n 's/^  //p'); do
  [ -n "${labels[$label]:-}" ] ||
    fail "docs/development.md: the test table has no row for label $label"
done
while IFS= read -r name; do
  [ -n "$name" ] || continue
  [[ $name == *:* ]] && [ -n "${prefixes[${name%%:*}:]:-}" ] && continue
  [ -n "${exact[$name]:-}" ] && continue
  fail "docs/development.md: the test table does not name test $name"
done <<<"$test_names"

# --- Layout ------------------------------------------------------------------------
# Each line of the block: a name, indented two spaces a level below its
# directory ("dir/"). A name without an extension stands for its module:
# name.h, name.cpp, name.c and name_test.cpp, those that exist.
listed=$(awk '
  /^## Layout/ { section = 1; next }
  section && /^## / { exit }
  section && /^```/ { if (block) exit; block = 1; next }
  block && NF {
    depth = int(match($0, /[^ ]/) / 2)
    path = ""
    for (d = 0; d < depth; d++) path = path dir[d]
    path = path $1
    if ($1 ~ /\/$/) dir[depth] = $1
    print path
  }' docs/development.md)
[ -n "$listed" ] || fail "docs/development.md: no Layout block"
declare -A covered=()
while IFS= read -r entry; do
  [ -n "$entry" ] || continue
  found=no
  if [[ $entry == */ ]]; then
    [ -d "$entry" ] && found=yes
  else
    for file in "$entry" "$entry.h" "$entry.cpp" "$entry.c" "${entry}_test.cpp"; do
      covered[$file]=1
      [ -f "$file" ] && found=yes
    done
  fi
  [ $found = yes ] || fail "docs/development.md: Layout names $entry, which is not in the tree"
done <<<"$listed"
if git rev-parse --git-dir >/dev/null 2>&1; then
  sources=$(git ls-files -- "${layout_checked[@]}")
else
  sources=$(find "${layout_checked[@]}" -type f | sort)
fi
while IFS= read -r file; do
  [ -z "$file" ] || [ -n "${covered[$file]:-}" ] ||
    fail "docs/development.md: Layout does not name $file"
done <<<"$sources"

# --- Settings ---------------------------------------------------------------------
read_settings=$(grep -rhoE '"TKVCERT_[A-Z0-9_]+"' app store platform --include=*.cpp --include=*.h |
                  tr -d '"' | sort -u)
page_settings=$(sed -n '/^# ENVIRONMENT/,/^# /s/^\*\(TKVCERT\\_[A-Z\\_0-9]*\)\*$/\1/p' doc/tkvcert.8.scd |
                  tr -d '\\' | sort -u)
[ "$(wc -l <<<"$read_settings")" -ge 5 ] || fail "found only '$read_settings' as the tool's settings: has their form changed?"
[ "$read_settings" = "$page_settings" ] ||
  fail "the settings the tool reads and doc/tkvcert.8.scd's ENVIRONMENT differ:"$'\n'"$(diff <(echo "$read_settings") <(echo "$page_settings"))"

# --- Skips ------------------------------------------------------------------------
strays=$(grep -rn -e 'exit 77' -e GTEST_SKIP -e SKIP_RETURN_CODE -e 'echo "[Ss][Kk][Ii][Pp]' tests platform contrib scripts |
           grep -v -e '^tests/support/skips\.sh:' -e '^tests/support/ci_skip\.h:' -e '^tests/CMakeLists\.txt:.*SKIP_RETURN_CODE 77' \
                   -e '^tests/docs_test\.sh:' || true)
[ -z "$strays" ] || fail "skips around tests/support/skips.sh and ci_skip.h, which CI=true cannot hold to the list:"$'\n'"$strays"
reasons=$(sed -n '/^### Skips under `CI=true`/,/^#/s/^- `\([^`]*\)`.*/\1/p' docs/development.md)
[ -n "$reasons" ] || fail "docs/development.md lists no skip under CI=true: has its form changed?"
while IFS= read -r reason; do
  [ -z "$reason" ] || grep -rqF -- "$reason" tests platform ||
    fail "docs/development.md lets CI=true skip for '$reason', which no test gives"
done <<<"$reasons"
# The helper itself: under CI=true a listed reason skips and any other
# fails; elsewhere every reason skips.
skip_status() { local status=0; (CI=$1 skip "$2") >/dev/null || status=$?; echo "$status"; }
listed="$(head -1 <<<"$reasons"): why"
statuses="$(skip_status true "$listed") $(skip_status true "needs root") $(skip_status '' "needs root")"
[ "$statuses" = "77 1 77" ] ||
  fail "tests/support/skips.sh exits $statuses for a listed reason and 'needs root' under CI=true, and 'needs root' without (77 1 77 expected)"

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "docs agree with this build: $selections ctest selections, the test table, the Layout of ${layout_checked[*]}"
