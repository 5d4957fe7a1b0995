#!/usr/bin/env bash
# What an admin's clients trust after the tool runs on the real root layout:
# curl, OpenSSL's hashed directory, GnuTLS, Debian's Python and Java each
# reach a loopback TLS server once a test CA is installed, and each refuses
# it, for want of a trusted issuer, once the CA is removed. A refresh hook
# that fails (dpkg locked) must be reported, not swallowed.
#   client_trust_test.sh TKVCERT_BINARY
# The refresh, its hooks and dpkg write the machine's own trust store, which
# holds certificates that are not ours: the script re-runs itself in a
# private mount namespace, over copies of every path they write, with the
# rest of the file system read-only, and checks that before the tool's first
# run. Exits 77 (skipped) when not root or when no namespace can be made.
set -euo pipefail
tool=$(realpath "$1")
self=$(realpath "$0")
sys_path=/usr/sbin:/usr/bin:/sbin:/bin
# shellcheck source=support/skips.sh
. "$(dirname "$self")/support/skips.sh"

if [ -z "${TKV_CLIENT_HOST_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root"
  unshare -m true 2>/dev/null || skip "cannot make a mount namespace"
  # And afterwards the machine's own store is as it was.
  host=(/etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates /var/lib/ca-certificates-java)
  snapshot() { find "${host[@]}" -printf '%p %y %m %s %T@ %l\n' 2>/dev/null | sort; }
  before=$(snapshot)
  status=0
  TKV_CLIENT_HOST_NS=$(readlink /proc/self/ns/mnt) unshare -m "$self" "$tool" || status=$?
  [ "$(snapshot)" = "$before" ] || { echo "FAIL: the machine's own trust store changed"; exit 1; }
  exit "$status"
fi

passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }
abort() { echo "FAIL: $*"; echo "$passed passed, $((failed + 1)) failed"; exit 1; }

# Nothing set up below may leak out: not propagated, and in our own namespace.
mount --make-rprivate /
[ "$(readlink /proc/self/ns/mnt)" != "$TKV_CLIENT_HOST_NS" ] || abort "still in the host's mount namespace"
# A /tmp of our own: the refresh's temporary files and ours (and those a
# killed refresh leaves), gone with the namespace. It would hide the tool and
# this script's fixture where they are kept under /tmp: both are taken first.
# shellcheck source=support/loopback_tls.sh
. "$(dirname "$self")/support/loopback_tls.sh"
exec 9<"$tool"
tool=/proc/self/fd/9
mount -t tmpfs -o mode=1777 tmpfs /tmp
work=$(mktemp -d)
copies=$work/copies

# Debian's layout, which the tool and its refresh write (and the distribution's
# set, where the test puts one CA of its own); the conf is in /etc.
core=(/etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates.conf /usr/share/ca-certificates)
# What the jks-keystore hook and the dpkg run it starts write.
hooked=(/etc/ca-certificates /var/lib/ca-certificates-java /var/lib/dpkg /var/log/dpkg.log)
java_off=
for p in "${core[@]}"; do [ -e "$p" ] || skip "no $p, not Debian's layout"; done
for p in "${hooked[@]}"; do [ -e "$p" ] || java_off="no $p"; done
for c in java keytool; do command -v "$c" >/dev/null || java_off="no $c"; done
[ -x /etc/ca-certificates/update.d/jks-keystore ] || java_off=${java_off:-"no jks-keystore hook (ca-certificates-java)"}
# The hook makes dpkg run every pending trigger, and other packages' triggers write elsewhere.
[ -n "$java_off" ] || ! grep -q '^Triggers-\(Pending\|Awaited\):' /var/lib/dpkg/status ||
  java_off="dpkg has triggers pending"
# Nor does it configure a package that a killed dpkg left half-configured.
[ -n "$java_off" ] || grep -A1 -x 'Package: ca-certificates-java' /var/lib/dpkg/status |
  grep -q -x 'Status: install ok installed' || java_off="ca-certificates-java is not configured"
# /etc itself is an overlay whose changes stay in our /tmp: the conf is
# replaced by a rename in /etc, which a file bound over it would refuse.
mkdir -p "$work/etc-changes" "$work/etc-work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/etc-changes,workdir=$work/etc-work" /etc
bound=("${core[@]/\/etc\/ca-certificates.conf}")
mounted=("${bound[@]}")
[ -e /etc/ca-certificates ] && mounted+=(/etc/ca-certificates)
[ -n "$java_off" ] || mounted=("${bound[@]}" "${hooked[@]}")
for p in "${mounted[@]}"; do
  [ -n "$p" ] || continue
  mkdir -p "$(dirname "$copies$p")"
  cp -a "$p" "$copies$p"
  mount --bind "$copies$p" "$p"
