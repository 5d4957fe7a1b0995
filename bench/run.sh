#!/usr/bin/env bash
# Times tkvcert against plain libcrypto floors on generated stores and prints
# a table of medians, ratios and peak memory.
#
#   bench/run.sh [--quick] [--build-dir DIR] [--keep]
#
#   --quick      one store of 200 certificates and few runs, for CI (well
#                under a minute once built)
#   --build-dir  the CMake build directory to use (default: a fresh one under
#                $TMPDIR); an existing one keeps its build type and options,
#                the benchmarks are switched on in it
#   --keep       keep the generated stores (their directory is printed)
#
# Every run works on sandbox roots of its own under $TMPDIR, through
# TKVCERT_SYSROOT; this machine's trust store is never read or written. The
# roots timed against the floors have a stub refresh of their own (the tests'
# static stub, which the tool runs inside the root), so no timed run rebuilds
# a real bundle; one root has none, so that the host's Debian tool serves it,
# for the re-install. Run as root, as the tool is: a root's own refresh runs
# chrooted.
#
# Only prints: no time or memory figure ever makes it fail. It fails only
# when a command fails or finds the wrong certificate.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
keep=0
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --keep) keep=1 ;;
    --build-dir) build_dir="$2"; shift ;;
    *) echo "usage: $0 [--quick] [--build-dir DIR] [--keep]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$(id -u)" -ne 0 ]; then
  echo "bench/run.sh: run it as root: a root's own refresh runs inside the root (chroot)" >&2
  exit 2
fi
if [ ! -x /usr/sbin/update-ca-certificates ]; then
  echo "bench/run.sh: needs Debian's update-ca-certificates (package ca-certificates)" >&2
  exit 2
fi
if [ ! -x /usr/bin/time ]; then
  echo "bench/run.sh: needs /usr/bin/time for peak memory (Debian package: time)" >&2
  exit 2
fi

tmp_base="${TMPDIR:-/tmp}"
work="$(mktemp -d "$tmp_base/tkvcert-bench.XXXXXX")"
cleanup() { [ "$keep" -eq 1 ] || rm -rf "$work"; }
trap cleanup EXIT

# --- build -------------------------------------------------------------------
if [ -z "$build_dir" ]; then
  build_dir="$tmp_base/tkvcert-bench-build"
fi
if [ -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build_dir" -DTKVCERT_BUILD_BENCH=ON >/dev/null
else
  cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTKVCERT_BUILD_TESTS=OFF -DTKVCERT_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build_dir" -j2 --target tkvcert tkv_bench_make_store \
  tkv_bench_floor_scan tkv_bench_floor_read tkv_bench_floor_install tkv_bench_time tkv_bench_client_look \
  tkv_bench_refresh_stub tkv_bench_sandbox >/dev/null
build_dir="$(cd "$build_dir" && pwd)"  # the installation runs from another directory
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"

tool="$build_dir/tkvcert"
make_store="$build_dir/bench/tkv_bench_make_store"
floor_scan="$build_dir/bench/tkv_bench_floor_scan"
floor_read="$build_dir/bench/tkv_bench_floor_read"
floor_install="$build_dir/bench/tkv_bench_floor_install"
timer="$build_dir/bench/tkv_bench_time"
refresh_stub="$build_dir/bench/tkv_bench_refresh_stub"
sandbox_runs_of="$build_dir/bench/tkv_bench_sandbox"

if [ "$quick" -eq 1 ]; then
  sizes=(200)
  scan_runs() { echo 3; }
  install_runs=5
  debian_refresh_runs=2
  warmup=1
else
  sizes=(1000 10000 100000)
  scan_runs() { case "$1" in 1000) echo 21 ;; 10000) echo 11 ;; *) echo 5 ;; esac; }
  install_runs=31
  debian_refresh_runs=5
  warmup=2
fi
# The re-install's root, served by the host's Debian tool: about as many
# anchors as a Debian bundle holds certificates (that tool takes some 15 ms
# an anchor to rebuild it).
host_count=150
largest="${sizes[${#sizes[@]}-1]}"

anchors_of() { echo "$1/usr/local/share/ca-certificates"; }

# The certificate every /install run installs, made first: the stub refresh
# puts it in the bundle.
cert_file="$(cd "$work" && "$make_store" --one install.pem)"

