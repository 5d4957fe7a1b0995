#!/usr/bin/env bash
# The Windows executable carries its icon group (two 256-colour images,
# 32x32 and 16x16) and its version record (the project's version, US
# English, code page 1252, our own descriptive texts).
#   windows_resources_test.sh EXE VERSION      VERSION: the project's, 1.0.0
set -euo pipefail
exe=$1
IFS=. read -r major minor patch _ <<<"$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

wrestool -l "$exe" > "$work/list"
check "icon group MAINICON" grep -q -- "--type=14 --name='MAINICON'" "$work/list"
check "version record" grep -q -- "--type=16 --name=1 --language=1033" "$work/list"

wrestool -x -t14 -n MAINICON -o "$work/icon.ico" "$exe"
icotool -l "$work/icon.ico" > "$work/icons"
check "two images" test "$(wc -l < "$work/icons")" -eq 2
check "32x32, 256 colours" grep -q -- "--width=32 --height=32 --bit-depth=8 --palette-size=256" "$work/icons"
check "16x16, 256 colours" grep -q -- "--width=16 --height=16 --bit-depth=8 --palette-size=256" "$work/icons"

wrestool -x -t16 -R "$exe" > "$work/version.bin"
strings -el -n 3 "$work/version.bin" > "$work/strings"
value_of() { grep -A1 -x "$1" "$work/strings" | tail -1; }
check "string block 040904E4" grep -qx "040904E4" "$work/strings"
for pair in "CompanyName=TKV" "FileDescription=TKV proxy certificate management utility" \
            "FileVersion=$major.$minor" "ProductVersion=$major.$minor" "ProductName=tkvcert" \
            "InternalName=tkvcert" "OriginalFilename=tkvcert.exe"; do
  check "${pair%%=*} is '${pair#*=}'" test "$(value_of "${pair%%=*}")" = "${pair#*=}"
done
# The fixed part: signature, structure version, then file and product
# versions as two 32-bit halves each (major and minor, patch and 0),
# little-endian.
fixed=$(od -A n -t x1 -v "$work/version.bin" | tr -d ' \n' | grep -o 'bd04effe.\{72\}')
versions=${fixed:16:32}
le32() { printf '%08x' "$1" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/'; }
halves=$(le32 $(((major << 16) | minor)))$(le32 $((patch << 16)))
check "file and product version $major.$minor.$patch.0" test "$versions" = "$halves$halves"
translation=$(od -A n -t x1 -v "$work/version.bin" | tr -d ' \n' | tail -c 8)
check "translation 0409, code page 04E4" test "$translation" = "0904e404"

[ "$failures" -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