done
# Only the hook under test runs: any other would write outside the copies.
if [ -d /etc/ca-certificates/update.d ]; then
  find /etc/ca-certificates/update.d -mindepth 1 -maxdepth 1 ! -name jks-keystore -exec rm -rf {} +
  [ -z "$java_off" ] || rm -f /etc/ca-certificates/update.d/jks-keystore
fi
# Everything else read-only, in this namespace only (a bind remount leaves the
# file system's own flags alone), so that a write this script did not foresee
# fails here instead of landing on the machine.
findmnt -rn -o TARGET | while read -r t; do
  case $t in /proc|/proc/*|/sys|/sys/*|/dev|/dev/*|/tmp|/tmp/*|/etc) continue ;; esac
  for p in "${mounted[@]}"; do [ "$t" != "$p" ] || continue 2; done
  mount -o remount,bind,ro "$t" 2>/dev/null || [ "$(findmnt -n -o OPTIONS --mountpoint "$t" | cut -c1-2)" = ro ] ||
    echo "cannot make $t read-only"
done | grep . && abort "the rest of the file system is not read-only"
for p in "${mounted[@]}"; do
  [ -n "$p" ] || continue
  [ "$(stat -c %d:%i "$p")" = "$(stat -c %d:%i "$copies$p")" ] || abort "$p is not our copy"
  [ "$(findmnt -n -o PROPAGATION --mountpoint "$p")" = private ] || abort "$p is not a private mount"
done
[ "$(findmnt -n -o FSTYPE --mountpoint /etc)" = overlay ] || abort "/etc is not our overlay"
echo "ok: private copies mounted over ${mounted[*]}"

cd "$work"
server_pid= holder_pid= killed_sid=
trap '[ -z "$server_pid" ] || kill "$server_pid"; [ -z "$holder_pid" ] || kill "$holder_pid"
  [ -z "$killed_sid" ] || kill -KILL -- "-$killed_sid"' EXIT
cn="Client Trust Test CA $$"
make_ca ca "$cn"
make_leaf ca
fingerprint=$(openssl x509 -in ca.pem -noout -fingerprint -sha256 | cut -d= -f2)
start_tls_server
url=https://127.0.0.1:$port/

cat > Client.java <<'EOF'
public class Client {
  public static void main(String[] args) throws Exception {
    var c = (javax.net.ssl.HttpsURLConnection) java.net.URI.create(args[0]).toURL().openConnection();
    c.setConnectTimeout(10000);
    c.setReadTimeout(10000);
    c.getInputStream().close();
  }
}
EOF
# Each client with its own defaults, and what it says when no trusted CA issued the leaf.
clients=(curl openssl gnutls python)
if [ -z "$java_off" ]; then clients+=(java); else skip_row "java and the failing hook: $java_off"; fi
declare -A refusal=([curl]='SSL certificate problem' [openssl]='verify error:num=20'
  [gnutls]='issuer is unknown' [python]='CERTIFICATE_VERIFY_FAILED' [java]='PKIX path building failed')
connect() {
  local run=(timeout 30 env -i PATH="$sys_path")
  case $1 in
    curl) "${run[@]}" curl -sS --max-time 10 -o /dev/null "$url" ;;
    openssl) "${run[@]}" openssl s_client -connect "127.0.0.1:$port" -verify_ip 127.0.0.1 \
               -CApath /etc/ssl/certs -no-CAfile -no-CAstore -verify_return_error </dev/null ;;
    gnutls) "${run[@]}" gnutls-cli --port "$port" 127.0.0.1 </dev/null ;;
    python) "${run[@]}" /usr/bin/python3 -c 'import ssl, sys, urllib.request
urllib.request.urlopen(sys.argv[1], timeout=10, context=ssl.create_default_context())' "$url" ;;
    java) "${run[@]}" java -XX:-UsePerfData Client.java "$url" ;;
  esac
}
trusts() { connect "$1" >"$1.log" 2>&1; }
refuses() { ! connect "$1" >"$1.log" 2>&1 && grep -q "${refusal[$1]}" "$1.log"; }
every_client() {  # trusts|refuses, when
  for c in "${clients[@]}"; do
    if "$1" "$c"; then ok "$c $1 the CA $2"; else fail "$c $1 the CA $2"; tail -n 3 "$c.log" | sed 's/^/    /'; fi
  done
}
keystore() { keytool -list -keystore /etc/ssl/certs/java/cacerts -storepass changeit 2>&1 || true; }
# The tool as an admin runs it: a system PATH and nothing else, no TKVCERT_SYSROOT.
admin() {
  status=0
  env -i PATH="$sys_path" timeout 120 "$tool" "$@" >out 2>err || status=$?
  sed 's/^/    stderr: /' err
  [ "$status" = 0 ]
}
printed() { [ "$(cat out)" = "$1" ] || { sed 's/^/    stdout: /' out; false; }; }

ran "${clients[*]} before and after install and uninstall"
every_client refuses "before install"
check "install exits 0" admin /install ca.pem
check "install prints exactly 'Done importing [ca.pem]'" printed "Done importing [ca.pem]"
every_client trusts "after install"
alias=
if [ -z "$java_off" ]; then
  # Debian's hook names the entry after the link it made in /etc/ssl/certs.
  listing=$(keystore)
  alias=$(grep -B1 -F "$fingerprint" <<<"$listing" | sed -n '1s/,.*//p' || true)
  check "java keystore holds the CA as '$alias' after install" test -n "$alias"
