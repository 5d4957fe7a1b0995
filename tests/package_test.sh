#!/usr/bin/env bash
# The tool as an administrator receives it.
#   package_test.sh BUILD_DIR MANPAGE [WINDOWS_BUILD_DIR]
# MANPAGE is the roff page the build made (empty when it made none). Checks:
# the Debian package made from BUILD_DIR (files, owners and modes, Depends,
# a stripped and hardened binary, lintian); the manual page (mandoc's lint, man's
# rendering, and its LastError table against the codes the platform layer
# sets and the codes README.md names); cmake --install --strip
# into a DESTDIR for two prefixes; the Windows zip when a Windows build is
# given; and, run as root, the package installed for real: tkvcert from PATH
# changes a sandbox root, and removing the package leaves nothing behind.
# Nothing here touches this machine's trust store. Exits 77 (skipped) when a
# tool it needs is missing or the build made no manual page.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
self=$(realpath "$0")
# shellcheck source=support/skips.sh
. "$source_dir/tests/support/skips.sh"

ok() { echo "ok: $*"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
exists() { while read -r path; do if [ -e "$path" ]; then echo "$path"; fi; done; }

# Run inside a private mount namespace by the part that installs for real:
# the host's trust directories are replaced by copies, so that a tool which
# wrongly wrote to the host's store writes to the copies, and the run fails
# because they changed.
# Copies of the host's trust directories (host_dirs), bound over them, and
# what they hold, to compare after.
shield_host_dirs() {
  local d
  for d in "${host_dirs[@]}"; do
    [ -e "$d" ] || continue
    mkdir -p "$(dirname "$work/host-copy$d")"
    cp -a "$d" "$work/host-copy$d"
    mount --bind "$work/host-copy$d" "$d"
  done
}
snapshot() { { find "${host_dirs[@]}" -printf '%p %y %m %s %T@ %l\n' 2>/dev/null || true; } | sort; }

if [ "${1:-}" = --exercise-installed ]; then
  work=$2
  shielded=$3
  host_dirs=(/etc/ssl/certs /usr/local/share/ca-certificates /usr/share/ca-certificates
             /etc/ca-certificates.conf)
  if [ "$shielded" = yes ]; then shield_host_dirs; fi
  snapshot > "$work/host-before"

  export PATH=/usr/sbin:/usr/bin:/sbin:/bin
  if [ "$(command -v tkvcert)" = /usr/sbin/tkvcert ]; then
    ok "tkvcert is on PATH as /usr/sbin/tkvcert"
  else
    fail "command -v tkvcert gives '$(command -v tkvcert || true)', not /usr/sbin/tkvcert"
  fi

  # A sandbox root with Debian's layout, as scripts/demo.sh makes one.
  root=$work/root
  mkdir -p "$root/usr/local/share/ca-certificates" "$root/usr/share/ca-certificates" \
           "$root/etc/ssl/certs"
  : > "$root/etc/ca-certificates.conf"
  export TKVCERT_SYSROOT=$root
  anchors=$root/usr/local/share/ca-certificates
  bundle=$root/etc/ssl/certs/ca-certificates.crt
  cd "$source_dir"
  trusted() { [ -f "$bundle" ] && openssl verify -CAfile "$bundle" examples/proxy-ca.pem >/dev/null 2>&1; }

  status=0
  out=$(tkvcert /install examples/proxy-ca.pem 2>&1) || status=$?
  anchor_files=$(find "$anchors" -name '*.crt' | wc -l)
  if [ "$status" = 0 ] && [[ $out == *"Done importing [examples/proxy-ca.pem]"* ]] &&
     [ "$anchor_files" = 1 ] && trusted; then
    ok "the installed tkvcert installs into the sandbox root, and its bundle trusts the CA"
  else
    fail "install: status $status, $anchor_files anchor file(s), output: $out"
  fi
  status=0
  out=$(tkvcert /uninstall "TKV Example Proxy CA" 2>&1) || status=$?
  anchor_files=$(find "$anchors" -name '*.crt' | wc -l)
  if [ "$status" = 0 ] && [[ $out == *"The certificate has been removed."* ]] &&
     [ "$anchor_files" = 0 ] && ! trusted; then
    ok "the installed tkvcert removes it again"
  else
    fail "uninstall: status $status, $anchor_files anchor file(s), output: $out"
  fi

  snapshot > "$work/host-after"
  if cmp -s "$work/host-before" "$work/host-after"; then
    ok "the host's trust directories are as they were"
  else
    fail "the host's trust directories changed:"
    diff "$work/host-before" "$work/host-after" | head -20
  fi
  exit "$failures"
fi

# Run by the RPM's part, as root, in a private mount namespace over copies of
# the host's trust directories: the RPM installed with rpm --root into a
# merged-/usr root of its own, and that tkvcert run on a Fedora-layout root
# whose update-ca-trust is p11-kit's own extract.
if [ "${1:-}" = --exercise-rpm ]; then
  work=$2
  rpm_file=$3
  [ "$(readlink /proc/self/ns/mnt)" != "${TKV_PACKAGE_HOST_NS:-}" ] || { fail "not in a mount namespace of its own"; exit 1; }
  mount --make-rprivate /
  host_dirs=(/etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates.conf /etc/pki)
  shield_host_dirs
  before=$(snapshot)
  umask 022
  packaged=$work/rpm-root
  mkdir -p "$packaged/usr/bin" "$packaged/usr/sbin" "$packaged/usr/lib" "$packaged/usr/lib64"
  for d in bin sbin lib lib64; do ln -s "usr/$d" "$packaged/$d"; done
  if rpm --root "$packaged" --initdb && rpm --root "$packaged" --nodeps -i "$rpm_file" > "$work/rpm-i.log" 2>&1 &&
     [ "$(rpm --root "$packaged" -q tkvcert)" = "$(basename "$rpm_file" .rpm)" ] && [ -x "$packaged/usr/sbin/tkvcert" ]; then
    ok "rpm --root --nodeps installs it into a merged-/usr root, and rpm knows it"
  else
    cat "$work/rpm-i.log"
    fail "rpm --root $packaged -i $(basename "$rpm_file")"
    exit 1
  fi
  # Fedora's layout; its refresh is p11-kit's trust extract, with the
  # library and module it loads, configured with Fedora's trust paths.
  fedora=$work/fedora-root
  mkdir -p -m 755 "$fedora"
  for d in bin sbin lib lib64; do mkdir -p "$fedora/usr/$d" && ln -s "usr/$d" "$fedora/$d"; done
  for binary in /usr/bin/trust /usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so "$(realpath /bin/sh)"; do
    for file in "$binary" $(ldd "$binary" | grep -o '/[^ ]*'); do
      mkdir -p "$fedora$(dirname "$file")"
      cp -L "$file" "$fedora$file"
    done
  done
  cp "$fedora$(realpath /bin/sh)" "$fedora/usr/bin/sh"
  mkdir -p "$fedora/etc/pki/ca-trust/source/anchors" "$fedora/usr/share/pki/ca-trust-source/anchors" \
           "$fedora/etc/pki/ca-trust/extracted/pem" "$fedora/usr/share/p11-kit/modules"
  printf 'module: p11-kit-trust.so\ntrust-policy: yes\nx-init-reserved: paths=/etc/pki/ca-trust/source:/usr/share/pki/ca-trust-source\n' \
    > "$fedora/usr/share/p11-kit/modules/p11-kit-trust.module"
  printf '#!/bin/sh\nexec /usr/bin/trust extract --format=pem-bundle --filter=ca-anchors --purpose server-auth --overwrite /etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem\n' \
    > "$fedora/usr/bin/update-ca-trust"
  chmod 755 "$fedora/usr/bin/update-ca-trust"
  bundle=$fedora/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem
  trusted() { [ -f "$bundle" ] && openssl verify -CAfile "$bundle" "$source_dir/examples/proxy-ca.pem" >/dev/null 2>&1; }
  run() { (cd "$source_dir" && env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin TKVCERT_SYSROOT="$fedora" TKVCERT_BROWSERS=off \
            "$packaged/usr/sbin/tkvcert" "$@" > "$work/rpm-run.log" 2>&1); }
  if run /install examples/proxy-ca.pem && trusted; then
    ok "the RPM's tkvcert installs into the Fedora root, and p11-kit's extract trusts the CA"
  else
    cat "$work/rpm-run.log"
    fail "the RPM's tkvcert /install on the Fedora root"
  fi
  if run /uninstall "TKV Example Proxy CA" && ! trusted && [ -z "$(find "$fedora/etc/pki/ca-trust/source/anchors" -maxdepth 1 -type f)" ]; then
    ok "and removes it again"
  else
    cat "$work/rpm-run.log"
    fail "the RPM's tkvcert /uninstall on the Fedora root"
  fi
  if [ "$(snapshot)" = "$before" ]; then ok "the host's trust directories are as they were"; else fail "the host's trust directories changed"; fi
  exit "$failures"
fi

build=$(realpath "$1")
page=${2:-}
windows_build=${3:-}
for tool in cpack dpkg-deb dpkg-shlibdeps lintian mandoc man gzip file hardening-check readelf; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -n "$page" ] && [ -f "$page" ] || skip "the build made no manual page (scdoc was not found)"
binary=$build/tkvcert
# Packages are made of plain builds; a sanitized one needs its runtime beside it.
# The output is read whole: with pipefail, grep -q leaving early could fail ldd
# with SIGPIPE and turn a match into a miss.
if grep -qE 'lib(a|t|ub)san' <<<"$(ldd "$binary")"; then skip "a sanitized build is not packaged"; fi

