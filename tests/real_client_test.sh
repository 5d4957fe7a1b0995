#!/usr/bin/env bash
# A real client trusts what the tool installs: curl, pointed at a sandbox
# root's refreshed bundle (and at its hashed directory), fails against a
# loopback TLS server whose leaf a test CA signed, succeeds once the CA is
# installed, and fails again once it is removed.
set -euo pipefail
tool=$(realpath "$1")
work=$(mktemp -d)
server_pid=
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

root=$work/root
mkdir -p "$root/usr/local/share/ca-certificates" "$root/usr/share/ca-certificates" "$root/etc/ssl/certs"
: > "$root/etc/ca-certificates.conf"
export TKVCERT_SYSROOT=$root

# shellcheck source=support/loopback_tls.sh
. "$(dirname "$(realpath "$0")")/support/loopback_tls.sh"
# shellcheck source=support/skips.sh
. "$(dirname "$(realpath "$0")")/support/skips.sh"
make_ca ca "Loopback Test Proxy CA"
make_leaf ca
start_tls_server

bundle=$root/etc/ssl/certs/ca-certificates.crt
fetch() {
  curl --silent --show-error --max-time 5 --output /dev/null "$@" "https://localhost:$port/"
}
expect_trust() {  # expected: yes or no
  local via_bundle=no via_dir=no
  [ -f "$bundle" ] && fetch --cacert "$bundle" 2>/dev/null && via_bundle=yes
  # The hashed links name the anchors as the root sees them, as in an
  # image: curl looks them up with the root's directories in place.
  bwrap --ro-bind / / --ro-bind "$root/etc/ssl/certs" /etc/ssl/certs \
    --ro-bind "$root/usr/local/share/ca-certificates" /usr/local/share/ca-certificates \
    --dev /dev curl --silent --show-error --max-time 5 --output /dev/null \
    --capath /etc/ssl/certs "https://localhost:$port/" 2>/dev/null && via_dir=yes
  if [ "$via_bundle" != "$1" ] || [ "$via_dir" != "$1" ]; then
    echo "FAIL ($2): expected trust=$1, bundle=$via_bundle, hashed directory=$via_dir"
    exit 1
  fi
  echo "ok: $2 (trust=$1)"
}

expect_trust no "before install"
"$tool" /install ca.pem
expect_trust yes "after install"
"$tool" /uninstall "Loopback Test Proxy CA"
expect_trust no "after uninstall"
ran "curl through the bundle and the hashed directory"
ran_line
echo "1 passed, 0 failed"
