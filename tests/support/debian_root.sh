# Sourced by the container tests. make_debian_root DIR: a Debian root made of
# this machine's files of the packages update-ca-certificates runs, with its
# conf and bundle copied: what a node agent's /host holds, never this
# machine's "/".
make_debian_root() {
  local base=$1 dir
  mkdir -p "$base/usr"
  for dir in bin sbin lib lib64; do
    if [ -L "/$dir" ]; then mkdir -p "$base/usr/$dir"; ln -sfn "$(readlink "/$dir")" "$base/$dir"; fi
  done
  for p in libc6 dash coreutils sed findutils debianutils openssl libssl3 ca-certificates libselinux1 \
           libpcre2-8-0 libacl1 libattr1 libgmp10 libcrypt1; do
    dpkg -L "$p" 2>/dev/null || true
  done | sort -u | while read -r f; do
    [ -e "$f" ] || continue
    { [ -d "$f" ] && [ ! -L "$f" ]; } && continue
    { [ -L "$f" ] && [ "$(dirname "$f")" = / ]; } && continue
    mkdir -p "$base$(dirname "$f")"
    cp -a "$f" "$base$f"
  done
  ln -sf dash "$base/usr/bin/sh"
  mkdir -p "$base"/{etc/ssl,usr/local/share/ca-certificates,etc/ca-certificates/update.d,tmp,proc,dev,run,sys}
  chmod 1777 "$base/tmp"
  cp -a /etc/ca-certificates.conf "$base/etc/"
  cp -a /etc/ssl/certs "$base/etc/ssl/"
}
