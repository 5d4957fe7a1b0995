#!/usr/bin/env bash
# The Ansible collection against a fleet of image roots on this machine: the
# role installs the .deb made from the build into a Debian root of its own
# (ansible-playbook in a podman container of it, connection local, no
# network), refuses a URL without a checksum or over http, then applies its
# list of CAs, with the build's tkvcert, to every root, each an inventory
# host (ansible_connection=local, its own sysroot, several forks). Eight roots with Debian's layout, served by
# the host's update-ca-certificates, and two that fail (no layout; writable
# by anyone). Scenarios: first install, repeat, drift, check mode against the
# real run, rotation by thumbprint (the successor from the controller's
# file), the list as ca_trust_info gives it, browsers off and on, the failing hosts
# leaving the others converged, removal by name, without and with the
# distribution's CA of that name, a converged removal saying nothing, and a
# src file holding a private key refused, the key in no output.
#   fleet_test.sh BUILD_DIR
# As root, in a private mount namespace over copies of the host's trust
# directories, which must be as they were afterwards; no package is
# installed on this machine. Exits 77 (skipped) without root,
# ansible-playbook, a mount namespace or cpack, or when a tkvcert package is
# already on this machine; the package rows are skipped without podman, runc
# or mmdebstrap (and a Debian mirror).
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
self=$(realpath "$0")
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# shellcheck source=../support/skips.sh
. "$here/../support/skips.sh"

