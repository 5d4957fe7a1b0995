#!/usr/bin/env bash
# Clients with roots of their own, in a throwaway root, with real handshakes
# against a loopback TLS server: a certifi of its own (Debian's, with a
# core.py that returns its own cacert.pem, in front of Debian's requests)
# is listed and does not trust the CA; TKVCERT_CLIENTS=fix points it at the
# store, after which it trusts the CA, and no longer once the CA is removed.
# A JDK of its own is listed, and refuses the CA that Debian's keystore
# holds; with the fix, a Java handshake passes through that keystore, and
# fails again after the removal. This machine's upstream node is listed by
# the whole walk, Debian's node 18 (unpacked, never installed) and certifi not;
# npm on it trusts the CA once the fix made the store its cafile.
# Clients run in a mount namespace with the root's etc/ssl and
# etc/environment bound over the machine's, which stay as they were; the
# machine's JVM runs with the root's JDK's lib/security bound over its own.
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
: > "$root/etc/environment"
export TKVCERT_SYSROOT=$root
# shellcheck source=support/loopback_tls.sh
. "$here/support/loopback_tls.sh"
make_ca ca "Own Roots Test CA $$"
make_leaf ca
# One of the distribution's, so that no keystore made from the bundle is empty.
make_ca other "Own Roots Other CA $$"
cp other.pem "$root/usr/share/ca-certificates/other.crt"
echo other.crt > "$root/etc/ca-certificates.conf"
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
cp -L /etc/ssl/certs/java/cacerts "$root/etc/ssl/certs/java/cacerts"
# The JDK's own directory, as a vendor's holds it: Debian's, with a cacerts
# file of its own in place of the link to the family's keystore.
jdk_security=
if command -v javac >/dev/null && [ -d "$(dirname "$(readlink -f "$(command -v java)")")/../lib/security" ]; then
  jdk_security=$(realpath "$(dirname "$(readlink -f "$(command -v java)")")/../lib/security")
  cp -a "$jdk_security/." "$root/usr/lib/jvm/vendor-jdk/lib/security/"
  rm "$root/usr/lib/jvm/vendor-jdk/lib/security/cacerts"
fi
cp -L /etc/ssl/certs/java/cacerts "$root/usr/lib/jvm/vendor-jdk/lib/security/cacerts"

