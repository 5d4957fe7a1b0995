#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# --linux-only: just what building and running the Linux tool needs.
set -euo pipefail

packages=(cmake make g++ libssl-dev libgtest-dev openssl curl ca-certificates util-linux time)
# The sandbox every refresh for another root runs in (the demo's root, every test).
packages+=(bubblewrap)
# Its seccomp filter is built with libseccomp.
packages+=(libseccomp-dev pkg-config)
# The browser step: the JSON library it is built with, and p11-kit's trust
# module, which Firefox is made to load.
packages+=(nlohmann-json3-dev p11-kit-modules)
if [ "${1:-}" != "--linux-only" ]; then
  packages+=(mingw-w64 wine wine64 icoutils binutils clang libfuzzer-14-dev libclang-rt-14-dev)
  # The manual page and the Debian package, and the checks on both.
  packages+=(scdoc mandoc man-db dpkg-dev lintian file)
  # hardening-check, for the packaged binary.
  packages+=(devscripts)
  # p11-kit's trust tool, the refresh of the p11-kit families' tests.
  packages+=(p11-kit)
  # The other families' packages: the RPM and rpmlint, Arch's makepkg (which
  # Debian packs apart from pacman), and musl-gcc for the probe of what a C
  # library other than glibc declares.
  packages+=(rpm rpmlint cpio pacman-package-manager makepkg libarchive-tools fakeroot musl-tools)
  # The clients of the client trust test, Java's keystore hook, and the
  # mount namespace it runs in.
  packages+=(gnutls-bin python3 default-jre-headless ca-certificates-java mount)
  # javac, for the own-roots test's Java client.
  packages+=(default-jdk-headless)
  # The own-roots test: Debian's requests and certifi, which a certifi of its
  # own is put in front of.
  packages+=(python3-requests python3-certifi)
  # The browser tests: real headless browsers, iproute2 for their
  # namespace's loopback, and certutil for a root Chromium trusts on its own.
  packages+=(chromium firefox-esr iproute2 libnss3-tools)
  # The Ansible collection: its module's unit tests, ansible-doc, the fleet
  # test and benchmark (Debian's ansible-core).
  packages+=(ansible-core)
  # The containers test: rootful podman with runc (crun refuses cgroup v1).
  packages+=(podman runc)
  # The Kubernetes agent's test: its image made with mmdebstrap, and a
  # stand-in for a node's systemd on a D-Bus of its own.
  packages+=(mmdebstrap dbus-daemon dbus-bin python3-dbus python3-gi python3-yaml)
  # podman kube play builds its pause image from catatonit.
  packages+=(catatonit)
  # The store tests make the tool's flushes and unlinks fail through strace.
  packages+=(strace)
fi
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
