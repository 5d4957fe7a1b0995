#!/usr/bin/env bash
# Real browsers trust what the tool installs: headless Chromium (--dump-dom)
# and Firefox (over Marionette), each with a fresh profile, against a
# loopback TLS server whose leaf a test CA signed.
#
# Usage: browsers_test.sh TOOL CASE      (CASE: one of the cases below, or "all")
#
# Each case runs as root in a private mount and network namespace (loopback
# only), with overlays over every system directory the tool and the browsers
# write (/etc, the anchors directory, Firefox's distribution directory): the
# tool runs on "/" there, as an admin runs it, and the machine's own files
# never change. Skipped (77) without root, namespaces, chromium, firefox-esr
# or p11-kit's trust module.
set -euo pipefail
tool=$(realpath "$1")
case_name=$2
here=$(dirname "$(realpath "$0")")
# shellcheck source=../support/skips.sh
. "$here/../support/skips.sh"

if [ "${3:-}" != --inside ]; then
  [ "$(id -u)" = 0 ] || skip "needs root"
  for program in chromium firefox-esr unshare ip python3 openssl update-ca-certificates; do
    command -v "$program" >/dev/null || skip "needs $program"
  done
  compgen -G '/usr/lib/*/pkcs11/p11-kit-trust.so' >/dev/null || skip "needs p11-kit-modules"
  unshare -m -n true 2>/dev/null || skip "cannot make a mount and network namespace"
  exec unshare -m -n "$0" "$tool" "$case_name" --inside
fi

# ---- inside the namespace ----------------------------------------------------