# Gives a root its own refresh: the static stub, which rebuilds the bundle
# from the root's bench-bundle directory (the certificate /install puts in,
# nothing else), without the stub's default delay. The tool runs it inside
# the root, then reads the bundle to check the change.
stub_refresh() {
  install -m 0755 "$refresh_stub" "$1/usr/sbin/update-ca-certificates"
  mkdir -p "$1/bench-bundle"
  cp "$work/install.pem" "$1/bench-bundle/"
  printf 'anchors=/bench-bundle\nsleep_ms=0\n' >"$1/refresh-stub.conf"
}

# This machine's own Debian CA set and its conf, as a real root has them: a
# removal searches it after the local anchors, and one that matches nothing
# reads all of it. The floors read the anchors alone. Copied, never written.
distribution_set() {
  cp -r /usr/share/ca-certificates/. "$1/usr/share/ca-certificates/"
  cp /etc/ca-certificates.conf "$1/etc/ca-certificates.conf"
}
distribution_count="$(grep -c '^[^#!]' /etc/ca-certificates.conf || true)"

# Medians, in seconds, of commands that take turns (see bench/time_runs.cpp):
# one line per command, in order.
medians() { "$timer" "$@" | cut -d' ' -f1; }

# Peak resident memory of one run, in KiB.
peak_kib() {
  local out="$work/time.out"
  /usr/bin/time -f '%M' -o "$out" "$@" >/dev/null 2>/dev/null
  tail -n 1 "$out"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.2f", s * 1000 }'; }
meets() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g ? "yes" : "no") }'; }

echo "tkvcert benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), nproc $(nproc)," \
  "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), build $build_type"
echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg) (other jobs on the machine skew the figures)"
echo "Refresh stubbed in the roots timed against floors: the root's own static"
echo "update-ca-certificates, run inside it, writes a bundle of the one certificate that"
echo "/install puts in; every change still starts it and reads that bundle back."
echo "Stores are generated fresh; times are medians, warm cache."
echo

# --- removal -----------------------------------------------------------------
scan_rows=()
memory_rows=()
for n in "${sizes[@]}"; do
  root="$work/store-$n"
  echo "generating $n certificates..." >&2
  generated="$("$make_store" "$root" "$n")"
  stub_refresh "$root"
  distribution_set "$root"
  mapfile -t info <<<"$generated"
  last_subject="${info[0]}"
  last_file="${info[1]}"
  none_subject="${info[2]}"
  anchors="$(anchors_of "$root")"
  saved="$work/last-$n.crt"
  cp -p "$anchors/$last_file" "$saved"

  # The floor must find what the tool is asked to remove, and nothing else.
  [ "$("$floor_scan" "$anchors" "$last_subject")" = "match $last_file" ] ||
    { echo "floor did not find $last_subject in $last_file" >&2; exit 1; }
  [ "$("$floor_scan" "$anchors" "$none_subject")" = "no match" ] ||
    { echo "floor matched $none_subject" >&2; exit 1; }
  [[ "$("$floor_read" "$anchors")" == "read $n files, "* ]] ||
    { echo "the read floor did not read $n files" >&2; exit 1; }

  # Untimed: the tool must remove exactly that file, and nothing for the other name.
  out="$(TKVCERT_SYSROOT="$root" "$tool" /uninstall "$last_subject")"
  [[ "$out" == *"The certificate has been removed."* && ! -e "$anchors/$last_file" ]] ||
    { echo "tkvcert did not remove $last_file: $out" >&2; exit 1; }
  cp -p "$saved" "$anchors/$last_file"
  out="$(TKVCERT_SYSROOT="$root" "$tool" /uninstall "$none_subject" 2>/dev/null)"
  [[ "$out" != *Removing* ]] || { echo "tkvcert matched $none_subject: $out" >&2; exit 1; }

  runs="$(scan_runs "$n")"
  restore="cp -p '$saved' '$anchors/$last_file'"
  timed="$(medians --runs "$runs" --warmup "$warmup" --prepare "$restore" -- \
    TKVCERT_SYSROOT="$root" "$tool" /uninstall "$last_subject" :: \
    "$floor_scan" "$anchors" "$last_subject" :: \
    TKVCERT_SYSROOT="$root" "$tool" /uninstall "$none_subject" :: \
    "$floor_scan" "$anchors" "$none_subject" :: \
    "$floor_read" "$anchors")"
  mapfile -t t <<<"$timed"
  tool_last="${t[0]}" floor_last="${t[1]}" tool_none="${t[2]}" floor_none="${t[3]}"
  read_floor="${t[4]}"
  [ "$n" != "$largest" ] || largest_read_floor="$read_floor"
  eval "$restore"
  tool_peak="$(TKVCERT_SYSROOT="$root" peak_kib "$tool" /uninstall "$none_subject")"
  floor_peak="$(peak_kib "$floor_scan" "$anchors" "$none_subject")"
  [ "$(ls "$anchors" | wc -l)" -eq "$n" ] || { echo "store of $n changed" >&2; exit 1; }
  # The installs below compare with a floor that has no such set.
  : >"$root/etc/ca-certificates.conf"

  for row in "last $tool_last $floor_last" "none $tool_none $floor_none"; do
    set -- $row
    r_read="$(ratio "$2" "$read_floor")"
    goal="-"
    met="-"
    if [ "$1" = none ] && [ "$n" -ge 10000 ]; then goal="1.5"; met="$(meets "$r_read" "$goal")"; fi
    scan_rows+=("$(printf '%8s  %-5s %10s %10s %10s %7s %6s %5s %7s %5s' "$n" "$1" "$(ms "$2")" \
      "$(ms "$read_floor")" "$(ms "$3")" "$r_read" "$goal" "$met" "$(ratio "$2" "$3")" "$runs")")
  done
  mgoal="-"
  mmet="-"
  mr="$(ratio "$tool_peak" "$floor_peak")"
  if [ "$n" -eq 100000 ]; then mgoal="1.2"; mmet="$(meets "$mr" 1.2)"; fi
  memory_rows+=("$(printf '%8s  %10s %10s %7s %6s %5s' "$n" "$tool_peak" "$floor_peak" "$mr" \
    "$mgoal" "$mmet")")
  [ "$n" = "$largest" ] || rm -rf "$root"