if [ -z "${TKV_FLEET_HOST_NS:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "needs root"
  for tool in ansible-playbook cpack dpkg-deb apt-get openssl python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  unshare -m true 2>/dev/null || skip "cannot make a mount namespace"
  state=$(dpkg-query -W -f='${db:Status-Status}' tkvcert 2>/dev/null || true)
  if [ -n "$state" ] && [ "$state" != not-installed ]; then skip "a tkvcert package is on this machine ($state)"; fi
  # Fleets get plain builds; the sanitized one runs the end-to-end tables.
  if grep -qE 'lib(a|t|ub)san' <<<"$(ldd "$build/tkvcert")"; then skip "a sanitized build is not packaged"; fi
  host=(/etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates /etc/ca-certificates.conf
        /etc/chromium /etc/firefox)
  snapshot() { { find "${host[@]}" -printf '%p %y %m %s %T@ %l\n' 2>/dev/null || true; } | sort; }
  before=$(snapshot)
  status=0
  TKV_FLEET_HOST_NS=$(readlink /proc/self/ns/mnt) timeout 1200 unshare -m "$self" "$build" || status=$?
  if [ "$(snapshot)" != "$before" ]; then echo "FAIL: the machine's own trust store changed"; exit 1; fi
  echo "ok: the machine's own trust directories are as they were"
  if dpkg-query -W tkvcert >/dev/null 2>&1; then echo "FAIL: dpkg-query -W finds tkvcert on this machine"; exit 1; fi
  echo "ok: no tkvcert package on this machine"
  exit "$status"
fi

passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
abort() { echo "FAIL: $*"; echo "$passed passed, $((failed + 1)) failed"; exit 1; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }

mount --make-rprivate /
[ "$(readlink /proc/self/ns/mnt)" != "$TKV_FLEET_HOST_NS" ] || abort "still in the host's mount namespace"
work=$(mktemp -d /tmp/tkv-fleet.XXXXXX)
containers=()
cleanup() {
  for c in "${containers[@]}"; do podman rm -f --time 0 "$c" >/dev/null 2>&1 || true; done
  [ -n "${TKV_FLEET_KEEP:-}" ] || rm -rf "$work"  # TKV_FLEET_KEEP=1 keeps it, to look at
}
trap cleanup EXIT
chmod 755 "$work"
for p in /etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates /etc/ca-certificates.conf \
         /etc/chromium /etc/firefox; do
  [ -e "$p" ] || continue
  mkdir -p "$(dirname "$work/host-copy$p")"
  cp -a "$p" "$work/host-copy$p"
  mount --bind "$work/host-copy$p" "$p"
  [ "$(findmnt -n -o PROPAGATION --mountpoint "$p")" = private ] || abort "$p is not a private mount"
done
ok "private copies over the host's trust directories"

# --- The .deb, and the roots as inventory hosts -------------------------------
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; abort "cpack -G DEB failed"; }
debs=("$work"/deb/*.deb)
deb=${debs[0]}

good=(h01 h02 h03 h04 h05 h06 h07 h08)
chromium=(h01 h02 h03 h04)  # roots with a Chromium installed
broken=(h09 h10)
roots=$work/roots
mkdir -m 755 "$roots"
{
  echo "[fleet]"
  for h in "${good[@]}"; do
    r=$roots/$h
    mkdir -p "$r/usr/local/share/ca-certificates" "$r/usr/share/ca-certificates" "$r/etc/ssl/certs"
    : > "$r/etc/ca-certificates.conf"
    echo "$h sysroot=$r"
  done
  mkdir -m 755 "$roots/h09"  # no layout at all
  mkdir -p "$roots/h10/usr/local/share/ca-certificates" "$roots/h10/etc/ssl/certs"
  chmod 777 "$roots/h10"     # another user could change what it trusts
  echo "h09 sysroot=$roots/h09"
  echo "h10 sysroot=$roots/h10"
  echo "[fleet:vars]"
  echo "ansible_connection=local"
  echo "ansible_python_interpreter=/usr/bin/python3"
} > "$work/inventory"
for h in "${chromium[@]}"; do
  mkdir -p "$roots/$h/etc/chromium/policies/managed"
  echo '{"HomepageLocation": "https://example.org/"}' > "$roots/$h/etc/chromium/policies/managed/admin.json"
done
broken_before=$(find "$roots/h09" "$roots/h10" -printf '%p %y %m %s %T@\n' | sort)

# Two CAs of one name (the old and its successor), each with its own key.
make_ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/$1.key" \
    -subj "/O=TKV Fleet/CN=TKV Fleet CA" -days 3650 -out "$work/$1.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
make_ca old
make_ca new
make_ca dist  # the distribution's own, of the same name
for h in "${good[@]}"; do
  mkdir -p "$roots/$h/usr/share/ca-certificates/fleet"
  cp "$work/dist.pem" "$roots/$h/usr/share/ca-certificates/fleet/dist.crt"
  echo "fleet/dist.crt" > "$roots/$h/etc/ca-certificates.conf"
done
old_sha256=$(openssl x509 -in "$work/old.pem" -noout -fingerprint -sha256 | cut -d= -f2 | tr -d :)
body() { sed '/-----/d' "$1" | tr -d '\n'; }
# Whether FILE holds CA (old|new), as PEM or as base64 DER on one line.
holds() { [ -f "$1" ] && tr -d '\n' < "$1" | grep -qF "$(body "$work/$2.pem")"; }
bundle() { echo "$roots/$1/etc/ssl/certs/ca-certificates.crt"; }
chromium_file() { echo "$roots/$1/etc/chromium/policies/managed/tkvcert.json"; }
# Every good root's bundle holds (yes) or lacks (no) the CA.
bundles() {
  local h
  for h in "${good[@]}"; do
    if holds "$(bundle "$h")" "$2"; then [ "$1" = yes ] || return 1; else [ "$1" = no ] || return 1; fi
  done
}
roots_hash() { find "$roots" -printf '%p %y %m %s %T@\n' -type f -exec sha256sum {} + | sort | sha256sum; }

# --- Running ansible ----------------------------------------------------------
export ANSIBLE_COLLECTIONS_PATH=$src/contrib/ansible
export ANSIBLE_CALLBACK_PLUGINS=$here/callback_plugins ANSIBLE_CALLBACKS_ENABLED=fleet_results
export ANSIBLE_HOME=$work/ansible-home ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_REMOTE_TEMP=$work/ansible-tmp
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_FORKS=4
unset TKVCERT_SYSROOT TKVCERT_BROWSERS TKVCERT_REPORT TKVCERT_DRY_RUN TKVCERT_UNINSTALL_BY
run=0
# playbook STATUS VARS [ansible-playbook options]: runs it, expecting STATUS
# (2: some host failed); results in $work/run<N>.json, named by $results.
playbook() {
  local want=$1 vars=$2 status=0
  shift 2
  run=$((run + 1))
  results=$work/run$run.json
  echo "$vars" > "$work/vars$run.json"
  FLEET_RESULTS=$results timeout 300 ansible-playbook -i "$work/inventory" -e "@$work/vars$run.json" \
    -e "fleet_tool=$build/tkvcert" "$@" \
    > "$work/run$run.log" 2>&1 || status=$?
  if [ "$status" != "$want" ] || [ ! -s "$results" ]; then
    sed 's/^/    /' "$work/run$run.log" | tail -40
    fail "run $run ($*): status $status, expected $want"
    return 1
  fi
}
ca_task='CA certificates in the trust store'
words() {  # WORD [HOST...]: WORD for those good hosts (all without any), ok for the other good ones, failed for the broken
  local h out=()
  local named=" ${*:2} "
  [ $# -gt 1 ] || named=" ${good[*]} "
  for h in "${good[@]}"; do
    case $named in *" $h "*) out+=("$h:$1") ;; *) out+=("$h:ok") ;; esac
  done
  for h in "${broken[@]}"; do out+=("$h:failed"); done
  echo "${out[*]}"
}
# expect WHAT TASK WORDS: the run's results for TASK are WORDS.
expect() {
  local got
  got=$(python3 "$here/results.py" "$results" "$2")
  if [ "$got" = "$3" ]; then ok "$1"; else fail "$1"; echo "    got:      $got"; echo "    expected: $3"; fi
}
# A scenario run with --check first: the check must change no byte of any root
# and report, host by host, what the real run then does.
checked_then_real() {  # WHAT VARS EXPECTED_WORDS
  local before check_words
  before=$(roots_hash)
  playbook 2 "$2" "$here/cas.yml" --check || return 0
  check_words=$(python3 "$here/results.py" "$results" "$ca_task")
  check "$1, --check: no root changed" test "$(roots_hash)" = "$before"
  playbook 2 "$2" "$here/cas.yml" || return 0
  expect "$1: $3" "$ca_task" "$3"
  check "$1: --check said the same of every host" test "$check_words" = "$(python3 "$here/results.py" "$results" "$ca_task")"
  expect "$1: every good host went on past the CAs" "After the CAs" "$(words ok | sed 's/:failed/:absent/g')"
}

# --- The package, in a Debian root of its own ------------------------------------
# ansible-playbook inside a podman container of that root, connection local,
# without a network: the .deb goes into the root (its dependencies are
# there), never onto this machine.
# contained STATUS VARS: package.yml run so, expecting STATUS, as playbook().
contained() {
  local want=$1 status=0 name=tkv-fleet-$$-$((run + 1))
  run=$((run + 1))
  results=$work/run$run.json
  echo "$2" > "$work/vars$run.json"
  containers+=("$name")
  timeout 300 podman run --rm --name "$name" --runtime runc --network none \
    --ulimit "nofile=$(ulimit -Hn):$(ulimit -Hn)" --ulimit "nproc=4096:4096" \
    -v "$src/contrib/ansible:/collections:ro" -v "$here:/fleet:ro" -v "$work:$work" \
    -e ANSIBLE_COLLECTIONS_PATH=/collections -e ANSIBLE_CALLBACK_PLUGINS=/fleet/callback_plugins \
    -e ANSIBLE_CALLBACKS_ENABLED=fleet_results -e FLEET_RESULTS="$results" -e ANSIBLE_NOCOLOR=1 \
    -e ANSIBLE_HOME=/tmp/ansible-home -e ANSIBLE_LOCAL_TEMP=/tmp/ansible-tmp -e ANSIBLE_RETRY_FILES_ENABLED=0 \
    --rootfs "$work/deb-root" ansible-playbook -i deb-root, -c local -e ansible_python_interpreter=/usr/bin/python3 \
    -e fleet_package_hosts=all -e "@$work/vars$run.json" /fleet/package.yml > "$work/run$run.log" 2>&1 || status=$?
  if [ "$status" != "$want" ] || [ ! -s "$results" ]; then
    sed 's/^/    /' "$work/run$run.log" | tail -40
    fail "run $run (package.yml in the Debian root): status $status, expected $want"
    return 1
  fi
}
if ! command -v podman >/dev/null || ! command -v runc >/dev/null || ! command -v mmdebstrap >/dev/null; then
  skip_row "the package rows need podman, runc and mmdebstrap"
elif ! mmdebstrap --variant=apt --include=ansible-core,ca-certificates,libseccomp2,libssl3,libstdc++6 \
       --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
       bookworm "$work/deb-root" > "$work/deb-root.log" 2>&1; then
  tail "$work/deb-root.log"
  fail "mmdebstrap made no Debian root for the package rows"
else
  ran "the role's package rows in a Debian root"
  in_root() { chroot "$work/deb-root" dpkg-query -W -f='${db:Status-Status} ${Version}' tkvcert 2>/dev/null; }
  cp "$deb" "$work/tkvcert.deb"
  if contained 0 "{\"fleet_deb\": \"$work/tkvcert.deb\"}"; then
    expect "the role installs the .deb in the Debian root" "Install the .deb" "deb-root:changed"
    check "dpkg there knows tkvcert $(dpkg-deb -f "$deb" Version) as installed" \
      test "$(in_root)" = "installed $(dpkg-deb -f "$deb" Version)"
  fi
  if contained 0 "{\"fleet_deb\": \"$work/tkvcert.deb\"}"; then
    expect "the role again: that version in place, nothing to install" "Install the .deb" "deb-root:skipped"
  fi
  sha=$(sha256sum "$deb" | cut -d' ' -f1)
  for refused in "https://127.0.0.1:9/tkvcert.deb|" "http://127.0.0.1:9/tkvcert.deb|$sha"; do
    if contained 2 "{\"fleet_deb\": \"${refused%|*}\", \"tkvcert_deb_sha256\": \"${refused#*|}\"}"; then
      expect "a URL ${refused%|*} with the checksum \"${refused#*|}\" is refused before any download" \
        "Check the .deb's URL" "deb-root:failed-without-last-error"
      check "  and nothing was fetched" test "$(python3 "$here/results.py" "$results" "Download the .deb")" = deb-root:absent
    fi
  done
fi

# --- The list -------------------------------------------------------------------
ran "the list of CAs on ten image roots"
old_present=$(printf '{"fleet_browsers": false, "fleet_cas": [{"state": "present", "path": "%s"}]}' "$work/old.pem")
checked_then_real "first install" "$old_present" "$(words changed "${good[@]}")"
check "every good root's bundle holds the CA" bundles yes old
no_chromium_file() { local h; for h in "${chromium[@]}"; do [ ! -e "$(chromium_file "$h")" ] || return 1; done; }
check "browsers: false wrote no Chromium file" no_chromium_file
[ "$failed" = 0 ] || abort "the first install failed: the rest builds on it (TKV_FLEET_KEEP=1 keeps $work)"

checked_then_real "repeat" "$old_present" "$(words ok)"

: > "$(bundle h02)"
: > "$(bundle h05)"
checked_then_real "drift (h02 and h05's bundle emptied)" "$old_present" "$(words changed h02 h05)"
check "the drifted bundles hold the CA again" bundles yes old

rotation=$(printf '{"fleet_cas": [{"state": "present", "src": "%s"}, {"state": "absent", "thumbprint": "%s"}]}' \
  "$work/new.pem" "$old_sha256")
checked_then_real "rotation: the successor from the controller's file (src), the old CA removed by thumbprint" \
  "$rotation" "$(words changed "${good[@]}")"
check "every good root's bundle holds the successor" bundles yes new
check "and none the old CA, of the same name" bundles no old
chromium_has_new() {
  local h
  for h in "${chromium[@]}"; do
    holds "$(chromium_file "$h")" new && ! holds "$(chromium_file "$h")" old &&
      [ "$(cat "$roots/$h/etc/chromium/policies/managed/admin.json")" = '{"HomepageLocation": "https://example.org/"}' ] ||
      return 1
  done
}
check "browsers on: each Chromium root's file trusts the successor alone, the admin's file as it was" chromium_has_new
new_sha256=$(openssl x509 -in "$work/new.pem" -noout -fingerprint -sha256 | cut -d= -f2 | tr -d :)
if playbook 2 "{\"fleet_local\": \"$new_sha256\"}" "$here/info.yml"; then
  expect "ca_trust_info on every root" "List the store" "$(words ok)"
  expect "it lists the successor alone as local, and the distribution's CA as trusted" \
    "The local CA and the distribution's" "$(words ok | sed 's/:failed/:absent/g')"
fi

# Both of the name again, then removal by name takes every one.
playbook 2 "$old_present" "$here/cas.yml" && expect "the old CA back beside its successor" "$ca_task" "$(words changed "${good[@]}")"
by_name='{"fleet_cas": [{"state": "absent", "name": "TKV Fleet CA"}]}'
checked_then_real "removal by name" "$by_name" "$(words changed "${good[@]}")"
check "no good root's bundle holds the old CA" bundles no old
check "nor its successor" bundles no new
check "a warning on every good host: the name was shared" \
  test "$(python3 "$here/results.py" "$results" "$ca_task" warned)" = "${good[*]}"
checked_then_real "removal by name again" "$by_name" "$(words ok)"
old_absent=$(printf '{"fleet_cas": [{"state": "absent", "thumbprint": "%s"}]}' "$old_sha256")
playbook 2 "$old_absent" "$here/cas.yml" && expect "removal by thumbprint of a CA already absent" "$ca_task" "$(words ok)"
check "says nothing: no warning on any good host" test -z "$(python3 "$here/results.py" "$results" "$ca_task" warned)"
check "the distribution's CA of that name stays trusted without distribution: true" bundles yes dist
by_name_everywhere='{"fleet_cas": [{"state": "absent", "name": "TKV Fleet CA", "distribution": true}]}'
checked_then_real "removal by name, the distribution's too" "$by_name_everywhere" "$(words changed "${good[@]}")"
check "no good root's bundle holds the distribution's CA" bundles no dist
distrusted_in_conf() { local h; for h in "${good[@]}"; do [ "$(cat "$roots/$h/etc/ca-certificates.conf")" = '!fleet/dist.crt' ] || return 1; done; }
check "each conf distrusts it with a ! line" distrusted_in_conf
checked_then_real "removal by name, the distribution's too, again" "$by_name_everywhere" "$(words ok)"
check "the distribution's CA already distrusted: no warning on any good host" \
  test -z "$(python3 "$here/results.py" "$results" "$ca_task" warned)"
# Installed again, the distribution's CA is the distribution's again: its
# line trusts it, no local copy pins it, and a repeat changes nothing.
dist_present=$(printf '{"fleet_browsers": false, "fleet_cas": [{"state": "present", "path": "%s"}]}' "$work/dist.pem")
checked_then_real "the distribution's CA installed again" "$dist_present" "$(words changed "${good[@]}")"
trusted_in_conf_alone() {
  local h
  for h in "${good[@]}"; do
    [ "$(cat "$roots/$h/etc/ca-certificates.conf")" = 'fleet/dist.crt' ] || return 1
    for f in "$roots/$h"/usr/local/share/ca-certificates/*; do ! holds "$f" dist || return 1; done
  done
}
check "each conf trusts it again, and no local copy pins it" trusted_in_conf_alone
check "every good root's bundle holds it" bundles yes dist
checked_then_real "the distribution's CA installed once more" "$dist_present" "$(words ok)"

# A src file holding a private key: refused on every host before the module
# runs, the key in no output, even at -vvv.
cat "$work/new.pem" "$work/new.key" > "$work/with-key.pem"
with_key=$(printf '{"fleet_cas": [{"state": "present", "src": "%s"}]}' "$work/with-key.pem")
if playbook 2 "$with_key" "$here/cas.yml" -vvv; then
  expect "src with a private key is refused on every host" "$ca_task" \
    "$(words failed | sed 's/:[a-z]*/:failed-without-last-error/g')"
  key_line=$(sed -n 2p "$work/new.key")
  check "the key is in no output" eval '! grep -qF "$key_line" "$work/run$run.log" "$results"'
fi

check "the failing roots are as they were" \
  test "$(find "$roots/h09" "$roots/h10" -printf '%p %y %m %s %T@\n' | sort)" = "$broken_before"
ran_line
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
