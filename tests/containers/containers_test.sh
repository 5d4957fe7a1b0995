#!/usr/bin/env bash
# The tool in a container, as a node agent runs it: the node's "/" at /host
# and TKVCERT_SYSROOT=/host. The image is built here, offline, from the
# build's binary, bubblewrap and their libraries; /host is a copy of the
# Debian files that update-ca-certificates needs, never this machine's "/".
# Rootful podman with runc. Rows: --privileged; --privileged --pid host;
# --cap-add SYS_ADMIN alone; no capability, and SYS_ADMIN without SETUID and
# SETGID (refused, the cause named); the root's usr a mount of its own; a
# file bound into the root's /etc (never written); a read-only container. Each: install, repeat, uninstall, the
# bundle checked with openssl verify, and which sandbox the tool made.
#   containers_test.sh TKVCERT_BINARY
# As root, in a private mount namespace, which must leave the host's trust
# directories as they were. Exits 77 (skipped) without root, podman, runc
# or a mount namespace.
set -euo pipefail
binary=$(realpath "$1")
self=$(realpath "$0")
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# shellcheck source=../support/skips.sh
. "$(dirname "$self")/../support/skips.sh"

if [ -z "${TKV_CONTAINERS_NS:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "needs root"
  for tool in podman runc openssl; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
  unshare -m true 2>/dev/null || skip "cannot make a mount namespace"
  # Images get plain builds; the sanitized one runs the end-to-end tables.
  if grep -qE 'lib(a|t|ub)san' <<<"$(ldd "$binary")"; then skip "a sanitized build is not put in an image"; fi
  host=(/etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates)
  snapshot() { { find "${host[@]}" -printf '%p %y %m %s %T@ %l\n' 2>/dev/null || true; } | sort; }
  before=$(snapshot)
  status=0
  TKV_CONTAINERS_NS=1 timeout 900 unshare -m --propagation private "$self" "$binary" || status=$?
  if [ "$(snapshot)" != "$before" ]; then echo "FAIL: the machine's own trust store changed"; exit 1; fi
  exit "$status"
fi

passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }

