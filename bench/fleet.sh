#!/usr/bin/env bash
# What the Ansible module costs beyond Ansible's own per-host work: a
# converged run of tkv.tkvcert.ca_trust over 30 image roots at 10 forks,
# against the same inventory running ansible.builtin.command: /bin/true.
#   bench/fleet.sh [BUILD_DIR] [RUNS]
# As root (another root's refresh runs in a sandbox only root can make), with
# ansible-playbook. The roots are made under $TMPDIR and removed; the build's
# tkvcert is the module's executable, so nothing is installed. Prints the
# median wall time of RUNS (5) runs of each, taken in turns, and their ratio.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$src/build}")
runs=${2:-5}
hosts=30 forks=10
[ "$(id -u)" = 0 ] || { echo "run as root"; exit 1; }
command -v ansible-playbook >/dev/null || { echo "needs ansible-playbook (Debian's ansible-core)"; exit 1; }
[ -x "$build/tkvcert" ] || { echo "no $build/tkvcert: build first"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tkv-bench-fleet.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
{
  echo "[fleet]"
  for i in $(seq -w 1 "$hosts"); do
    r=$work/roots/h$i
    mkdir -p "$r/usr/local/share/ca-certificates" "$r/usr/share/ca-certificates" "$r/etc/ssl/certs"
    : > "$r/etc/ca-certificates.conf"
    echo "h$i sysroot=$r"
  done
  echo "[fleet:vars]"
  echo "ansible_connection=local"
  echo "ansible_python_interpreter=/usr/bin/python3"
} > "$work/inventory"
chmod 755 "$work/roots"
cat > "$work/module.yml" <<PLAY
- hosts: fleet
  gather_facts: false
  tasks:
    - tkv.tkvcert.ca_trust:
        path: $src/examples/proxy-ca.pem
        sysroot: "{{ sysroot }}"
        executable: $build/tkvcert
PLAY
cat > "$work/true.yml" <<'PLAY'
- hosts: fleet
  gather_facts: false
  tasks:
    - ansible.builtin.command: /bin/true
PLAY

export ANSIBLE_COLLECTIONS_PATH=$src/contrib/ansible ANSIBLE_HOME=$work/ansible-home
export ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_FORKS=$forks ANSIBLE_NOCOLOR=1
play() { timeout 600 ansible-playbook -i "$work/inventory" "$1" > "$work/last.log" 2>&1 || { cat "$work/last.log"; exit 1; }; }
seconds() { local t0 t1; t0=$(date +%s.%N); play "$1"; t1=$(date +%s.%N); awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

play "$work/module.yml"  # converge: the one run that changes anything
grep -q "changed=1" "$work/last.log" || { cat "$work/last.log"; echo "the converging run changed nothing"; exit 1; }
module_times=() true_times=()
for _ in $(seq "$runs"); do
  module_times+=("$(seconds "$work/module.yml")")
  grep -q "changed=1" "$work/last.log" && { echo "a converged run changed something"; exit 1; }
  true_times+=("$(seconds "$work/true.yml")")
done
module=$(printf '%s\n' "${module_times[@]}" | median)
base=$(printf '%s\n' "${true_times[@]}" | median)
printf '%d roots, %d forks, median of %d runs (load average %s at the end)\n' \
  "$hosts" "$forks" "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'tkv.tkvcert.ca_trust, converged: %.2f s\n' "$module"
printf 'ansible.builtin.command /bin/true: %.2f s\n' "$base"
printf 'ratio: %.2f (goal 1.2 or less)\n' "$(awk -v m="$module" -v b="$base" 'BEGIN { print m / b }')"
