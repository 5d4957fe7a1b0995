#!/usr/bin/env bash
# Builds tkvcert and shows it at work on a sandbox trust store: install the
# shipped example CA, look at the refreshed bundle, remove it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--built" ]; then
  scripts/install-deps.sh --linux-only
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target tkvcert >/dev/null
  # Another root's refresh runs in a sandbox that only root can make, and
  # root changes only a root that no other user could have arranged.
  if [ "$(id -u)" -ne 0 ]; then
    echo "Running the rest as root (sudo): another root is refreshed in a sandbox only root can make."
    exec sudo "$0" --built
  fi
fi

# A root with the Debian layout, root's own: the tool treats it as "/".
root=$(mktemp -d /tmp/tkvcert-demo.XXXXXX)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"
mkdir -p "$root/usr/local/share/ca-certificates" "$root/usr/share/ca-certificates" \
         "$root/etc/ssl/certs"
: > "$root/etc/ca-certificates.conf"
bundle=$root/etc/ssl/certs/ca-certificates.crt

# Shows a command as it would be typed, so that a pasted line does what the
# demo did: a word that needs quoting is quoted, any other stays bare.
show() {
  local word line=\$
  for word; do
    [[ $word =~ ^[A-Za-z0-9_./:=@%+,-]+$ ]] || word=${word@Q}
    line+=" $word"
  done
  echo "$line"
}
run() { show "$@"; "$@" || echo "(exit status $?)"; echo; }

show export TKVCERT_SYSROOT="$root"
export TKVCERT_SYSROOT=$root
echo

run build/tkvcert /install examples/proxy-ca.pem
echo "Anchors in $root/usr/local/share/ca-certificates:"
ls -l "$root/usr/local/share/ca-certificates"
echo
echo "Refreshed bundle $bundle holds:"
openssl crl2pkcs7 -nocrl -certfile "$bundle" | openssl pkcs7 -print_certs -noout
run openssl verify -CAfile "$bundle" examples/proxy-ca.pem

run build/tkvcert /uninstall "TKV Example Proxy CA"
count=$(grep -c 'BEGIN CERTIFICATE' "$bundle" 2>/dev/null || true)
echo "Bundle after removal: ${count:-0} certificate(s)"