work=$(mktemp -d /var/tmp/tkvcert-containers.XXXXXX)
image=localhost/tkvcert-containers-test:$$
containers=()
cleanup() {
  for c in "${containers[@]}"; do podman rm -f --time 0 "$c" >/dev/null 2>&1 || true; done
  podman rmi -f "$image" >/dev/null 2>&1 || true
  # What the rows mounted below it, deepest first.
  awk -v top="$work/" 'index($5, top) == 1 {print $5}' /proc/self/mountinfo | sort -r |
    while read -r mounted; do umount "$mounted" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The image: the tool, bubblewrap, `true` for a trial, and their libraries.
image_dir=$work/image
mkdir -p "$image_dir"/{usr/sbin,usr/bin,tmp,proc,dev,sys,etc,host,run}
cp "$binary" "$image_dir/usr/sbin/tkvcert"
cp /usr/bin/bwrap /usr/bin/true "$image_dir/usr/bin/"
for program in "$binary" /usr/bin/bwrap /usr/bin/true; do ldd "$program" | grep -oE '/[^ ]+'; done | sort -u |
  while read -r lib; do mkdir -p "$image_dir$(dirname "$lib")"; cp -L "$lib" "$image_dir$lib"; done
chmod 1777 "$image_dir/tmp"
echo 'root:x:0:0:root:/root:/bin/sh' >"$image_dir/etc/passwd"
tar -C "$image_dir" -c . | podman import -q - "$image" >/dev/null

# A Debian root: this machine's files of the packages the refresh runs.
base=$work/base
source "$(dirname "$self")/../support/debian_root.sh"
make_debian_root "$base"
echo 'nameserver 192.0.2.1' >"$base/etc/resolv.conf"
# A hook that writes what it can of a file an admin bound into the root.
printf '#!/bin/sh\necho hooked >> /etc/resolv.conf 2>/dev/null\nexit 0\n' >"$base/etc/ca-certificates/update.d/append"
chmod 755 "$base/etc/ca-certificates/update.d/append"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -days 30 \
  -subj "/CN=TKV Container Test CA" -addext basicConstraints=critical,CA:TRUE >/dev/null 2>&1
name="TKV Container Test CA"
hard_files=$(ulimit -Hn)
# Limits within the session's own, which runc may not raise.
processes=$(ulimit -Hu)
if [ "$processes" = unlimited ] || [ "$processes" -gt 4096 ]; then processes=4096; fi

# run ROOT PODMAN-OPTIONS... -- TOOL-ARGUMENTS...: the tool in a container;
# its standard output in $out, standard error in $err, status in $status.
run() {
  local root=$1; shift
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  local container=tkvcert-containers-$$-$RANDOM
  containers+=("$container")
  status=0
  out=$(timeout 300 podman run --rm --name "$container" --runtime runc --network none \
          --ulimit "nofile=$hard_files:$hard_files" --ulimit "nproc=$processes:$processes" "${options[@]}" \
          -v "$root:/host" -v "$work/ca.pem:/ca.pem:ro" -e TKVCERT_SYSROOT=/host "$image" \
          /usr/sbin/tkvcert "$@" 2>"$work/err") || status=$?
  err=$(cat "$work/err")
}

trusts() { openssl verify -CAfile "$1/etc/ssl/certs/ca-certificates.crt" "$work/ca.pem" >/dev/null 2>&1; }
mode() { if grep -q 'uid 0 without capabilities' <<<"$1"; then echo proc-masks; else echo userns; fi; }

# row NAME SETUP PODMAN-OPTIONS...: install, repeat, uninstall in a fresh
# copy, after SETUP (a function given the copy, or "true").
row() {
  local what=$1 setup=$2; shift 2
  ran "$what"
  local root=$work/root-$((passed + failed))
  cp -a "$base" "$root"
  "$setup" "$root"
  run "$root" "$@" -- /install /ca.pem
  local sandbox
  sandbox=$(mode "$err")
  check "$what: install exits 0 in the $sandbox sandbox (got $status: $err)" test "$status" = 0
  check "$what: install prints its line" test "$out" = "Done importing [/ca.pem]"
  check "$what: the bundle trusts the CA" trusts "$root"
  run "$root" "$@" -- /install /ca.pem
  check "$what: a repeat exits 0, saying nothing (got $status: $err)" test "$status:$err" = "0:"
  run "$root" "$@" -- /uninstall "$name"
  check "$what: uninstall exits 0 (got $status: $err)" test "$status" = 0
  check "$what: the bundle no longer trusts the CA" eval '! trusts "$root"'
  check "$what: no other sandbox than the first" test "$(mode "$err")" = "$sandbox"
  echo "  $what: the $sandbox sandbox"
}

# Its own file system holds the programs; the root's underneath, nothing.
own_usr() { mv "$1/usr" "$1.usr" && mkdir "$1/usr" && mount --bind "$1.usr" "$1/usr"; }
bound_resolv_conf() {
  echo 'nameserver 192.0.2.53' >"$work/resolv.conf"
  mount --bind "$work/resolv.conf" "$1/etc/resolv.conf"
}

row "--privileged" true --privileged
row "--privileged --pid host" true --privileged --pid host
row "--cap-add SYS_ADMIN" true --cap-add SYS_ADMIN
row "the root's usr a mount of its own" own_usr --privileged
row "a file bound into the root's /etc" bound_resolv_conf --privileged
check "the file bound into the root's /etc was not written" test "$(cat "$work/resolv.conf")" = "nameserver 192.0.2.53"
row "a read-only container" true --privileged --read-only

ran "no capability"
root=$work/root-none
cp -a "$base" "$root"
run "$root" -- /install /ca.pem
check "no capability: refused with 0x32 (got $status)" test "$status:$(grep -c 'LastError: 0x32' <<<"$out")" = "1:1"
check "no capability: the cause is named ($err)" grep -q 'lacks CAP_SYS_ADMIN' <<<"$err"
check "no capability: nothing changed" test -z "$(ls "$root/usr/local/share/ca-certificates")"
# SYS_ADMIN without SETUID and SETGID: the id maps cannot be written, and the
# cause asks for those two, never for the uid 0 fallback's CAP_NET_ADMIN.
ran "SYS_ADMIN alone"
run "$root" --cap-drop all --cap-add SYS_ADMIN -- /install /ca.pem
check "SYS_ADMIN alone: refused with 0x32 (got $status)" test "$status:$(grep -c 'LastError: 0x32' <<<"$out")" = "1:1"
check "SYS_ADMIN alone: the cause asks for SETUID and SETGID ($err)" \
  eval 'grep -q "lacks CAP_SETUID or CAP_SETGID" <<<"$err" && ! grep -q CAP_NET_ADMIN <<<"$err"'

ran_line
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