done

echo "/uninstall <subject>: 'last' names the last certificate in enumeration order (the tool"
echo "removes it; it is put back, untimed, before each run), 'none' names no certificate."
echo "Each store also holds this machine's Debian CA set ($distribution_count CAs, its conf),"
echo "which the tool searches after the anchors; the floors read the anchors alone."
echo "read floor: list, sort, open, read, close; nothing decoded (bench/floor_read.cpp)."
echo "libcrypto floor: list, sort, read, PEM-decode, d2i_X509_NAME, compare (bench/floor_scan.cpp)."
printf '%8s  %-5s %10s %10s %10s %7s %6s %5s %7s %5s\n' certs subj "tool ms" "read ms" \
  "libcr. ms" "/read" goal met "/libcr." runs
printf '%s\n' "${scan_rows[@]}"
echo
echo "peak memory of the 'none' scan (maximum resident set, KiB, /usr/bin/time)"
printf '%8s  %10s %10s %7s %6s %5s\n' certs tool floor ratio goal met
printf '%s\n' "${memory_rows[@]}"
echo

# --- installation ------------------------------------------------------------
empty_root="$work/store-0"
"$make_store" "$empty_root" 0
stub_refresh "$empty_root"
floor_root="$work/store-floor"
"$make_store" "$floor_root" 0
stub_refresh "$floor_root"
empty_anchors="$(anchors_of "$empty_root")"
floor_anchors="$(anchors_of "$floor_root")"
full_root="$work/store-$largest"
full_anchors="$(anchors_of "$full_root")"
# A root with no refresh of its own: the host's update-ca-certificates
# serves it, with the root's directories.
host_root="$work/store-host"
echo "generating $host_count certificates for the Debian tool's root..." >&2
"$make_store" "$host_root" "$host_count" >/dev/null
host_anchors="$(anchors_of "$host_root")"
host_bundle="$host_root/etc/ssl/certs/ca-certificates.crt"

