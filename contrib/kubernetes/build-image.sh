#!/bin/sh
# Builds the node agent's image, localhost/tkvcert-agent:<version>, without a
# container registry: mmdebstrap makes a Debian 12 root with the tkvcert .deb
# (cpack in BUILD_DIR), bubblewrap and dbus-send, and the agent built there;
# podman builds the Containerfile on it. Needs root, mmdebstrap, podman, and
# Debian's packages: from apt's own mirror, or with --debs from a directory
# of .deb files (another machine's /var/cache/apt/archives, say), which then
# is the only source and needs no network.
#   build-image.sh [--debs DIR] BUILD_DIR [TAG]
set -eu
debs=
if [ "${1:-}" = --debs ]; then debs=$(cd "$2" && pwd); shift 2; fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
tag=${2:-localhost/tkvcert-agent:$version}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/deb/*.deb)
cp "$here/Containerfile" "$work/"
mirror=
if [ -n "$debs" ]; then
  # A repository of links to the files, indexed here: apt copies what it picks.
  arch=$(dpkg --print-architecture)
  repo=$work/repo
  mkdir -p "$repo/pool" "$repo/dists/bookworm/main/binary-$arch"
  find "$debs" -maxdepth 1 -name '*.deb' -exec ln -s {} "$repo/pool/" \;
  (cd "$repo" && dpkg-scanpackages -m pool /dev/null >"dists/bookworm/main/binary-$arch/Packages" 2>"$work/scan.log") ||
    { cat "$work/scan.log"; exit 1; }
  printf 'Suite: bookworm\nCodename: bookworm\nComponents: main\nArchitectures: %s\n' "$arch" \
    >"$repo/dists/bookworm/Release"
  mirror="deb [trusted=yes] copy://$repo bookworm main"
fi
# The package's dependencies first: mmdebstrap's apt cannot install a file.
mmdebstrap --variant=essential \
  --include=bubblewrap,dbus-bin,ca-certificates,libseccomp2,libssl3,libstdc++6 \
  --customize-hook="copy-in $deb /tmp" \
  --customize-hook="chroot \"\$1\" dpkg -i /tmp/$(basename "$deb")" \
  --customize-hook="rm \"\$1\"/tmp/$(basename "$deb")" \
  --customize-hook="copy-in $build/tkvcert-agent /usr/sbin" \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  bookworm "$work/rootfs.tar" ${mirror:+"$mirror"} >"$work/mmdebstrap.log" 2>&1 ||
  { tail -20 "$work/mmdebstrap.log"; exit 1; }
podman build --runtime runc -q -f "$work/Containerfile" -t "$tag" "$work" >/dev/null
echo "$tag"