work=$(mktemp -d /tmp/tkvcert-browsers.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  umount -l /etc /usr/local/share/ca-certificates /usr/share/firefox-esr 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mount --make-rprivate /
ip link set lo up
# Overlays: what the tool, its refresh and the browsers write lands in
# $work/overlay, and the machine's files are the read-only layer below.
mkdir -p /usr/local/share/ca-certificates
n=0
for dir in /etc /usr/local/share/ca-certificates /usr/share/ca-certificates /usr/share/firefox-esr; do
  [ -d "$dir" ] || continue
  n=$((n + 1))
  mkdir -p "$work/overlay/$n/upper" "$work/overlay/$n/work"
  mount -t overlay overlay \
    -o "lowerdir=$dir,upperdir=$work/overlay/$n/upper,workdir=$work/overlay/$n/work" "$dir"
done
# The refresh's hooks write outside these overlays (Java's runs dpkg's
# triggers on /var/lib): none of them runs here.
find /etc/ca-certificates/update.d -mindepth 1 -delete 2>/dev/null || true
# The machine's own local anchors are put aside (in the overlay), so that
# what the tool writes for browsers is this test's CAs alone.
find /usr/local/share/ca-certificates -mindepth 1 -delete
update-ca-certificates --fresh >/dev/null 2>&1
export HOME=$work/home LC_ALL=C
mkdir -p "$HOME"
cd "$work"

quiet() { "$@" >/dev/null 2>&1; }
# A CA and a leaf for localhost and 127.0.0.1 signed by it.
make_ca() {  # name, file prefix
  quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$2-ca.key" -out "$2-ca.pem" -subj "/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
  quiet openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$2-leaf.key" -out "$2-leaf.csr" -subj "/CN=localhost"
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > leaf.ext
  quiet openssl x509 -req -in "$2-leaf.csr" -CA "$2-ca.pem" -CAkey "$2-ca.key" \
    -CAcreateserial -days 2 -extfile leaf.ext -out "$2-leaf.pem"
}
serve() {  # file prefix, port
  setsid openssl s_server -quiet -accept "127.0.0.1:$2" -cert "$1-leaf.pem" -key "$1-leaf.key" \
    -www >/dev/null 2>&1 &
  pids+=($!)
}
make_ca "Loopback Browser CA" one
make_ca "Loopback Admin CA" two
serve one 8443
serve two 8444
url=https://localhost:8443/
admin_url=https://localhost:8444/
sleep 0.5
der_base64() { openssl x509 -in "$1" -outform DER | base64 -w0; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# trusted, untrusted, or error: ...; each run with a profile of its own.
chromium_result() {  # url
  local profile out err status=0
  profile=$(mktemp -d "$work/profile.XXXXXX")
  out=$profile.out
  err=$profile.err
  timeout -k 5 60 chromium --headless --no-sandbox --user-data-dir="$profile" \
    --dump-dom "$1" >"$out" 2>"$err" || status=$?
  if grep -q "Ciphers supported" "$out"; then
    echo trusted
  elif [ ! -s "$out" ] && grep -q "net::ERR_CERT_AUTHORITY_INVALID" "$err"; then
    echo untrusted
  else
    echo "error: status $status, $(wc -c <"$out") bytes out, $(grep -o 'net::ERR_[A-Z_]*' "$err" | head -1)"
  fi
}
firefox_result() {  # url
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout -k 5 120 python3 "$here/marionette_load.py" firefox-esr "$profile" "$1" 90 ||
    echo "error: the Marionette client failed"
}
expect() {  # browser (chromium, firefox), url, expected, what
  local result
  result=$("${1}_result" "$2")
  if [ "$result" = "$3" ]; then ok "$4: $1 $result"; else fail "$4: $1 gave '$result', expected $3"; fi
}

# Runs the tool; its standard output must be exactly `expected_out`, its
# status 0. Its standard error is left in $tool_err.
tool_err=
run_tool() {  # expected stdout, arguments...
  local expected=$1 out status=0
  shift
  tool_err=$work/tool.err
  # The look for programs with roots of their own would say what it finds
  # on this machine: the browsers' lines are what is checked here.
  out=$(TKVCERT_CLIENTS=off "$tool" "$@" 2>"$tool_err") || status=$?
  if [ "$status" = 0 ] && [ "$out" = "$expected" ]; then
    ok "tkvcert $* (status 0, stdout as always)"
  else
    fail "tkvcert $*: status $status, stdout '$out', stderr '$(cat "$tool_err")'"
  fi
}
installed() { printf 'Done importing [%s]' "$1"; }
removed() { printf 'Removing certificate : %s \nThe certificate has been removed.\nDone removing [%s]' "$1" "$1"; }
stderr_is() {  # expected lines (a grep -E pattern for each, in order), or nothing for empty
  local expected=("$@") actual=()
  mapfile -t actual <"$tool_err"
  if [ ${#actual[@]} != ${#expected[@]} ]; then
    fail "stderr has ${#actual[@]} line(s), expected ${#expected[@]}: $(cat "$tool_err")"
    return
  fi
  local i
  for i in "${!expected[@]}"; do
    [[ ${actual[$i]} =~ ${expected[$i]} ]] || { fail "stderr line '${actual[$i]}' !~ '${expected[$i]}'"; return; }
  done
  ok "stderr: ${#expected[@]} line(s) as expected"
}
check() {  # what, command...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
owner_mode() { stat -c '%U %a' "$1"; }

chromium_file=/etc/chromium/policies/managed/tkvcert.json
firefox_file=/etc/firefox/policies/policies.json
module=$(compgen -G '/usr/lib/*/pkcs11/p11-kit-trust.so' | head -1)
# Whether a Firefox policies file loads p11-kit's trust module.
loads_module() {
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["policies"]["SecurityDevices"]; sys.exit(0 if sys.argv[2] in (d.get("Add") or d).values() else 1)' \
    "$1" "$module" 2>/dev/null
}
# The file less the tool's entry equals `before`, key order included.
only_our_entry_added() {  # before, after
  python3 - "$1" "$2" <<'EOF'
import json, sys
before = json.load(open(sys.argv[1]))
after = json.load(open(sys.argv[2]))
add = after["policies"]["SecurityDevices"]["Add"]
assert add.pop("p11-kit-trust (tkvcert)").endswith("/pkcs11/p11-kit-trust.so")
if not add:
    del after["policies"]["SecurityDevices"]["Add"]
if not after["policies"]["SecurityDevices"]:
    del after["policies"]["SecurityDevices"]
assert json.dumps(before) == json.dumps(after), (before, after)
EOF
}

# ---- cases -------------------------------------------------------------------

case_install_then_uninstall() {
  expect chromium "$url" untrusted "before install"
  expect firefox "$url" untrusted "before install"
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "the Chromium file is root's, 0644" [ "$(owner_mode "$chromium_file")" = "root 644" ]
  check "nothing else in Chromium's managed directory" \
    [ "$(ls -A /etc/chromium/policies/managed)" = tkvcert.json ]
  check "no temporary left in policies/" [ "$(ls -A /etc/chromium/policies)" = managed ]
  check "Firefox's /etc policies file made, loading $module" loads_module "$firefox_file"
  expect chromium "$url" trusted "after install"
  expect firefox "$url" trusted "after install"
  run_tool "$(removed "Loopback Browser CA")" /uninstall "Loopback Browser CA"
  stderr_is
  check "the Chromium file is gone with the last anchor" [ ! -e "$chromium_file" ]
  check "Firefox's entry stays (a machine setting)" loads_module "$firefox_file"
  expect chromium "$url" untrusted "after uninstall"
  expect firefox "$url" untrusted "after uninstall"
}

case_admin_policies_stay() {
  # An admin's own Chromium policy trusting another CA, and Firefox policies
  # with other keys: the admin's CA is trusted through them, before and after.
  mkdir -p /etc/chromium/policies/managed /etc/firefox/policies
  printf '{"CACertificates": ["%s"], "HomepageLocation": "https://intra.example/"}\n' \
    "$(der_base64 two-ca.pem)" >/etc/chromium/policies/managed/admin.json
  cp two-ca.pem /etc/firefox/policies/admin-ca.pem
  cat >"$firefox_file" <<EOF
{"policies": {"Certificates": {"Install": ["/etc/firefox/policies/admin-ca.pem"]},
              "DisableTelemetry": true, "Homepage": {"URL": "https://intra.example/"}},
 "comment": "the admin's own"}
EOF
  chmod 0640 "$firefox_file"
  chgrp daemon "$firefox_file"
  cp -p /etc/chromium/policies/managed/admin.json "$firefox_file" "$work/"
  expect chromium "$admin_url" trusted "the admin's CA before install"
  expect firefox "$admin_url" trusted "the admin's CA before install"
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "the admin's Chromium file is byte for byte the same" \
    cmp -s /etc/chromium/policies/managed/admin.json "$work/admin.json"
  check "the admin's Firefox file keeps every key, in order, plus one entry" \
    only_our_entry_added "$work/policies.json" "$firefox_file"
  check "the Firefox file keeps its owner, group and mode" \
    [ "$(stat -c '%U %G %a' "$firefox_file")" = "root daemon 640" ]
  expect chromium "$url" trusted "ours after install"
  expect chromium "$admin_url" trusted "the admin's CA after install"
  expect firefox "$url" trusted "ours after install"
  expect firefox "$admin_url" trusted "the admin's CA after install"

  # Another file setting the tool's key is named on stderr; neither is changed.
  printf '{"CACertificatesWithConstraints": []}\n' >/etc/chromium/policies/managed/zz-admin.json
  cp -p /etc/chromium/policies/managed/zz-admin.json "$work/"
  make_ca "Loopback Third CA" three
  run_tool "$(installed three-ca.pem)" /install three-ca.pem
  stderr_is "^tkvcert: Chromium: /etc/chromium/policies/managed/zz-admin.json also sets CACertificatesWithConstraints and comes after tkvcert.json, so Chromium takes that file's list and not the tool's anchors$"
  check "that file is left as it was" cmp -s /etc/chromium/policies/managed/zz-admin.json "$work/zz-admin.json"
  check "the tool's file lists both anchors" \
    [ "$(grep -c '"certificate"' "$chromium_file")" = 2 ]
}

case_distribution_policies() {
  # No /etc file, but the installation's own: merged there, and no /etc file
  # made (it would switch the installation's file off).
  local dist=/usr/lib/firefox-esr/distribution/policies.json
  printf '{"policies": {"Certificates": {"Install": ["%s"]}}}' "$work/two-ca.pem" >"$dist"
  cp "$dist" "$work/dist-before.json"
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "no /etc/firefox made" [ ! -e /etc/firefox ]
  check "the distribution file keeps its keys plus one entry" \
    only_our_entry_added "$work/dist-before.json" "$dist"
  expect firefox "$url" trusted "ours, through the distribution file"
  expect firefox "$admin_url" trusted "the admin's CA, through the distribution file"
}

case_unparseable_firefox_policies() {
  mkdir -p /etc/firefox/policies
  printf '{"policies": {"DisableTelemetry": true,}}\n' >"$firefox_file"
  cp "$firefox_file" "$work/bad.json"
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is "^tkvcert: Firefox: /etc/firefox/policies/policies.json is not valid JSON; left as it is, and Firefox does not follow the system store$"
  check "the unparseable file is byte for byte the same" cmp -s "$firefox_file" "$work/bad.json"
  expect chromium "$url" trusted "Chromium all the same"
  expect firefox "$url" untrusted "Firefox left as it is"
}

case_switched_off() {
  TKVCERT_BROWSERS=off run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "no Chromium policy directory made" [ ! -e /etc/chromium/policies ]
  check "no Firefox policies made" [ ! -e /etc/firefox ]
  expect chromium "$url" untrusted "switched off"
  expect firefox "$url" untrusted "switched off"
  # On, then off again: the same install (nothing to do in the store)
  # writes, then removes, the Chromium file.
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  check "switched on: the Chromium file" [ -f "$chromium_file" ]
  TKVCERT_BROWSERS=keep run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "kept: the Chromium file stays" [ -f "$chromium_file" ]
  TKVCERT_BROWSERS=off run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "switched off: the Chromium file removed" [ ! -e "$chromium_file" ]
  check "switched off: Firefox's entry left" loads_module "$firefox_file"
  expect chromium "$url" untrusted "switched off after being on"
}

make_image_root() {  # path
  local root=$1
  mkdir -p "$root"/{usr/local/share/ca-certificates,usr/share/ca-certificates,etc/ssl/certs} \
           "$root/etc/chromium" "$root/usr/lib/firefox-esr" "$root/${module%/*}"
  : >"$root/etc/ca-certificates.conf"
  : >"$root/usr/lib/firefox-esr/firefox-esr"
  : >"$root$module"
  chmod -R go-w "$root"
}

case_image_root() {
  local root=$work/image
  make_image_root "$root"
  # An admin's anchor in DER: Debian's refresh takes only PEM, so clients of
  # the bundle do not trust it, and Chromium must not either.
  openssl x509 -in two-ca.pem -outform DER -out "$root/usr/local/share/ca-certificates/admin-der.crt"
  local host_before
  host_before=$(find /etc /usr/local/share/ca-certificates /usr/share/firefox-esr -newer "$work/leaf.ext" 2>/dev/null | sort)
  TKVCERT_SYSROOT=$root run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is
  check "the Chromium file inside the root" [ -f "$root$chromium_file" ]
  check "it lists only the anchor that the image's bundle trusts" \
    [ "$(grep -o '"certificate": "[^"]*"' "$root$chromium_file")" = "\"certificate\": \"$(der_base64 one-ca.pem)\"" ]
  check "Firefox's policies inside the root, with the module as the root sees it" \
    loads_module "$root$firefox_file"
  check "none on the host" test ! -e /etc/chromium/policies -a ! -e /etc/firefox
  check "nothing of the host changed" \
    [ "$(find /etc /usr/local/share/ca-certificates /usr/share/firefox-esr -newer "$work/leaf.ext" 2>/dev/null | sort)" = "$host_before" ]
  # The image's files, seen where its browsers would read them, make these
  # browsers trust the CA: the image boots trusting it.
  mkdir -p /etc/chromium/policies /etc/firefox
  mount --bind "$root/etc/chromium/policies" /etc/chromium/policies
  mount --bind "$root/etc/firefox" /etc/firefox
  mount --bind "$root/etc/ssl/certs" /etc/ssl/certs
  expect chromium "$url" trusted "through the image's files"
  expect chromium "$admin_url" untrusted "a DER anchor the image's bundle does not hold, through the image's files"
  expect firefox "$url" trusted "through the image's files"
  umount /etc/chromium/policies /etc/firefox /etc/ssl/certs

  # A policy directory another user could change is not written into.
  local other=$work/image2
  make_image_root "$other"
  mkdir -p "$other/etc/chromium/policies"
  chmod 0775 "$other/etc/chromium/policies"
  TKVCERT_SYSROOT=$other run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is "^tkvcert: Chromium: $other/etc/chromium/policies \\(or a directory above it in the image\\) is another user's or writable by others; no policy written$"
  check "no Chromium file there" [ ! -e "$other$chromium_file" ]
  check "Firefox's policies written all the same" loads_module "$other$firefox_file"

  # Firefox without p11-kit's trust module: said, and Chromium's file written.
  local bare=$work/image3
  make_image_root "$bare"
  rm "$bare$module"
  TKVCERT_SYSROOT=$bare run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is "^tkvcert: Firefox: p11-kit's trust module \\(p11-kit-trust.so, Debian's p11-kit-modules\\) is not installed; Firefox does not follow the system store$"
  check "no Firefox policies made there" [ ! -e "$bare/etc/firefox" ]
  check "the Chromium file there all the same" [ -f "$bare$chromium_file" ]

  # An image's /etc/firefox that others can write is not written into.
  local open_firefox=$work/image4
  make_image_root "$open_firefox"
  mkdir -p "$open_firefox/etc/firefox"
  chmod 0777 "$open_firefox/etc/firefox"
  TKVCERT_SYSROOT=$open_firefox run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is "^tkvcert: Firefox: $open_firefox/etc/firefox \\(or a directory above it in the image\\) is another user's or writable by others; Firefox does not follow the system store$"
  check "nothing made in it" [ -z "$(ls -A "$open_firefox/etc/firefox")" ]
}

# Policy files no admin would write, in image roots (no browser is run): each
# is refused with one line, left as it was, and never stops the store.
case_hostile_policy_files() {
  local deep=$work/image-deep
  make_image_root "$deep"
  mkdir -p "$deep/etc/firefox/policies"
  python3 -c 'import sys; sys.stdout.write("{\"policies\": {\"Deep\": " + "[" * 100000 + "]" * 100000 + "}}")' \
    >"$deep$firefox_file"
  cp "$deep$firefox_file" "$work/deep.json"
  TKVCERT_SYSROOT=$deep run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is "^tkvcert: Firefox: $deep/etc/firefox/policies/policies.json is nested more than 128 levels deep; left as it is, and Firefox does not follow the system store$"
  check "the deep file is byte for byte the same" cmp -s "$deep$firefox_file" "$work/deep.json"
  TKVCERT_SYSROOT=$deep run_tool "$(removed "Loopback Browser CA")" /uninstall "Loopback Browser CA"
  stderr_is

  # FIFOs where policy files are read (a device node is refused the same
  # way): looked at, never opened. A writer blocks in opening one until
  # someone opens it for reading, however briefly.
  local fifos=$work/image-fifos
  make_image_root "$fifos"
  mkdir -p "$fifos/etc/firefox/policies" "$fifos/etc/chromium/policies/managed"
  local fifo n=0
  for fifo in "$fifos$firefox_file" "$fifos/etc/chromium/policies/managed/admin.json"; do
    n=$((n + 1))
    mkfifo "$fifo"
    timeout 30 sh -c 'exec 3>"$1" && : >"$2"' sh "$fifo" "$work/fifo-opened.$n" &
    pids+=($!)
  done
  TKVCERT_SYSROOT=$fifos run_tool "$(installed one-ca.pem)" /install one-ca.pem
  stderr_is "^tkvcert: Firefox: $fifos/etc/firefox/policies/policies.json: Invalid argument; left as it is, and Firefox does not follow the system store$"
  sleep 0.5
  check "Firefox's policies.json, a FIFO, never opened" [ ! -e "$work/fifo-opened.1" ]
  check "a FIFO in Chromium's managed directory never opened" [ ! -e "$work/fifo-opened.2" ]
  check "the Chromium file written all the same" [ -f "$fifos$chromium_file" ]
}

case_running_chromium_follows() {
  local log=$work/poll.log
  python3 "$here/poll_server.py" 8000 "$url" "$log" &
  pids+=($!)
  sleep 0.5
  setsid chromium --headless --no-sandbox --user-data-dir="$work/profile.running" \
    http://127.0.0.1:8000/ >/dev/null 2>&1 &
  pids+=($!)
  local chromium_session=$!
  local waited=0
  until grep -q fail "$log" 2>/dev/null; do
    sleep 0.5
    waited=$((waited + 1))
    [ $waited -lt 60 ] || { fail "the running Chromium never polled"; return; }
  done
  check "the running Chromium distrusts before install" test -z "$(grep ok "$log")"
  # A Chromium that has just started watches its policy directory only a
  # few seconds later (measured: a change in its first 3 to 5 seconds is not
  # seen until its 15-minute reload): wait until one of its processes has
  # an inotify watch on /etc/chromium, as a Chromium that has been running
  # for a while has.
  local inode
  inode=$(printf '%x' "$(stat -c %i /etc/chromium)")
  waited=0
  watches() {  # every inotify watch of the running Chromium's processes
    local pid
    for pid in $(ps -o pid= -s "$chromium_session"); do
      grep -hs '^inotify wd:' /proc/"$pid"/fdinfo/* || true
    done
  }
  until [[ $(watches) == *" ino:$inode "* ]]; do
    sleep 0.5
    waited=$((waited + 1))
    [ $waited -lt 60 ] || { fail "the running Chromium never watched /etc/chromium"; return; }
  done
  local begun ended seconds=
  begun=$(python3 -c 'import time; print(time.monotonic())')
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  ended=$(python3 -c 'import time; print(time.monotonic())')
  for _ in $(seq 1 60); do
    seconds=$(awk -v t="$ended" '$2 == "ok" && $1 > t { printf "%.1f", $1 - t; exit }' "$log")
    [ -n "$seconds" ] && break
    sleep 0.5
  done
  local install_took
  install_took=$(awk -v a="$begun" -v b="$ended" 'BEGIN { printf "%.1f", b - a }')
  if [ -n "$seconds" ] && awk -v s="$seconds" 'BEGIN { exit !(s <= 10) }'; then
    ok "the running Chromium trusts ${seconds} s after the install (which took ${install_took} s)"
  else
    fail "the running Chromium did not trust within 10 s of the install (${seconds:-never, in 30 s}); install ended at $ended; reports: $(tail -3 "$log" | tr "\n" " ")"
  fi
}

# A CA Chromium trusts on its own (through the user's NSS database here, as
# it trusts its built-in roots) that the distribution's set holds too: its
# removal is distrusted in the tool's file, whatever TKVCERT_BROWSERS says;
# with off, which removes the file, stderr says Chromium still trusts it.
case_distribution_ca_distrusted() {
  mkdir -p "$HOME/.pki/nssdb"
  quiet certutil -N -d "sql:$HOME/.pki/nssdb" --empty-password
  quiet certutil -A -d "sql:$HOME/.pki/nssdb" -n own-root -t C,, -i one-ca.pem
  mkdir -p /usr/share/ca-certificates/tkv-test
  cp one-ca.pem /usr/share/ca-certificates/tkv-test/browser.crt
  echo tkv-test/browser.crt >>/etc/ca-certificates.conf
  quiet update-ca-certificates
  expect chromium "$url" trusted "one of its own roots"
  local firefox='^tkvcert: Firefox still trusts "Loopback Browser CA" if it is among its own roots'
  local setting
  for setting in keep off; do
    TKVCERT_BROWSERS=$setting run_tool "$(removed "Loopback Browser CA")" /uninstall "Loopback Browser CA"
    if [ "$setting" = off ]; then
      stderr_is '^tkvcert: Chromium still trusts "Loopback Browser CA"' "$firefox"
      check "off: no Chromium file" [ ! -e "$chromium_file" ]
      expect chromium "$url" trusted "off: still one of its own roots"
    else
      stderr_is "$firefox"
      check "$setting: the Chromium file distrusts it" \
        grep -qF "\"CADistrustedCertificates\":[\"$(der_base64 one-ca.pem)\"]" <(tr -d ' \n' <"$chromium_file")
      expect chromium "$url" untrusted "$setting: distrusted in the tool's file"
      run_tool "$(installed one-ca.pem)" /install one-ca.pem
      check "installed again: nothing distrusted" [ -z "$(grep CADistrusted "$chromium_file")" ]
      expect chromium "$url" trusted "installed again"
    fi
  done
  # An admin's file after the tool's that sets the distrust key outweighs
  # the tool's: said, reported, and Chromium indeed still trusts the CA.
  local admin=/etc/chromium/policies/managed/zz-admin.json
  printf '{"CADistrustedCertificates": []}\n' >"$admin"
  run_tool "$(installed one-ca.pem)" /install one-ca.pem
  TKVCERT_REPORT=3 run_tool "$(removed "Loopback Browser CA")" /uninstall "Loopback Browser CA" 3>"$work/report.json"
  stderr_is "$firefox" "^tkvcert: Chromium: $admin also sets CADistrustedCertificates and comes after tkvcert.json, so Chromium takes that file's list and not the tool's distrust$" \
    "^tkvcert: Chromium still trusts \"Loopback Browser CA\" if it is among its own roots: $admin sets CADistrustedCertificates after tkvcert.json and does not list it$"
  check "outweighed: the report names the admin's file" \
    grep -qF "\"browsers_still_trusting\":[{\"browser\":\"Chromium\",\"file\":\"$admin\"}]" "$work/report.json"
  expect chromium "$url" trusted "outweighed: still one of its own roots"
  rm "$admin"
}

cases=(install_then_uninstall admin_policies_stay distribution_policies distribution_ca_distrusted
       unparseable_firefox_policies switched_off image_root hostile_policy_files
       running_chromium_follows)
if [ "$case_name" = all ]; then
  echo "run each case in a namespace of its own: $0 TOOL CASE, CASE one of: ${cases[*]}"
  exit 2
fi
declare -F "case_$case_name" >/dev/null || { echo "no case $case_name"; exit 2; }
"case_$case_name"
ran "$case_name"
ran_line
echo "$case_name: $failures failure(s)"
[ "$failures" = 0 ]