cd "$work"  # the tool takes an argument starting with "/" for a command
TKVCERT_SYSROOT="$full_root" "$tool" /install install.pem >/dev/null
[ -f "$full_anchors/$cert_file" ] || { echo "tkvcert did not install $cert_file" >&2; exit 1; }
"$floor_install" install.pem "$floor_root" >/dev/null
[ -f "$floor_anchors/$cert_file" ] || { echo "the floor did not install $cert_file" >&2; exit 1; }
# The first install runs Debian's refresh; installing again must run none.
TKVCERT_SYSROOT="$host_root" "$tool" /install install.pem >/dev/null
[ -f "$host_anchors/$cert_file" ] || { echo "tkvcert did not install $cert_file" >&2; exit 1; }
bundle_before="$(stat -c '%i %Y %s' "$host_bundle")"
TKVCERT_SYSROOT="$host_root" "$tool" /install install.pem >/dev/null
[ "$(stat -c '%i %Y %s' "$host_bundle")" = "$bundle_before" ] ||
  { echo "installing again rebuilt the bundle" >&2; exit 1; }

# Each install meets a certificate that clients do not trust yet: its
# anchor gone and the bundles emptied, as before a first install. (A bundle
# that still showed it, with no anchor of that name, would have the tool
# look through every anchor for another that holds it.)
bundle_of() { echo "$1/etc/ssl/certs/ca-certificates.crt"; }
timed="$(medians --runs "$install_runs" --warmup "$warmup" \
  --prepare "rm -f '$empty_anchors/$cert_file' '$full_anchors/$cert_file' '$floor_anchors/$cert_file' &&
    : > '$(bundle_of "$empty_root")' && : > '$(bundle_of "$full_root")' && : > '$(bundle_of "$floor_root")'" -- \
  TKVCERT_SYSROOT="$empty_root" "$tool" /install install.pem :: \
  TKVCERT_SYSROOT="$full_root" "$tool" /install install.pem :: \
  "$floor_install" install.pem "$floor_root" :: \
  TKVCERT_SYSROOT="$host_root" "$tool" /install install.pem)"
mapfile -t t <<<"$timed"
install_empty="${t[0]}" install_full="${t[1]}" install_floor="${t[2]}" reinstall="${t[3]}"
[ "$(stat -c '%i %Y %s' "$host_bundle")" = "$bundle_before" ] ||
  { echo "installing again rebuilt the bundle" >&2; exit 1; }
echo "timing Debian's refresh ($debian_refresh_runs runs)..." >&2
install_debian="$(medians --runs "$debian_refresh_runs" --warmup 0 \
  --prepare "rm -f '$host_anchors/$cert_file'" -- \
  TKVCERT_SYSROOT="$host_root" "$tool" /install install.pem)"
# What the sandbox adds to a program run for another root: the stub refresh
# of an image root run as the tool runs it (a user namespace on an idmapped
# clone of the root, or the fallback, each with its filter and bubblewrap),
# against the same run in a plain chroot; and, once a command, choosing the
# sandbox (the user namespace, the filters, a clone of each of the root's
# file systems, the memory cgroup the tool joins; no trial run outside a
# container); and the memory cgroup alone: made, joined, left and removed.
echo "timing the sandbox..." >&2
sandbox_runs="$install_runs"
# bubblewrap alone, as the tool ran it before it made a user namespace, shows
# what the machine's state does to every figure of the run.
timed="$(medians --runs "$sandbox_runs" --warmup "$warmup" -- \
  /usr/sbin/chroot "$floor_root" /usr/sbin/update-ca-certificates :: \
  /usr/bin/bwrap --unshare-ipc --unshare-pid --unshare-net --unshare-uts --die-with-parent --new-session --cap-drop ALL --clearenv \
    --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv LC_ALL C --bind "$floor_root" / \
    --chdir / -- /usr/sbin/update-ca-certificates)"