fi
check "uninstall exits 0" admin /uninstall "$cn"
every_client refuses "after uninstall"
if [ -z "$java_off" ]; then
  listing=$(keystore)
  check "java keystore lists neither '${alias:-debian:?}' nor the CA's fingerprint after uninstall" \
    eval '! grep -i -F -e "${alias:-debian:?}" -e "$fingerprint" <<<"$listing" >/dev/null'

  ran "the failing hook"
  # The swallowed hook: dpkg is locked, so the jks-keystore hook fails; the
  # anchors and bundle did change, so the install succeeds, but says so.
  rm -f held
  timeout 60 /usr/bin/python3 -c 'import fcntl, sys, time
locks = [open(p, "a") for p in sys.argv[1:]]
for f in locks: fcntl.lockf(f, fcntl.LOCK_EX)
open("held", "w").close(); time.sleep(60)' /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock &
  holder_pid=$!
  for _ in $(seq 50); do [ -e held ] && break; sleep 0.1; done
  [ -e held ] || abort "could not take dpkg's locks"
  admin /install ca.pem || true
  kill "$holder_pid"; holder_pid=
  check "the jks-keystore hook failed on dpkg's lock, its change still pending" \
    grep -q -i -x -F "+/etc/ssl/certs/${alias#debian:}" /var/lib/ca-certificates-java/pending
  check "install with dpkg locked exits 0 (got $status)" test "$status" = 0
  check "install with dpkg locked prints exactly 'Done importing [ca.pem]'" printed "Done importing [ca.pem]"
  check "install with dpkg locked names the failed jks-keystore hook and its status 2 in a tkvcert: line" \
    eval 'grep "^tkvcert:.*jks-keystore" err | grep -w 2 >/dev/null'
