# Sourced by the shell tests: skipping, and the line of what ran.
# A test that cannot run here says why and skips (exit 77); a row of it says
# why and the test goes on. Under CI=true, where every test this kind of
# machine can run must run, either fails instead, naming what is missing,
# unless the reason is one docs/development.md lists under "Skips under
# CI=true" (the list is read from there, so that the page and the tests
# cannot disagree). A test ends with ran_line: what ran, what was left out.
tkv_skips_doc=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/docs/development.md
tkv_ran=()
tkv_left_out=()

# Whether CI=true lets a test skip for this reason: the page's list holds
# "- `REASON`", or the reason begins with a listed one and ": ".
ci_allows_skip() {
  local listed
  while IFS= read -r listed; do
    [ "$1" = "$listed" ] || [[ $1 == "$listed: "* ]] && return 0
  done < <(sed -n '/^### Skips under `CI=true`/,/^#/s/^- `\([^`]*\)`.*/\1/p' "$tkv_skips_doc")
  return 1
}
refuse_skip_under_ci() {
  [ "${CI:-}" = true ] && ! ci_allows_skip "$1" || return 0
  echo "FAIL: CI=true, and this cannot run: $1"
  exit 1
}
skip() {
  refuse_skip_under_ci "$1"
  echo "SKIP: $1"
  exit 77
}
skip_row() {
  refuse_skip_under_ci "$1"
  echo "SKIP: $1"
  tkv_left_out+=("$1")
}
ran() { tkv_ran+=("$1"); }
ran_line() {
  local IFS=';'
  echo "ran:${tkv_ran[*]/#/ }${tkv_left_out:+ | left out:${tkv_left_out[*]/#/ }}"
}