mapfile -t t <<<"$timed"
chroot_run="${t[0]}" bwrap_run="${t[1]}"
read -r userns_run userns_choice _ memory_cgroup < <(TKVCERT_SANDBOX=userns "$sandbox_runs_of" "$floor_root" "$sandbox_runs")
read -r masks_run masks_choice _ < <(TKVCERT_SANDBOX=proc-masks "$sandbox_runs_of" "$floor_root" "$sandbox_runs")
added() { awk -v a="$1" -v b="$chroot_run" 'BEGIN { d = a - b; print (d > 0 ? d : 0) }'; }
sandbox_cost="$(added "$userns_run")"
masks_cost="$(added "$masks_run")"
# A root that spans several file systems, as a node's does: each is cloned
# and attached for every program.
multi_root="$work/store-mounts"
"$make_store" "$multi_root" 0 >/dev/null
stub_refresh "$multi_root"
for i in $(seq 10); do mkdir -p "$multi_root/mnt/fs$i" "$work/fs$i"; done
read -r multi_run _ < <(unshare -m --propagation private sh -c '
  for i in $(seq 10); do mount --bind "$1/fs$i" "$2/mnt/fs$i"; done
  TKVCERT_SANDBOX=userns "$3" "$2" "$4"' _ "$work" "$multi_root" "$sandbox_runs_of" "$sandbox_runs")
multi_cost="$(awk -v a="$multi_run" -v b="$userns_run" 'BEGIN { d = a - b; print (d > 0 ? d : 0) }')"

row() { printf '%-30s %10s %-22s %10s %7s %6s %5s %5s\n' "$@"; }
goal_row() {  # label, tool s, against label, against s, goal, runs
  local r
  r="$(ratio "$2" "$4")"
  row "$1" "$(ms "$2")" "$3" "$(ms "$4")" "$r" "$5" "$(meets "$r" "$5")" "$6"
}
echo "/install <file>: the same new certificate each run (removed, untimed, before each run),"
echo "into a root with the stub refresh; a re-install puts in a certificate the store and the"
echo "bundle already hold, in a root that Debian's own update-ca-certificates serves ($host_count"
echo "anchors; its bundle, $(stat -c %s "$host_bundle") bytes, is read to check it)."
echo "floor: read, PEM-decode, d2i_X509, SHA-1, PEM-encode, write+fsync a temporary, rename,"
echo "fsync the directory, run the root's refresh inside it as one bubblewrap program, read its"
echo "bundle until a block is the certificate (bench/floor_install.cpp). The tool's install runs"
echo "one program too, in the sandbox it chooses once the change is decided; a re-install with"
echo "nothing to do chooses none and runs none."
row store "tool ms" "against" "ms" ratio goal met runs
goal_row "empty" "$install_empty" "floor, one bubblewrap" "$install_floor" 1.2 "$install_runs"
goal_row "$largest certificates" "$install_full" "read floor, $largest" "$largest_read_floor" 0.5 "$install_runs"
row "$largest certificates" "$(ms "$install_full")" "tool, empty" "$(ms "$install_empty")" \
  "$(ratio "$install_full" "$install_empty")" - - "$install_runs"
goal_row "re-install" "$reinstall" "floor, one bubblewrap" "$install_floor" 0.7 "$install_runs"
row "re-install" "$(ms "$reinstall")" "install, Debian refresh" "$(ms "$install_debian")" \
  "$(awk -v a="$reinstall" -v b="$install_debian" 'BEGIN { printf "%.4f", a / b }')" - - \
  "$debian_refresh_runs"
echo
echo "The sandbox another root's programs run in: the median of the stub refresh run as the"
echo "tool runs it, less the same in a chroot ($(ms "$chroot_run") ms), against one install with"
echo "Debian's refresh; and choosing the sandbox, once a command."
row "" "added ms" "against" "ms" ratio goal met runs
goal_row "user namespace, a program" "$sandbox_cost" "install, Debian refresh" "$install_debian" 0.05 \
  "$sandbox_runs"
row "user namespace, a program" "$(ms "$sandbox_cost")" "goal, 5 ms" "5.00" "$(ratio "$sandbox_cost" 0.005)" 1 \
  "$(meets "$(ratio "$sandbox_cost" 0.005)" 1)" "$sandbox_runs"
row "bubblewrap alone, a program" "$(ms "$(added "$bwrap_run")")" "install, Debian refresh" "$(ms "$install_debian")" \
  "$(ratio "$(added "$bwrap_run")" "$install_debian")" - - "$sandbox_runs"
row "fallback, a program" "$(ms "$masks_cost")" "install, Debian refresh" "$(ms "$install_debian")" \
  "$(ratio "$masks_cost" "$install_debian")" - - "$sandbox_runs"
row "user namespace, a command" "$(ms "$userns_choice")" "install, Debian refresh" "$(ms "$install_debian")" \
  "$(ratio "$userns_choice" "$install_debian")" - - 1
row "fallback, a command" "$(ms "$masks_choice")" "install, Debian refresh" "$(ms "$install_debian")" \
  "$(ratio "$masks_choice" "$install_debian")" - - 1
row "memory cgroup, a command" "$(ms "$memory_cgroup")" "goal, 2 ms" "2.00" "$(ratio "$memory_cgroup" 0.002)" 1 \
  "$(meets "$(ratio "$memory_cgroup" 0.002)" 1)" "$sandbox_runs"
row "10 file systems more, a program" "$(ms "$multi_cost")" "user namespace, a program" "$(ms "$sandbox_cost")" \
  - - - "$sandbox_runs"

# Clients with roots of their own: the look after a change, on a typical
# root (a few hundred directories where such clients live) and on one with
# 20,000 directories there; and the whole walk of this machine's "/", which
# only reads.
client_look="$build_dir/bench/tkv_bench_client_look"
typical="$work/clients-typical"
site="$typical/usr/local/lib/python3.11/site-packages"
for i in $(seq 150); do mkdir -p "$site/pkg$i/sub"; done
mkdir -p "$site/certifi" "$typical/usr/lib/python3/dist-packages/certifi" "$typical/home/ann/.venv/lib/python3.11/site-packages/certifi"
printf 'def where():\n    return "cacert.pem"\n' > "$site/certifi/core.py"
: > "$site/certifi/cacert.pem"
for j in a b c; do for d in bin lib/security lib/server conf include legal/java.base; do mkdir -p "$typical/usr/lib/jvm/jdk-$j/$d"; done
  : > "$typical/usr/lib/jvm/jdk-$j/lib/security/cacerts"; done
for i in $(seq 40); do mkdir -p "$typical/opt/app/lib/dir$i" "$typical/usr/local/share/doc$i"; done
many="$work/clients-many"
mkdir -p "$many/opt/tree"
(cd "$many/opt/tree" && seq -f 'd%05g' 20000 | xargs mkdir)
look_runs=$((quick ? 5 : 31))
read -r look_typical look_typical_dirs _ look_typical_found < <("$client_look" "$typical" "$look_runs")
read -r look_many look_many_dirs look_many_out _ < <("$client_look" "$many" "$look_runs")
# The look of a fix run reads node binaries: the typical root with this
# machine's node in it (read from the page cache after the first run).
look_fix=
if [ -f /usr/bin/node ]; then
  mkdir -p "$typical/opt/node/bin" && cp /usr/bin/node "$typical/opt/node/bin/node"
  read -r look_fix _ _ look_fix_found < <("$client_look" "$typical" "$look_runs" fix)
fi
walk_start=$(date +%s.%N)
TKVCERT_CLIENTS=1 "$tool" >"$work/clients-walk.txt" 2>/dev/null || true
walk_end=$(date +%s.%N)
walk=$(awk -v a="$walk_start" -v b="$walk_end" 'BEGIN { print b - a }')
echo
echo "Clients with roots of their own: the look after a change, timed apart from the install"
echo "(the median of $look_runs looks; its budget is 5000 directories or 250 ms), and"
echo "TKVCERT_CLIENTS=1 on this machine's / (one run, read-only; $(($(wc -l <"$work/clients-walk.txt") - 1)) stores listed)."
row "" "ms" "against" "ms" ratio goal met runs
row "look, $look_typical_dirs directories" "$(ms "$look_typical")" "goal, 5 ms" "5.00" "$(ratio "$look_typical" 0.005)" 1 \
  "$(meets "$(ratio "$look_typical" 0.005)" 1)" "$look_runs"
row "look, 20,000 directories" "$(ms "$look_many")" "budget, 250 ms" "250.00" "$(ratio "$look_many" 0.25)" 1 \
  "$(meets "$(ratio "$look_many" 0.25)" 1)" "$look_runs"
if [ -n "$look_fix" ]; then
  row "fix run's look, with a node" "$(ms "$look_fix")" "budget, 2000 ms" "2000.00" "$(ratio "$look_fix" 2)" 1 \
    "$(meets "$(ratio "$look_fix" 2)" 1)" "$look_runs"
fi
echo "  (the 20,000-directory look entered $look_many_dirs and ran out: $look_many_out; the typical one found $look_typical_found${look_fix:+, the fix run look $look_fix_found})"
row "TKVCERT_CLIENTS=1, /" "$(ms "$walk")" "-" "-" - - - 1
[ "$keep" -eq 0 ] || echo "stores kept in $work"