# requests as a login of the root would run it.
requests_trusts() {
  unshare -m sh -c '
    mount --bind "$1/etc/ssl" /etc/ssl && mount --bind "$1/etc/environment" /etc/environment || exit 9
    exec env -i PATH=/usr/bin:/bin PYTHONPATH="$2" $(cat /etc/environment) timeout 20 /usr/bin/python3 -c "import requests, sys; requests.get(sys.argv[1], timeout=5)" "$3"
  ' sh "$root" "$site" "$url" >requests.log 2>&1
}
# keystore: the root's Java keystore made from its bundle, as Debian's hook
# makes it (the sandbox runs no hook of a bare root); a URL: one handshake.
cat > OwnRoots.java <<'EOF'
public class OwnRoots {
  public static void main(String[] args) throws Exception {
    if (args[0].equals("keystore")) {
      var store = java.security.KeyStore.getInstance("JKS");
      store.load(null, null);
      try (var in = new java.io.FileInputStream(args[1])) {
        int n = 0;
        for (var c : java.security.cert.CertificateFactory.getInstance("X.509").generateCertificates(in)) {
          store.setCertificateEntry("ca" + n++, c);
        }
      }
      try (var out = new java.io.FileOutputStream(args[2])) { store.store(out, "changeit".toCharArray()); }
      return;
    }
    var c = (javax.net.ssl.HttpsURLConnection) java.net.URI.create(args[0]).toURL().openConnection();
    c.setConnectTimeout(10000);
    c.setReadTimeout(10000);
    c.getInputStream().close();
  }
}
EOF
[ -z "$jdk_security" ] || javac -d java OwnRoots.java || jdk_security=
[ -n "$jdk_security" ] || skip_row "the Java handshakes need a JDK's javac"
# The JDK of its own, as a login of the root would run it, after the hook.
java_trusts() {
  java -cp java OwnRoots keystore "$root/etc/ssl/certs/ca-certificates.crt" "$root/etc/ssl/certs/java/cacerts" &&
  unshare -m sh -c '
    mount --bind "$1/etc/ssl" /etc/ssl && mount --bind "$1/etc/environment" /etc/environment &&
      mount --bind "$1/usr/lib/jvm/vendor-jdk/lib/security" "$2" || exit 9
    exec env -i PATH=/usr/bin:/bin $(cat /etc/environment) timeout 30 java -XX:-UsePerfData -cp java OwnRoots "$3"
  ' sh "$root" "$jdk_security" "$url" >java.log 2>&1
}
java_refuses() { ! java_trusts && grep -q "PKIX path building failed" java.log; }
java_row() { [ -z "$jdk_security" ] || check "$@"; }
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
java_row "the JDK of its own refuses the CA that Debian's keystore holds" java_refuses
"$tool" /uninstall "Own Roots Test CA $$" >/dev/null 2>&1
TKVCERT_CLIENTS=fix "$tool" /install ca.pem >/dev/null 2>fix.txt
check "the fix names the store as the root sees it" grep -qx "REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt" "$root/etc/environment"
check "and points Java at the family's keystore" grep -q "JAVA_TOOL_OPTIONS=-Djavax.net.ssl.trustStore=/etc/ssl/certs/java/cacerts" "$root/etc/environment"
check "services are told to restart" grep -q "daemon-reexec" fix.txt
check "the services' drop-in" grep -q '^DefaultEnvironment=.*REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt' "$root/etc/systemd/system.conf.d/tkvcert-clients.conf"
check "with the fix, requests trusts the CA" requests_trusts
java_row "with the fix and Debian's keystore, a Java handshake passes" java_trusts
java_row "and the JVM says it picked up JAVA_TOOL_OPTIONS" grep -q "Picked up JAVA_TOOL_OPTIONS" java.log
"$tool" /uninstall "Own Roots Test CA $$" >/dev/null 2>&1
if requests_trusts; then echo "FAIL: requests still trusts the CA removed"; failed=$((failed + 1)); else check "after the removal, with the fix in place, it does not" grep -q SSLError requests.log; fi
java_row "nor Java" java_refuses
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
  # npm on the root's upstream node reads <prefix>/etc/npmrc; run without
  # the root's environment, so that only its cafile can make it trust.
  npm_cli=$(readlink -f "$(command -v npm || echo /nonexistent)")
  npm_trusts() {
    unshare -m sh -c 'mount --bind "$1/etc/ssl" /etc/ssl || exit 9
      exec env -i PATH=/usr/bin:/bin HOME="$2" timeout 30 "$1/opt/node/bin/node" "$3" ping --fetch-retries=0 --registry "$4"
    ' sh "$root" "$work" "$npm_cli" "$url" >npm.log 2>&1
  }
  npm_refuses() { ! npm_trusts && grep -q UNABLE_TO_VERIFY_LEAF_SIGNATURE npm.log; }
  if [ -f "$npm_cli" ]; then
    check "npm on the upstream node refuses the CA the store holds" npm_refuses
    TKVCERT_CLIENTS=fix "$tool" /install ca.pem >/dev/null 2>&1
    check "the fix makes the store npm's cafile" grep -qx "cafile=/etc/ssl/certs/ca-certificates.crt" "$root/opt/node/etc/npmrc"
    check "with it, npm trusts the CA" npm_trusts
    "$tool" /uninstall "Own Roots Test CA $$" >/dev/null 2>&1
    check "and no longer after the removal" npm_refuses
    "$tool" /install ca.pem >/dev/null 2>&1
  else
    skip_row "no npm on this machine"
  fi
else
  skip_row "no upstream node on this machine"
fi
check "TKVCERT_CLIENTS=1 with a command is refused" bash -c "! TKVCERT_CLIENTS=1 '$tool' /install ca.pem 2>/dev/null"
ran "certifi and a JDK of their own"
ran_line
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
