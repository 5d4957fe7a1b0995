#!/bin/sh
# The APKBUILD's source: this checkout's files as tkvcert-<version>.tar.gz,
# made the same byte for byte wherever it is made (names sorted, owners,
# times and gzip's header fixed), so that its sha512 can stand in the
# APKBUILD. contrib/alpine itself is left out: the APKBUILD names the
# tarball's sum, and cannot be inside it.
#   source-tarball.sh [--update] [DIR]
# writes the tarball into DIR (beside this script without one) and prints
# its sum; --update writes that sum into this APKBUILD, and without it a
# DIR gets a copy of the APKBUILD with the sum, as abuild would read it.
set -eu
update=no
if [ "${1:-}" = --update ]; then update=yes; shift; fi
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../.." && pwd)
out=$(cd "${1:-$here}" && pwd)
version=$(sed -n 's/^pkgver=//p' "$here/APKBUILD")
name=tkvcert-$version
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if git -C "$tree" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$tree" ls-files -z
else
  (cd "$tree" && find . -path ./.git -prune -o -type f -print0 | sed -z 's|^\./||')
fi | grep -zv '^contrib/alpine/' | grep -zv '^\.git' | sort -z > "$work/files"
mkdir "$work/$name"
(cd "$tree" && tar --null -T "$work/files" -cf - ) | tar -xf - -C "$work/$name"
tar -C "$work" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner --mode=u+rw,go+r,go-w \
  -cf - "$name" | gzip -n -9 > "$out/$name.tar.gz"
sum=$(cd "$out" && sha512sum "$name.tar.gz")
echo "$sum"
if [ "$update" = yes ] || [ "$out" != "$here" ]; then
  awk -v sum="$sum" '
    /^sha512sums="/ { print "sha512sums=\""; print sum; print "\""; skip = 1; next }
    skip && /^"/ { skip = 0; next }
    !skip { print }' "$here/APKBUILD" > "$work/APKBUILD"
  if [ "$update" = yes ]; then cat "$work/APKBUILD" > "$here/APKBUILD"; else cp "$work/APKBUILD" "$out/APKBUILD"; fi
fi