fi
# The kill table: a run killed at each point leaves its change recorded, and
# the next run, whichever command it is, finishes it before its own, so that
# the anchors, the bundle, the hashed directory and Java agree afterwards.
kill_table() {
  [ -d /etc/ca-certificates/update.d ] || { skip_row "the kill table: no hooks directory"; return; }
  ran "the kill table"
  anchor=/usr/local/share/ca-certificates/$(openssl x509 -in ca.pem -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :).crt
  make_ca other "Client Trust Test Other CA $$"
  mkfifo fifo
  cp /usr/bin/openssl openssl.real
  # Hooks before and after jks-keystore, and openssl inside the refresh: each
  # blocks where `armed` says (hook:the first byte it was told, or
  # openssl:its subcommand) on a FIFO no one writes, in the killed run's
  # process group, until killed or for 60 s at most.
  cat > block <<EOF
#!/bin/sh
if [ "\${0##*/}" = openssl ]; then at=openssl:\$1; else cat >"$work/heard"; at=\${0##*/}:\$(head -c1 "$work/heard"); fi
case \$at in \$(cat "$work/armed" 2>/dev/null || echo '#')) touch "$work/reached"; timeout --foreground 60 cat "$work/fifo" >/dev/null ;; esac
[ "\${0##*/}" != openssl ] || exec "$work/openssl.real" "\$@"
EOF
  chmod 755 block
  cp block /etc/ca-certificates/update.d/00-block
  cp block /etc/ca-certificates/update.d/zz-block
  mount --bind block /usr/bin/openssl
  declare -A command=([install]="/install ca.pem" [remove]="/uninstall $cn" [other]="/install other.pem")
  declare -A says=([import]="Done importing [ca.pem]" [none]="Done removing [$cn]"
    [other]="Done importing [other.pem]"
    [remove]="Removing certificate : $cn "$'\n'"The certificate has been removed."$'\n'"Done removing [$cn]")
  # Each row: the state a clean run leaves first, the command killed, where
  # (00-block:- only in the tool's own announcement of a removal, as the
  # refresh tells of none), the next command, what it prints, and whether
  # the CA is trusted afterwards.
  local start killed at next said trusted row not verdict
  while read -r start killed at next said trusted; do
    row="$killed killed at $at, then $next"
    rm -f reached heard armed
    check "$row: a clean $start first" admin "${command[$start]%% *}" "${command[$start]#* }"
    echo "$at" > armed
    setsid env -i PATH="$sys_path" "$tool" "${command[$killed]%% *}" "${command[$killed]#* }" >/dev/null 2>&1 &
    killed_sid=$!
    for _ in $(seq 600); do
      [ -e reached ] && break
      case $(ps -o stat= -p "$killed_sid") in Z*|'') break ;; esac
      sleep 0.1
    done
    check "$row: the run reached $at" test -e reached
    kill -KILL -- "-$killed_sid" 2>/dev/null || true
    { wait "$killed_sid"; } 2>/dev/null || true
    rm -f armed
    for _ in $(seq 50); do
      grep -qv '^Z' <<<"$(ps -s "$killed_sid" -o stat=)" || break
      pkill -KILL -s "$killed_sid" || true
      sleep 0.1
    done
    check "$row: nothing of the killed run is left" eval '! grep -qv "^Z" <<<"$(ps -s "$killed_sid" -o stat=)"'
    killed_sid=
    check "$row: $next exits 0" admin "${command[$next]%% *}" "${command[$next]#* }"
    check "$row: $next prints exactly '${says[$said]//$'\n'/\\n}'" printed "${says[$said]}"
    not= verdict=trusts
    [ "$trusted" = yes ] || not='! ' verdict=refuses
    check "$row: the anchors ${not:+do not }hold the CA" eval "${not}test -e $anchor"
    check "$row: the bundle $verdict the CA" \
      eval "${not}quiet openssl verify -CAfile /etc/ssl/certs/ca-certificates.crt leaf.pem"
    check "$row: the hashed directory $verdict the CA" \
      eval "${not}quiet openssl verify -CApath /etc/ssl/certs -no-CAfile -no-CAstore leaf.pem"
    [ -n "$java_off" ] || check "$row: java's keystore $verdict the CA" \
      eval "${not}"'grep -i -F -e "${alias:-debian:?}" -e "$fingerprint" <<<"$(keystore)" >/dev/null'
  done <<'EOF'
remove  install  00-block:*      install  import  yes
remove  install  00-block:*      remove   remove  no
install remove   00-block:*      remove   none    no
install remove   00-block:-      remove   none    no
install remove   zz-block:-      remove   none    no
install remove   00-block:*      other    other   no
remove  install  openssl:rehash  install  import  yes
EOF
}
kill_table
# The same CA as one of the distribution's own: a removal distrusts it the
# family's way, so that no client trusts it, Java's keystore included, and
# an install trusts it again.
distribution_table() {
  local conf_before removal=("Removing certificate : $cn " "The certificate has been removed." "Done removing [$cn]")
  admin /uninstall "$cn" || true
  mkdir -p /usr/share/ca-certificates/tkv-test
  cp ca.pem /usr/share/ca-certificates/tkv-test/dist.crt
  conf_before=$(cat /etc/ca-certificates.conf)
  echo "tkv-test/dist.crt" >> /etc/ca-certificates.conf
  make_ca trigger "Client Trust Test Trigger CA $$"
  check "a refresh takes the distribution's new CA in" admin /install trigger.pem
  every_client trusts "as one of the distribution's"
  local step
  for step in removed installed both; do
    if [ "$step" = installed ]; then
      check "install of the distrusted CA exits 0" admin /install ca.pem
      check "its conf line is as it was" test "$(cat /etc/ca-certificates.conf)" = "$conf_before"$'\n'"tkv-test/dist.crt"
      every_client trusts "installed again"
      check "no local copy pins it" test ! -e "/usr/local/share/ca-certificates/$(openssl x509 -in ca.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g').crt"
      continue
    fi
    check "uninstall of the distribution's CA ($step) exits 0" admin /uninstall "$cn"
    check "uninstall ($step) prints the removal" printed "$(printf '%s\n' "${removal[@]}")"
    check "its conf line is distrusted, every other line as it was ($step)" \
      test "$(cat /etc/ca-certificates.conf)" = "$conf_before"$'\n'"!tkv-test/dist.crt"
    every_client refuses "distrusted ($step)"
    [ -n "$java_off" ] || check "java's keystore drops the distrusted CA ($step)" \
      eval '! grep -i -F -e "$fingerprint" <<<"$(keystore)" >/dev/null'
  done
  check "a second removal exits 0" admin /uninstall "$cn"
  check "and says the CA is distrusted already" grep -q "is in the distribution's set .* and is distrusted already" err
}
distribution_table
ran "the distribution's CA distrusted"
ran_line
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
