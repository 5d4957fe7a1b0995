#!/bin/sh
# Builds the node agent's image, localhost/tkvcert-agent:<version>, without a
# registry: mmdebstrap makes a Debian 12 root with the tkvcert .deb (cpack in
# BUILD_DIR), bubblewrap and dbus-send, and the agent built there; podman
# builds the Containerfile on it. Needs root, mmdebstrap, podman and a
# Debian mirror (apt's own).
#   build-image.sh BUILD_DIR [TAG]
set -eu
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
# The package's dependencies first: mmdebstrap's apt cannot install a file.
mmdebstrap --variant=essential \
  --include=bubblewrap,dbus-bin,ca-certificates,libseccomp2,libssl3,libstdc++6 \
  --customize-hook="copy-in $deb /tmp" \
  --customize-hook="chroot \"\$1\" dpkg -i /tmp/$(basename "$deb")" \
  --customize-hook="rm \"\$1\"/tmp/$(basename "$deb")" \
  --customize-hook="copy-in $build/tkvcert-agent /usr/sbin" \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  bookworm "$work/rootfs.tar" >"$work/mmdebstrap.log" 2>&1 || { tail -20 "$work/mmdebstrap.log"; exit 1; }
podman build --runtime runc -q -f "$work/Containerfile" -t "$tag" "$work" >/dev/null
echo "$tag"