work=$(mktemp -d)
installed_here=no
packager=
cleanup() {
  if [ "$installed_here" = yes ]; then dpkg --purge tkvcert >/dev/null 2>&1 || true; fi
  if [ -n "$packager" ]; then userdel "$packager" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- The Debian package -------------------------------------------------------
ran "the .deb"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack -G DEB failed"
  exit 1
fi
debs=("$work"/deb/*.deb)
deb=${debs[0]}
arch=$(dpkg --print-architecture)
version=$(dpkg-deb -f "$deb" Version)
if [ ${#debs[@]} = 1 ] && [ "$(basename "$deb")" = "tkvcert_${version}_${arch}.deb" ]; then
  ok "one package, named $(basename "$deb")"
else
  fail "package file(s): ${debs[*]##*/} (expected tkvcert_${version}_${arch}.deb)"
fi

dpkg-deb -c "$deb" > "$work/contents"
files=$(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort | tr '\n' ' ')
expected="./usr/sbin/tkvcert ./usr/share/doc/tkvcert/changelog.gz ./usr/share/doc/tkvcert/copyright ./usr/share/man/man8/tkvcert.8.gz "
if [ "$files" = "$expected" ]; then
  ok "the package holds the binary in /usr/sbin, the page in man8, copyright and changelog"
else
  fail "the package holds: $files; expected: $expected"
fi
bad_entries=$(awk '$2 != "root/root" ||
                   ($1 ~ /^d/ && $1 != "drwxr-xr-x") ||
                   ($6 == "./usr/sbin/tkvcert" && $1 != "-rwxr-xr-x") ||
                   ($1 ~ /^-/ && $6 != "./usr/sbin/tkvcert" && $1 != "-rw-r--r--")' "$work/contents")
if [ -z "$bad_entries" ]; then
  ok "every entry is root/root, directories 0755, the binary 0755, the rest 0644"
else
  fail "entries with the wrong owner or mode:"
  echo "$bad_entries"
fi

dpkg-deb -x "$deb" "$work/unpacked"
if grep -q ', stripped' <<<"$(file "$work/unpacked/usr/sbin/tkvcert")"; then
  ok "the packaged binary is stripped: $(stat -c %s "$work/unpacked/usr/sbin/tkvcert") bytes, the build's $(stat -c %s "$build/tkvcert")"
else
  fail "the packaged binary is not stripped: $(file "$work/unpacked/usr/sbin/tkvcert")"
fi
# What Debian's hardening=+all gives (cmake/hardening.cmake). Control-flow
# protection marks a binary only when every object linked into it is marked;
# where the C library's start files are not (Debian 12), no binary is,
# however it was compiled, and that one check is left out.
hardening_options=()
crti=$("${CXX:-c++}" -print-file-name=crti.o)
grep -q 'x86 feature: IBT, SHSTK' <<<"$(readelf -n "$crti" 2>/dev/null)" || hardening_options+=(--nocfprotection)
if hardening-check "${hardening_options[@]}" "$work/unpacked/usr/sbin/tkvcert" > "$work/hardening" 2>&1; then
  ok "hardening-check ${hardening_options[*]}: PIE, stack protector, fortified functions, RELRO, BIND_NOW"
else
  fail "hardening-check ${hardening_options[*]} on the packaged binary:"
  sed 's/^/  /' "$work/hardening"
fi
if gzip -dc "$work/unpacked/usr/share/man/man8/tkvcert.8.gz" | cmp -s - "$page"; then
  ok "the packaged page is the page the build made"
else
  fail "the packaged page differs from $page"
fi

fields_ok=yes
for field in "Package: tkvcert" "Section: admin" "Architecture: $arch"; do
  value=$(dpkg-deb -f "$deb" "${field%%:*}")
  [ "$value" = "${field#*: }" ] || { fail "control field ${field%%:*} is '$value'"; fields_ok=no; }
done
if [ "$fields_ok" = yes ]; then ok "control: Package tkvcert, Section admin, Architecture $arch"; fi

# Depends must name ca-certificates, whose refresh every change runs, and the
# package of every library the binary loads (libcrypto's above all).
depends=$(dpkg-deb -f "$deb" Depends)
depends_words=" $(echo "$depends" | tr ',|()' '    ') "
missing_depends=()
[[ $depends_words == *" ca-certificates "* ]] || missing_depends+=(ca-certificates)
# dpkg knows a library under one of its names: the path the loader gives, the
# file it links to, or its twin across the /lib and /usr/lib merge.
owner_of() {
  local candidate real
  real=$(realpath "$1")
  for candidate in "$1" "$real" "/usr$1" "${1#/usr}" "/usr$real" "${real#/usr}"; do
    dpkg -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1 && return 0
  done
  return 0
}
while read -r library; do
  owner=$(owner_of "$library")
  if [ -z "$owner" ]; then
    fail "no package ships $library, which the binary loads"
  elif [[ $depends_words != *" $owner "* ]]; then
    missing_depends+=("$owner ($library)")
  fi
done < <(ldd "$work/unpacked/usr/sbin/tkvcert" | awk '$2 == "=>" && $3 ~ /^\// {print $3}')
libcrypto=$(ldd "$work/unpacked/usr/sbin/tkvcert" | awk '/libcrypto/ {print $3}')
if [ -z "$libcrypto" ]; then
  fail "the packaged binary does not load libcrypto"
elif [ ${#missing_depends[@]} = 0 ]; then
  ok "Depends: $depends"
else
  fail "Depends ($depends) lacks: ${missing_depends[*]}"
fi

lintian --tag-display-limit 0 "$deb" > "$work/lintian" 2>&1 || true
grep -v '^running with root privileges' "$work/lintian" | sed 's/^/  lintian: /' || true
if grep -q '^E:' "$work/lintian"; then
  fail "lintian reports errors"
else
  ok "lintian reports no error"
fi

# --- The manual page ----------------------------------------------------------
ran "the manual page"
lint=$(mandoc -Tlint -W warning "$page" 2>&1) && lint_status=0 || lint_status=$?
if [ "$lint_status" = 0 ] && [ -z "$lint" ]; then
  ok "mandoc -Tlint: no warning"
else
  fail "mandoc -Tlint (status $lint_status):"
  echo "$lint"
fi

rendered=$(LC_ALL=C MANWIDTH=80 man -l "$work/unpacked/usr/share/man/man8/tkvcert.8.gz" 2>"$work/man.err") ||
  fail "man -l failed: $(cat "$work/man.err")"
missing_sections=()
for section in NAME SYNOPSIS DESCRIPTION "FILE FORMS" "NAMING A CERTIFICATE" "EXIT STATUS" \
               DIAGNOSTICS ENVIRONMENT FILES EXAMPLES "SEE ALSO"; do
  grep -qx "$section" <<<"$rendered" || missing_sections+=("$section")
done
if [ ${#missing_sections[@]} = 0 ] && grep -q 'tkvcert /install /etc/proxy/ca.pem' <<<"$rendered"; then
  ok "man -l renders the page, every section heading in place"
else
  fail "the rendered page lacks: ${missing_sections[*]:-the install example}"
fi

# The page's LastError table is the full one. It must list every code the
# platform layer can set, in that layer's (numeric) order, and no other; the
# rendered page must show the same rows; and every code README.md names (it
# keeps a short list of the common ones) must be in it. The wording may differ.
#   platform/posix/wincrypt_posix.h: the #defines of the block that begins
#     "Last-error codes this layer sets", up to its first empty line.
#   The page's source: table rows "|  0x<hex>" (a row whose first cell is a code).
#   The rendered page: table rows "|0x<hex> ..." under DIAGNOSTICS.
#   README.md: rows "| 0x<hex> | meaning |" (first cell a code).
# Codes of that block that no run of the tool can print, each with its reason:
#   0x0         ERROR_SUCCESS, not an error;
#   0x80070057  E_INVALIDARG, given only for handles, flags or arguments that
#               the tool never passes.
never_printed="0x0 0x80070057"
layer_header=$source_dir/platform/posix/wincrypt_posix.h
layer_all=$(sed -n '/Last-error codes this layer sets/,/^$/s/^#define [A-Z0-9_]\{1,\} \(0x[0-9a-fA-F]\{1,\}\).*/\1/p' \
              "$layer_header" | tr 'A-F' 'a-f' | tr '\n' ' ')
layer_codes=
for code in $layer_all; do
  [[ " $never_printed " == *" $code "* ]] || layer_codes+="$code "
done
stale_exclusions=
for code in $never_printed; do
  [[ " $layer_all " == *" $code "* ]] || stale_exclusions+="$code "
done
source_codes=$(sed -n 's/^|[][<=>-]\{0,1\} *\(0x[0-9a-fA-F]\{1,\}\) *$/\1/p' \
                 "$source_dir/doc/tkvcert.8.scd" | tr 'A-F' 'a-f' | tr '\n' ' ')
rendered_codes=$(sed -n '/^DIAGNOSTICS$/,/^[A-Z]/s/^ *|\(0x[0-9a-fA-F]\{1,\}\) *|.*/\1/p' \
                   <<<"$rendered" | tr 'A-F' 'a-f' | tr '\n' ' ')
readme_codes=$(sed -n 's/^| *\(0x[0-9a-fA-F]\{1,\}\) *|.*/\1/p' "$source_dir/README.md" |
               tr 'A-F' 'a-f' | tr '\n' ' ')
if [ "$(wc -w <<<"$layer_codes")" -lt 10 ]; then
  fail "found only '$layer_codes' as the platform layer's codes in $layer_header: has its list changed form?"
elif [ -n "$stale_exclusions" ]; then
  fail "codes excused from the page are no longer set by the platform layer: $stale_exclusions(update never_printed here)"
elif [ "$layer_codes" = "$source_codes" ] && [ "$layer_codes" = "$rendered_codes" ]; then
  ok "the page's DIAGNOSTICS lists every LastError code the platform layer sets, in order, and no other"
else
  fail "the LastError codes differ (a code the layer sets goes into doc/tkvcert.8.scd, DIAGNOSTICS):"
  echo "  platform layer:      $layer_codes"
  echo "  doc/tkvcert.8.scd:   $source_codes"
  echo "  rendered page:       $rendered_codes"
fi
readme_unknown=
for code in $readme_codes; do
  [[ " $source_codes " == *" $code "* ]] || readme_unknown+="$code "
done
if [ "$(wc -w <<<"$readme_codes")" -lt 3 ]; then
  fail "found only '$readme_codes' as LastError codes in README.md: has its list changed form?"
elif [ -z "$readme_unknown" ]; then
  ok "every LastError code README.md names ($readme_codes) is in the page"
else
  fail "README.md names LastError codes the page does not list: $readme_unknown"
fi

# --- cmake --install ------------------------------------------------------------
ran "cmake --install"
for prefix in /usr /usr/local; do
  dest=$work/destdir$prefix
  if ! DESTDIR=$dest cmake --install "$build" --strip --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install --strip --prefix $prefix failed"
    continue
  fi
  installed=$(cd "$dest" && find . -not -type d | sort | tr '\n' ' ')
  want=".$prefix/sbin/tkvcert .$prefix/share/doc/tkvcert/changelog.gz .$prefix/share/doc/tkvcert/copyright .$prefix/share/man/man8/tkvcert.8.gz "
  usage_status=0
  "$dest$prefix/sbin/tkvcert" > "$work/usage" 2>&1 || usage_status=$?
  if [ "$installed" = "$want" ] && [ -x "$dest$prefix/sbin/tkvcert" ] &&
     [ "$usage_status" = 1 ] && grep -q '^Usage:' "$work/usage"; then
    ok "cmake --install --strip --prefix $prefix with DESTDIR: sbin/tkvcert (runs), man8 page, doc"
  else
    fail "cmake --install --strip --prefix $prefix installed: $installed (usage status $usage_status)"
  fi
done

# --- The RPM ------------------------------------------------------------------------
# Fedora's and openSUSE's package, checked as they check one; then installed
# into a root of its own and run on a Fedora-layout root whose refresh is
# p11-kit's real extract.
rpm_tools_missing=$(for tool in rpmbuild rpmlint rpm2cpio cpio; do command -v "$tool" >/dev/null || echo "$tool"; done)
if [ -n "$rpm_tools_missing" ]; then
  skip_row "the RPM: $(echo $rpm_tools_missing) not installed"
elif ! cpack --config "$build/CPackConfig.cmake" -G RPM -B "$work/rpm" >"$work/cpack-rpm.log" 2>&1; then
  cat "$work/cpack-rpm.log"
  fail "cpack -G RPM failed"
else
  ran "the RPM"
  rpms=("$work"/rpm/*.rpm)
  rpm_file=${rpms[0]}
  want_name="tkvcert-$version-1.$(uname -m).rpm"
  check_rpm() { if "${@:2}"; then ok "$1"; else fail "$1"; fi; }
  check_rpm "one RPM, named $want_name" test "${#rpms[@]}:$(basename "$rpm_file")" = "1:$want_name"
  rpmlint -c "$source_dir/tests/rpmlint-fedora.toml" "$rpm_file" > "$work/rpmlint" 2>&1 || true
  if grep -q ' 0 errors' "$work/rpmlint"; then
    ok "rpmlint with Fedora's settings: no error ($(grep -o '[0-9]* warnings' "$work/rpmlint"))"
  else
    fail "rpmlint with Fedora's settings:"
    grep ': [EW]: ' "$work/rpmlint" | sed 's/^/  /'
  fi
  requires=$(rpm -qpR "$rpm_file" | tr '\n' ' ')
  check_rpm "Requires ca-certificates and libcrypto 3, Recommends bubblewrap" \
    test "$([[ " $requires" == *" ca-certificates "* && $requires == *"libcrypto.so.3("* ]] && echo y)$(rpm -qp --recommends "$rpm_file")" = ybubblewrap
  check_rpm "the files: the program in /usr/sbin, the page, copyright (%license) and changelog" \
    test "$(rpm -qpl "$rpm_file" | tr '\n' ' ')$(rpm -qpL "$rpm_file")" = \
      "/usr/sbin/tkvcert /usr/share/doc/tkvcert /usr/share/doc/tkvcert/changelog.gz /usr/share/doc/tkvcert/copyright /usr/share/man/man8/tkvcert.8.gz /usr/share/doc/tkvcert/copyright"
  check_rpm "not relocatable" test -z "$(rpm -qp --qf '[%{PREFIXES}]' "$rpm_file")"
  mkdir "$work/rpm-files"
  (cd "$work/rpm-files" && rpm2cpio "$rpm_file" | cpio -idm --quiet)
  if hardening-check "${hardening_options[@]}" "$work/rpm-files/usr/sbin/tkvcert" > "$work/rpm-hardening" 2>&1; then
    ok "the RPM's binary passes hardening-check ${hardening_options[*]}"
  else
    fail "hardening-check on the RPM's binary:"
    sed 's/^/  /' "$work/rpm-hardening"
  fi
  if [ "$(id -u)" = 0 ] && command -v trust >/dev/null && command -v bwrap >/dev/null; then
    rpm_status=0
    TKV_PACKAGE_HOST_NS=$(readlink /proc/self/ns/mnt) timeout 300 unshare -m "$self" --exercise-rpm "$work" "$rpm_file" ||
      rpm_status=$?
    [ "$rpm_status" = 0 ] || fail "the RPM installed and run: $rpm_status check(s) failed"
    ran "the RPM installed and run"
  else
    skip_row "the RPM installed and run: needs root, p11-kit's trust and bubblewrap"
  fi
fi

# --- musl, Arch, Alpine --------------------------------------------------------------
# musl: the kernel calls and headers a C library may lack, in a C probe built
# with musl-gcc against the kernel's headers (what Alpine's linux-headers
# holds). No C++ build against musl can be made here.
if command -v musl-gcc >/dev/null; then
  ran "the musl probe"
  kernel_headers=$work/kernel-headers
  mkdir "$kernel_headers"
  ln -s /usr/include/linux /usr/include/asm-generic "$kernel_headers/"
  ln -s "/usr/include/$("${CC:-cc}" -print-multiarch)/asm" "$kernel_headers/asm"
  if musl-gcc -Wall -Werror -isystem "$kernel_headers" -I "$source_dir" -o "$work/musl-probe" \
       "$source_dir/tests/support/musl_probe.c" > "$work/musl.log" 2>&1; then
    ok "musl-gcc builds the probe of the mount API, statx, memfd, getrandom and close_range"
  else
    fail "musl-gcc cannot build the probe:"
    sed 's/^/  /' "$work/musl.log"
  fi
else
  skip_row "musl: musl-gcc is not installed"
fi

# Arch: the PKGBUILD built by makepkg as Arch builds, by a throwaway user, from
# a copy of the tree that user can read, with Arch's own flags (Debian's
# makepkg.conf has them commented out).
if [ "$(id -u)" != 0 ] || ! command -v makepkg >/dev/null || ! command -v bsdtar >/dev/null ||
   ! command -v fakeroot >/dev/null; then
  skip_row "the PKGBUILD: needs root (for a throwaway user), makepkg, bsdtar and fakeroot"
else
  ran "the PKGBUILD"
  packager=tkv-makepkg-$$
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$packager"
  arch_tree=$work/arch-tree
  mkdir "$arch_tree"
  tar -C "$source_dir" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$arch_tree" -xf -
  chown -R "$packager:" "$arch_tree"
  { cat /etc/makepkg.conf
    echo 'CFLAGS="-march=x86-64 -mtune=generic -O2 -pipe -fno-plt -fexceptions -Wp,-D_FORTIFY_SOURCE=3 -Wformat -Werror=format-security -fstack-clash-protection -fcf-protection -fno-omit-frame-pointer -mno-omit-leaf-frame-pointer"'
    echo 'CXXFLAGS="$CFLAGS -Wp,-D_GLIBCXX_ASSERTIONS"'
    echo 'LDFLAGS="-Wl,-O1 -Wl,--sort-common -Wl,--as-needed -Wl,-z,relro -Wl,-z,now -Wl,-z,pack-relative-relocs"'
    echo "MAKEFLAGS=\"-j$(nproc)\""
  } > "$work/makepkg.conf"
  chmod 644 "$work/makepkg.conf"
  chmod 755 "$work"
  if (cd "$arch_tree/contrib/arch" && timeout 900 runuser -u "$packager" -- env -i PATH=/usr/bin:/bin HOME="$arch_tree" \
        makepkg --nodeps --noconfirm --config "$work/makepkg.conf") > "$work/makepkg.log" 2>&1; then
    packages=("$arch_tree"/contrib/arch/tkvcert-"$version"-1-*.pkg.tar.*)
    arch_files=$(bsdtar -tf "${packages[0]}" | grep -v '^\.' | grep -v '/$' | sort | tr '\n' ' ')
    want="usr/bin/tkvcert usr/share/doc/tkvcert/changelog.gz usr/share/licenses/tkvcert/copyright usr/share/man/man8/tkvcert.8.gz "
    if [ "$arch_files" = "$want" ]; then
      ok "makepkg: $(basename "${packages[0]}") holds the program in /usr/bin (nothing in /usr/sbin), the page, the licence once"
    else
      fail "makepkg's package holds: $arch_files; expected: $want"
    fi
    mkdir "$work/arch-files"
    bsdtar -xf "${packages[0]}" -C "$work/arch-files"
    if hardening-check "${hardening_options[@]}" "$work/arch-files/usr/bin/tkvcert" > "$work/arch-hardening" 2>&1; then
      ok "the Arch package's binary passes hardening-check ${hardening_options[*]}, fortified functions included"
    else
      fail "hardening-check on the Arch package's binary:"
      sed 's/^/  /' "$work/arch-hardening"
    fi
  else
    tail -30 "$work/makepkg.log"
    fail "makepkg failed"
  fi
  userdel "$packager" 2>/dev/null || true
  packager=
fi

# Alpine: no abuild here. The APKBUILD parses as shell, has project()'s
# version, and names the tarball that source-tarball.sh makes of this tree,
# whose sum it then holds.
ran "the APKBUILD"
apk_dir=$work/alpine
mkdir "$apk_dir"
if sh -n "$source_dir/contrib/alpine/APKBUILD" &&
   "$source_dir/contrib/alpine/source-tarball.sh" "$apk_dir" > "$work/apk.log" 2>&1 &&
   (cd "$apk_dir" && . ./APKBUILD && [ "$pkgver" = "$version" ] && [ "$source" = "$pkgname-$pkgver.tar.gz" ] &&
      printf '%s\n' "$sha512sums" | grep . | sha512sum -c --quiet -) >> "$work/apk.log" 2>&1 &&
   grep -qx "tkvcert-$version/CMakeLists.txt" <<<"$(tar -tzf "$apk_dir/tkvcert-$version.tar.gz")"; then
  ok "the APKBUILD parses, and its source and sum are those of this tree's tarball"
else
  cat "$work/apk.log"
  fail "the APKBUILD and its tarball"
fi

# --- The Windows zip ---------------------------------------------------------------
if [ -z "$windows_build" ] || [ ! -f "$windows_build/CPackConfig.cmake" ]; then
  skip_row "the Windows zip: no Windows build given"
else
  ran "the Windows zip"
  if cpack --config "$windows_build/CPackConfig.cmake" -G ZIP -B "$work/zip" >"$work/zip.log" 2>&1; then
    zips=("$work"/zip/*.zip)
    mkdir "$work/unzipped"
    (cd "$work/unzipped" && cmake -E tar xf "${zips[0]}")
    listing=$(cd "$work/unzipped" && find . -type f | sort | tr '\n' ' ')
    top=$(basename "${zips[0]}" .zip)
    readme=$work/unzipped/$top/README.txt
    lines=$(wc -l < "$readme" 2>/dev/null || echo 0)
    crlf_lines=$(grep -c $'\r$' "$readme" 2>/dev/null || true)
    codes_named=yes
    for code in 0x2 0x5 0x80092009; do grep -qw "$code" "$readme" 2>/dev/null || codes_named=no; done
    if [ "$listing" = "./$top/README.txt ./$top/tkvcert.exe " ] && [ "$lines" -gt 0 ] &&
       [ "$lines" = "$crlf_lines" ] && ! LC_ALL=C grep -q '[^[:print:][:space:]]' "$readme" &&
       [ "$codes_named" = yes ] && grep -q 'PE32+' <<<"$(file "$work/unzipped/$top/tkvcert.exe")"; then
      ok "$(basename "${zips[0]}"): tkvcert.exe and a plain CRLF README.txt with its codes"
    else
      fail "the Windows zip holds: $listing; README.txt: $lines lines, $crlf_lines with CRLF, codes named: $codes_named"
    fi
  else
    cat "$work/zip.log"
    fail "cpack -G ZIP failed in $windows_build"
  fi
fi

# --- Installed for real -------------------------------------------------------------
# dpkg -i changes this machine's packages (never its trust store), so only as
# root, and never over a tkvcert that is already there.
state=$(dpkg-query -W -f='${db:Status-Status}' tkvcert 2>/dev/null || true)
if [ "$(id -u)" != 0 ]; then
  skip_row "the package installed for real: needs root"
elif [ -n "$state" ] && [ "$state" != not-installed ]; then
  skip_row "the package installed for real: a tkvcert package is already on this machine ($state)"
elif [ -e /usr/sbin/tkvcert ]; then
  skip_row "the package installed for real: /usr/sbin/tkvcert already exists"
else
  ran "the .deb installed for real"
  # Which of the package's paths the machine had before: only those may remain.
  awk '{print $6}' "$work/contents" | sed 's|^\./|/|; s|/$||; s|^$|/|' > "$work/paths"
  exists < "$work/paths" | sort > "$work/existed"
  installed_here=yes
  if dpkg -i "$deb" > "$work/dpkg.log" 2>&1; then
    ok "dpkg -i installs the package"
    dpkg -L tkvcert | sed 's|^/\.$|/|' | sort > "$work/listed"
    shielded=no
    runner=()
    if unshare --mount --propagation private true 2>/dev/null; then
      shielded=yes
      runner=(unshare --mount --propagation private)
    fi
    exercise_status=0
    "${runner[@]}" "$self" --exercise-installed "$work" "$shielded" || exercise_status=$?
    failures=$((failures + exercise_status))
    if dpkg -r tkvcert > "$work/dpkg.log" 2>&1; then
      left=$(exists < "$work/listed" | sort)
      if [ "$left" = "$(cat "$work/existed")" ]; then
        ok "dpkg -r removes every path of the package that was not there before"
      else
        fail "after dpkg -r, left behind:"
        comm -23 <(echo "$left") "$work/existed"
      fi
    else
      cat "$work/dpkg.log"
      fail "dpkg -r tkvcert failed"
    fi
  else
    cat "$work/dpkg.log"
    fail "dpkg -i failed"
  fi
fi

ran_line
[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
