#!/usr/bin/env bash
# Clients with roots of their own, in a throwaway root, with real handshakes
# against a loopback TLS server: a certifi of its own (Debian's, with a
# core.py that returns its own cacert.pem, in front of Debian's requests)
# is listed and does not trust the CA; TKVCERT_CLIENTS=fix points it at the
# store, after which it trusts the CA, and no longer once the CA is removed.
# A JDK of its own is listed; this machine's upstream node is listed by the
# whole walk, Debian's node 18 (unpacked, never installed) and certifi not.
# Clients run in a mount namespace with the root's etc/ssl and
# etc/environment bound over the machine's, which stay as they were.
#   own_roots_test.sh TKVCERT_BINARY
set -euo pipefail
tool=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
# shellcheck source=support/skips.sh
. "$here/support/skips.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root"
unshare -m true 2>/dev/null || skip "cannot make a mount namespace"
[ -f /usr/lib/python3/dist-packages/certifi/core.py ] && [ -d /usr/lib/python3/dist-packages/requests ] ||
  skip "no python3-certifi and python3-requests"
work=$(mktemp -d)
server_pid=
cleanup() { [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
passed=0 failed=0
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi; }

root=$work/root
mkdir -p "$root/usr/local/share/ca-certificates" "$root/usr/share/ca-certificates" "$root/etc/ssl/certs/java" \
  "$root/etc/systemd"
: > "$root/etc/ca-certificates.conf"
: > "$root/etc/environment"
export TKVCERT_SYSROOT=$root
# shellcheck source=support/loopback_tls.sh
. "$here/support/loopback_tls.sh"
make_ca ca "Own Roots Test CA $$"
make_leaf ca
start_tls_server
url=https://127.0.0.1:$port/

# A certifi of its own: Debian's files, its bundle a copy, its where() its own.
site=$root/usr/local/lib/python3.11/dist-packages
mkdir -p "$site"
cp -rL /usr/lib/python3/dist-packages/certifi "$site/"
printf 'import os\ndef where():\n    return os.path.join(os.path.dirname(__file__), "cacert.pem")\ndef contents():\n    return open(where()).read()\n' > "$site/certifi/core.py"
# Debian's own certifi in the root, which follows, and a JDK of its own.
mkdir -p "$root/usr/lib/python3/dist-packages" "$root/usr/lib/jvm/vendor-jdk/lib/security"
cp -a /usr/lib/python3/dist-packages/certifi "$root/usr/lib/python3/dist-packages/"
cp -L /etc/ssl/certs/java/cacerts "$root/usr/lib/jvm/vendor-jdk/lib/security/cacerts"
cp -L /etc/ssl/certs/java/cacerts "$root/etc/ssl/certs/java/cacerts"

# requests as a login of the root would run it.
requests_trusts() {
  unshare -m sh -c '
    mount --bind "$1/etc/ssl" /etc/ssl && mount --bind "$1/etc/environment" /etc/environment || exit 9
    exec env -i PATH=/usr/bin:/bin PYTHONPATH="$2" $(cat /etc/environment) timeout 20 /usr/bin/python3 -c "import requests, sys; requests.get(sys.argv[1], timeout=5)" "$3"
  ' sh "$root" "$site" "$url" >requests.log 2>&1
}
exec 3>report.json
stdout_quiet=$(TKVCERT_CLIENTS=off "$tool" /install ca.pem 2>/dev/null)
"$tool" /uninstall "Own Roots Test CA $$" >/dev/null 2>&1
stdout=$(TKVCERT_REPORT=3 "$tool" /install ca.pem 2>stderr.txt)
check "stdout is the same with the look and without it" [ "$stdout" = "$stdout_quiet" ]
check "the certifi of its own is said" grep -q "certifi bundle kept roots of their own: /usr/local/lib/python3.11/dist-packages/certifi/cacert.pem" stderr.txt
check "the JDK of its own is said" grep -q "JDK keystore kept roots of their own: /usr/lib/jvm/vendor-jdk/lib/security/cacerts" stderr.txt
check "Debian's certifi is not said" bash -c '! grep -q /usr/lib/python3/dist-packages stderr.txt'
check "the report lists both" python3 -c '
import json, sys; r = json.load(open("report.json")); kinds = sorted((c["kind"], c["follows"], c["holds"]) for c in r["clients"])
sys.exit(kinds != [("certifi", False, False), ("jdk", False, False)])'

if requests_trusts; then echo "FAIL: requests trusts the CA without the fix"; failed=$((failed + 1)); else check "requests refuses for want of an issuer" grep -q SSLError requests.log; fi
"$tool" /uninstall "Own Roots Test CA $$" >/dev/null 2>&1
TKVCERT_CLIENTS=fix "$tool" /install ca.pem >/dev/null 2>fix.txt
check "the fix names the store as the root sees it" grep -qx "REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt" "$root/etc/environment"
check "and points Java at the family's keystore" grep -q "JAVA_TOOL_OPTIONS=-Djavax.net.ssl.trustStore=/etc/ssl/certs/java/cacerts" "$root/etc/environment"
check "services are told to restart" grep -q "daemon-reexec" fix.txt
check "the services' drop-in" grep -q '^DefaultEnvironment=.*REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt' "$root/etc/systemd/system.conf.d/tkvcert-clients.conf"
check "with the fix, requests trusts the CA" requests_trusts
"$tool" /uninstall "Own Roots Test CA $$" >/dev/null 2>&1
if requests_trusts; then echo "FAIL: requests still trusts the CA removed"; failed=$((failed + 1)); else check "after the removal, with the fix in place, it does not" grep -q SSLError requests.log; fi
TKVCERT_CLIENTS=off "$tool" /install ca.pem >/dev/null 2>off.txt
check "TKVCERT_CLIENTS=off says nothing of clients" bash -c '! grep -q "roots of their own" off.txt'
TKVCERT_CLIENTS=off "$tool" /install ca.pem >/dev/null 2>converged.txt
"$tool" /install ca.pem >/dev/null 2>converged.txt
check "a converged run says nothing of clients" bash -c '! grep -q "roots of their own" converged.txt'

# Node: this machine's upstream build is listed by the whole walk; Debian's
# node 18 and libnode, unpacked into the root, are not.
if [ -x /usr/bin/node ] && grep -q "use bundled CA store (default)" /usr/bin/node; then
  mkdir -p "$root/opt/node/bin" debs
  cp /usr/bin/node "$root/opt/node/bin/node"
  if (cd debs && apt-get download -qq nodejs=18.20.4+dfsg-1~deb12u3 libnode108=18.20.4+dfsg-1~deb12u3 >/dev/null 2>&1); then
    for deb in debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
  fi
  TKVCERT_CLIENTS=1 "$tool" >list.txt 2>list.err
  check "the whole walk lists the upstream node" grep -q "^node .* /opt/node/bin/node " list.txt
  check "it lists the certifi of its own" grep -q "^certifi .*/usr/local/lib/python3.11/dist-packages/certifi/cacert.pem" list.txt
  check "and not Debian's node, libnode or certifi" bash -c '! grep -q "/usr/bin/node\|libnode\|/usr/lib/python3/dist-packages" list.txt'
  ran "node"
  check "Debian's libnode was unpacked" bash -c "ls '$root'/usr/lib/x86_64-linux-gnu/libnode.so.* >/dev/null"
else
  skip_row "no upstream node on this machine"
fi
check "TKVCERT_CLIENTS=1 with a command is refused" bash -c "! TKVCERT_CLIENTS=1 '$tool' /install ca.pem 2>/dev/null"
ran "certifi and a JDK of their own"
ran_line
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
