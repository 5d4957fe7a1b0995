#!/usr/bin/env bash
# The Kubernetes node agent (contrib/kubernetes), as far as it runs without a
# cluster. The agent on a directory laid out as the kubelet lays out a
# ConfigMap, its "..data" link swapped: a change converges again, a second
# convergence changes nothing, an absent entry removes the CA, a CA dropped
# from the list stays trusted and is said to be no longer managed, and the
# agent spends nothing while it waits. Every line names the node, removals
# run before installs, the tool's lines follow their CA's, one convergence
# at start, and SIGTERM during a run lets it end, then the agent exits. The
# tool's lines of clients with roots of their own are said once per
# convergence, and TKVCERT_CLIENTS reaches the tool. Its
# restart of units, against a stand-in for the node's systemd on a D-Bus of
# the test's own. The image built with build-image.sh --debs from packages
# fetched first, without a network, and the DaemonSet's pod template run as
# a Pod with podman kube play, with the manifest's capabilities only, a copy
# of a Debian root at /host: it runs the tool's user-namespace sandbox, its
# readiness probe's command passes, and podman stop ends it at once; one
# whose /host has no trust store says the tool's cause in its log and is not
# ready. Every run names its pods and ConfigMap volume its own, and removes
# them. The manifests' structure.
#   kubernetes_test.sh BUILD_DIR
# As root, in a private mount namespace, which must leave the host's trust
# directories as they were. Exits 77 (skipped) without root, podman, runc,
# mmdebstrap, dpkg-scanpackages, dbus-daemon, python3's dbus and gi, or a mount
# namespace.
set -euo pipefail
build=$(realpath "$1")
self=$(realpath "$0")
here=$(dirname "$self")
src=$(cd "$here/../.." && pwd)
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# shellcheck source=../support/skips.sh
. "$here/../support/skips.sh"

if [ -z "${TKV_KUBERNETES_NS:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "needs root"
  for tool in podman runc mmdebstrap dpkg-scanpackages dbus-daemon dbus-send openssl python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  python3 -c 'import dbus, gi, yaml' 2>/dev/null || skip "python3's dbus, gi or yaml is missing"
  unshare -m true 2>/dev/null || skip "cannot make a mount namespace"
  if grep -qE 'lib(a|t|ub)san' <<<"$(ldd "$build/tkvcert")"; then skip "a sanitized build is not put in an image"; fi
  host=(/etc/ssl/certs /usr/local/share/ca-certificates /etc/ca-certificates)
  snapshot() { { find "${host[@]}" -printf '%p %y %m %s %T@ %l\n' 2>/dev/null || true; } | sort; }
  before=$(snapshot)
  status=0
  TKV_KUBERNETES_NS=1 timeout 1200 unshare -m --propagation private "$self" "$build" || status=$?
  if [ "$(snapshot)" != "$before" ]; then echo "FAIL: the machine's own trust store changed"; exit 1; fi
  exit "$status"
fi

passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }

work=$(mktemp -d /var/tmp/tkvcert-kubernetes.XXXXXX)
chmod 755 "$work"
pids=()
pods=()
image=
# This run's own names: podman keeps a played ConfigMap as a named volume,
# which a later play of that name would mount.
trust_volume=tkvcert-trust-test-$$
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pod in "${pods[@]}"; do podman kube down "$pod" >/dev/null 2>&1 || true; done
  podman volume rm -f "$trust_volume" >/dev/null 2>&1 || true
  [ -z "$image" ] || podman rmi -f "$image" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

source "$here/../support/debian_root.sh"
base=$work/base
make_debian_root "$base"
make_ca() {  # NAME [CN]
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null -out "$work/$1.pem" \
    -days 30 -utf8 -subj "/CN=${2:-TKV Kubernetes $1 CA}" -addext basicConstraints=critical,CA:TRUE >/dev/null 2>&1
}
make_ca corp
make_ca proxy "$(printf 'TKV Kubernetes \342\200\256proxy CA')"  # a right-to-left override in its name
sha256() { openssl x509 -in "$work/$1.pem" -noout -fingerprint -sha256 | cut -d= -f2 | tr -d :; }
trusts() { openssl verify -CAfile "$1/etc/ssl/certs/ca-certificates.crt" "$work/$2.pem" >/dev/null 2>&1; }

# configmap DIR KEY=FILE...: the ConfigMap's next version, as the kubelet
# writes it: a new timestamped directory, "..data" swapped to it in one
# rename, a link per key, and the links of keys gone removed.
version=0
configmap() {
  local dir=$1 entry key
  shift
  version=$((version + 1))
  mkdir -p "$dir/..v$version"
  for entry in "$@"; do cp "${entry#*=}" "$dir/..v$version/${entry%%=*}"; done
  ln -sfn "..v$version" "$dir/..data_tmp"
  mv -T "$dir/..data_tmp" "$dir/..data"
  for key in "$dir"/*; do [ -e "$key" ] || rm -f "$key"; done
  for entry in "$@"; do key=${entry%%=*}; [ -L "$dir/$key" ] || ln -s "..data/$key" "$dir/$key"; done
}
# converged LOG N: waits (at most 60 s) until LOG says "converged" N times.
converged() {
  local i
  for i in $(seq 600); do
    [ "$(grep -c '^[^ ]*: converged' "$1" 2>/dev/null || true)" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# --- The agent on a ConfigMap's directory ------------------------------------------
ran "the agent on a ConfigMap's directory"
root=$work/agent-root
cp -a "$base" "$root"
config=$work/config
mkdir "$config"
echo "$(sha256 proxy)" > "$work/absent-proxy"
configmap "$config" corp.pem="$work/corp.pem"
log=$work/agent.log
n=node-1
NODE_NAME=$n TKVCERT_SYSROOT=$root TKVCERT_AGENT_TOOL=$build/tkvcert "$build/tkvcert-agent" "$config" > "$log" 2>&1 &
pids+=($!)
agent=$!
corp=$(sha256 corp)
check "the agent converges: the CA present, changed" converged "$log" 1
check "its line names the node and the CA, and says it changed" \
  grep -q "^$n: present $corp \"TKV Kubernetes corp CA\" from corp.pem: changed" "$log"
check "the node's bundle trusts it" trusts "$root" corp
sleep 1
check "it converges once at start" test "$(grep -c ": converging" "$log")" = 1
configmap "$config" corp.pem="$work/corp.pem" absent="$work/absent-proxy"
check "a new version of the ConfigMap converges again" converged "$log" 2
check "a second convergence changes nothing" grep -q "^$n: present $corp .*: unchanged" "$log"
check "an absent CA that is not trusted is said so" grep -q "^$n: absent $(sha256 proxy): not trusted" "$log"
check "removals run before installs" test "$(grep -oE ': (absent|present) ' "$log" | tail -2 | tr -d ': \n')" = absentpresent
check "the tool's lines follow their CA's" eval 'grep -A1 "^$n: absent $(sha256 proxy): not trusted" "$log" | tail -1 |
  grep -q "^$n:   tkvcert: nothing was removed"'
ticks() { awk '{print $14 + $15}' "/proc/$agent/stat"; }
idle_before=$(ticks)
sleep 3
check "waiting, the agent spends no processor time (inotify, no polling)" test "$(ticks)" = "$idle_before"
echo "$corp" > "$work/absent-corp"
configmap "$config" absent="$work/absent-corp"
check "the CA listed as absent converges" converged "$log" 3
check "it is removed, named" grep -q "^$n: absent $corp \"TKV Kubernetes corp CA\": removed" "$log"
check "and the bundle no longer trusts it" eval '! trusts "$root" corp'
configmap "$config" proxy.pem="$work/proxy.pem"
converged "$log" 4 || true
check "a name's right-to-left override is shown escaped" grep -qF 'TKV Kubernetes \u202eproxy CA" from proxy.pem: changed' "$log"
configmap "$config"
check "a CA dropped from the list converges" converged "$log" 5
check "is said to be no longer managed, named" \
  grep -qF "$n: $(sha256 proxy) \"TKV Kubernetes \u202eproxy CA\" no longer managed: it stays trusted" "$log"
check "and stays trusted" trusts "$root" proxy
check "every line names the node" eval '! grep -v "^$n: " "$log"'
kill "$agent"

ran "SIGTERM during a run"
# SIGTERM while a run is in progress: that run ends as it would (its line
# said), no other starts, and the agent exits within a second of its end.
printf '#!/bin/sh\nsleep 2\n"%s" "$@"\nstatus=$?\ndate +%%s.%%N > "%s"\nexit $status\n' \
  "$build/tkvcert" "$work/tool-ended" > "$work/slow-tool"
chmod 755 "$work/slow-tool"
configmap "$config" corp.pem="$work/corp.pem" absent="$work/absent-proxy"
NODE_NAME=$n TKVCERT_SYSROOT=$root TKVCERT_AGENT_TOOL=$work/slow-tool "$build/tkvcert-agent" "$config" \
  > "$work/stop.log" 2>&1 &
agent=$!
pids+=($agent)
sleep 1
kill -TERM "$agent"
stop_status=0
wait "$agent" || stop_status=$?
exited=$(date +%s.%N)
check "SIGTERM during a run: the agent exits 0 (got $stop_status)" test "$stop_status" = 0
check "the run in progress ended as it would, said" grep -qE "^$n: absent $(sha256 proxy) .*: removed" "$work/stop.log"
check "no other entry started" grep -q "^$n: stopping: 1 entries not run" "$work/stop.log"
check "the agent exited within a second of the run's end" \
  awk -v a="$(cat "$work/tool-ended" 2>/dev/null || echo 0)" -v b="$exited" 'BEGIN { exit !(b - a < 1 && b >= a) }'

# Clients with roots of their own: the tool looks after each change, the
# agent says its lines once per convergence; TKVCERT_CLIENTS passes through.
root=$work/clients-root
cp -a "$base" "$root"
mkdir -p "$root/opt/vendor-jdk/lib/security"
cp -L "$root/etc/ssl/certs/java/cacerts" "$root/opt/vendor-jdk/lib/security/cacerts"
config=$work/clients-config
mkdir "$config"
clients_run() {  # CONFIGMAP_ENTRIES...; TKVCERT_CLIENTS from the caller
  configmap "$config" "$@"
  NODE_NAME=$n TKVCERT_SYSROOT=$root TKVCERT_AGENT_TOOL=$build/tkvcert "$build/tkvcert-agent" --once "$config" \
    > "$work/clients.log" 2>&1 || true
}
clients_run corp.pem="$work/corp.pem" proxy.pem="$work/proxy.pem"
check "two changes in a convergence: the clients' line said once" \
  test "$(grep -c "^$n: clients: tkvcert: 1 JDK keystore kept roots of their own: /opt/vendor-jdk/" "$work/clients.log")" = 1
check "after its CAs' lines, not among them" eval 'grep -B1 "^$n: converged" "$work/clients.log" | grep -q "^$n: clients: " &&
  ! grep -q "^$n:   tkvcert: .*roots of their own" "$work/clients.log"'
TKVCERT_CLIENTS=off clients_run absent="$work/absent-corp"
check "TKVCERT_CLIENTS=off passed through: a change, no look" eval 'grep -q ": removed" "$work/clients.log" &&
  ! grep -q "roots of their own" "$work/clients.log"'
TKVCERT_CLIENTS=fix clients_run corp.pem="$work/corp.pem"
check "TKVCERT_CLIENTS=fix passed through: the JDK pointed at the keystore" \
  grep -q "^JAVA_TOOL_OPTIONS=-Djavax.net.ssl.trustStore=/etc/ssl/certs/java/cacerts" "$root/etc/environment"

# --- Restarting units through the node's systemd ------------------------------------
ran "restarts through a stand-in systemd"
bus=$work/system_bus_socket
cat > "$work/bus.conf" <<CONF
<busconfig>
  <type>system</type>
  <listen>unix:path=$bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile > "$work/bus.log" 2>&1 &
pids+=($!)
for i in $(seq 100); do [ -S "$bus" ] && break; sleep 0.1; done
python3 "$here/systemd_stand_in.py" "unix:path=$bus" "$work/restarts" > "$work/stand-in.log" 2>&1 &
pids+=($!)
for i in $(seq 100); do
  dbus-send --bus="unix:path=$bus" --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.systemd1 2>/dev/null | grep -q true && break
  sleep 0.1
done
root=$work/restart-root
cp -a "$base" "$root"
config=$work/restart-config
mkdir "$config"
configmap "$config" corp.pem="$work/corp.pem"
restart_run() {
  NODE_NAME=node-1 TKVCERT_SYSROOT=$root TKVCERT_AGENT_TOOL=$build/tkvcert TKVCERT_AGENT_RESTART=containerd,kubelet \
    TKVCERT_AGENT_RESTART_SPREAD=2 TKVCERT_AGENT_SYSTEM_BUS=$bus \
    "$build/tkvcert-agent" --once "$config" > "$work/restart.log" 2>&1
}
restart_run || true
check "a changed bundle restarts the units through systemd, staggered" \
  test "$(cat "$work/restarts" 2>/dev/null)" = "$(printf 'containerd.service replace\nkubelet.service replace')"
check "the agent says so" grep -q '^node-1: restart containerd.service: asked of systemd' "$work/restart.log"
restart_run || true
check "nothing changed: no restart" test "$(wc -l < "$work/restarts")" = 2

# --- The image, and the DaemonSet's pod under podman kube play -----------------------
ran "the image and the DaemonSet's pod under podman kube play"
# Debian's packages fetched once from apt's mirror, then the build without a network.
mkdir "$work/debs"
mmdebstrap --variant=essential --include=bubblewrap,dbus-bin,ca-certificates,libseccomp2,libssl3,libstdc++6 \
  --skip=download/empty,essential/unlink --customize-hook="sync-out /var/cache/apt/archives $work/debs" \
  bookworm /dev/null > "$work/fetch.log" 2>&1 || { tail "$work/fetch.log"; fail "fetching the packages"; }
image=$(unshare -n "$src/contrib/kubernetes/build-image.sh" --debs "$work/debs" "$build" \
  "localhost/tkvcert-agent-test:$$") || { fail "build-image.sh"; echo "$passed passed, $failed failed"; exit 1; }
ok "build-image.sh --debs builds $image from a directory of packages, without a network"
# podman refuses the DaemonSet kind: its template, as a Pod, on a copy of a root.
pod_of() {  # ROOT NAME: the Pod, on stdout
  python3 - "$src/contrib/kubernetes/tkvcert-agent.yaml" "$1" "$2" "$image" "$trust_volume" <<'PY'
import sys, yaml
manifest, root, name, image, trust = sys.argv[1:]
daemonset = [d for d in yaml.safe_load_all(open(manifest)) if d['kind'] == 'DaemonSet'][0]
spec = daemonset['spec']['template']['spec']
spec.pop('priorityClassName', None)
for c in spec['containers']:
    c['image'], c['imagePullPolicy'] = image, 'Never'
    for e in c['env']:
        if 'valueFrom' in e:
            e.pop('valueFrom'); e['value'] = 'node-under-test'
for v in spec['volumes']:
    if 'hostPath' in v:
        v['hostPath']['path'] = root
    if 'configMap' in v:
        v['configMap']['name'] = trust
print(yaml.safe_dump({'apiVersion': 'v1', 'kind': 'Pod', 'metadata': {'name': name}, 'spec': spec}))
PY
}
{ echo 'apiVersion: v1'; echo 'kind: ConfigMap'; echo "metadata: {name: $trust_volume}"; echo 'data:'
  echo '  corp.pem: |'; sed 's/^/    /' "$work/corp.pem"; } > "$work/configmap.yaml"
# runc, and limits within the session's own, which runc may not raise.
processes=$(ulimit -Hu)
if [ "$processes" = unlimited ] || [ "$processes" -gt 4096 ]; then processes=4096; fi
printf '[containers]\ndefault_ulimits = ["nofile=%s:%s", "nproc=%s:%s"]\n[engine]\nruntime = "runc"\n' \
  "$(ulimit -Hn)" "$(ulimit -Hn)" "$processes" "$processes" > "$work/containers.conf"
play() {  # ROOT NAME: the pod played, its log in $work/NAME.log once it converged
  pod_of "$1" "$2" > "$work/$2.yaml"
  pods+=("$work/$2.yaml")
  CONTAINERS_CONF=$work/containers.conf podman kube play --network none --configmap "$work/configmap.yaml" \
    "$work/$2.yaml" > "$work/$2.play" 2>&1 || { cat "$work/$2.play"; return 1; }
  local i
  for i in $(seq 300); do
    podman logs "$2-agent" > "$work/$2.log" 2>&1 || true
    grep -q '^[^ ]*: converged' "$work/$2.log" && return 0
    sleep 0.2
  done
  return 1
}
# The readiness probe's command, which podman does not run itself.
probe() {  # POD: its status
  local command
  command=$(python3 -c 'import sys, yaml; print(" ".join(yaml.safe_load(open(sys.argv[1]))["spec"]["containers"][0]
                        ["readinessProbe"]["exec"]["command"]))' "$work/$1.yaml")
  # shellcheck disable=SC2086
  podman exec "$1-agent" $command
}
root=$work/pod-root
cp -a "$base" "$root"
pod=tkvcert-agent-pod-$$
check "the agent's pod converges on its /host" play "$root" "$pod"
check "its log says the CA is present, naming the node" \
  grep -q "^node-under-test: present $corp .*: changed" "$work/$pod.log"
check "the root's bundle trusts the CA (openssl verify)" trusts "$root" corp
check "the pod holds the manifest's capabilities only (SYS_ADMIN, SETUID, SETGID)" \
  test "$(podman exec "$pod-agent" grep CapBnd /proc/1/status | tr -d '\t')" = CapBnd:00000000002000c0
check "with them the tool runs its user-namespace sandbox, not the uid 0 fallback" \
  eval '! grep -q "uid 0 without capabilities" "$work/$pod.log"'
check "its root file system is read-only" eval '! podman exec "$pod-agent" /usr/bin/touch /written 2>/dev/null'
check "its readiness probe passes" probe "$pod"
sleep 1
podman logs "$pod-agent" > "$work/$pod.log" 2>&1 || true
check "it converges once at start" test "$(grep -c ": converging" "$work/$pod.log")" = 1
started=$(date +%s%N)
podman stop -t 30 "$pod-agent" >/dev/null 2>&1 || true
stopped_in=$((($(date +%s%N) - started) / 1000000))
check "podman stop ends it at SIGTERM, in ${stopped_in} ms, not the grace period" test "$stopped_in" -lt 5000
empty=$work/empty-root
mkdir -m 755 "$empty"
play "$empty" "tkvcert-agent-empty-$$" || true
check "a node without a trust store: the tool's cause in the pod's log" \
  grep -q 'tkvcert: no trust store found in /host' "$work/tkvcert-agent-empty-$$.log"
check "that pod is not ready" eval '! probe "tkvcert-agent-empty-$$"'

# --- The manifests -------------------------------------------------------------------
ran "the manifests"
check "the manifests hold together (selector and labels, volumes, the ConfigMap's name, /host)" \
  python3 - "$src/contrib/kubernetes/tkvcert-agent.yaml" <<'PY'
import sys, yaml
docs = {d['kind']: d for d in yaml.safe_load_all(open(sys.argv[1]))}
cm, ds = docs['ConfigMap'], docs['DaemonSet']
assert ds['apiVersion'] == 'apps/v1' and cm['apiVersion'] == 'v1'
template = ds['spec']['template']
labels = template['metadata']['labels']
assert all(labels.get(k) == v for k, v in ds['spec']['selector']['matchLabels'].items())
spec = template['spec']
volumes = {v['name']: v for v in spec['volumes']}
(container,) = spec['containers']
assert all(m['name'] in volumes for m in container['volumeMounts'])
assert volumes['trust']['configMap']['name'] == cm['metadata']['name']
assert cm['metadata']['namespace'] == ds['metadata']['namespace']
mounts = {m['mountPath']: m['name'] for m in container['volumeMounts']}
assert volumes[mounts['/host']]['hostPath']['path'] == '/'
assert {'name': 'TKVCERT_SYSROOT', 'value': '/host'} in container['env']
context = container['securityContext']
assert 'privileged' not in context and 'hostPID' not in spec
assert context['capabilities'] == {'drop': ['ALL'], 'add': ['SYS_ADMIN', 'SETUID', 'SETGID']}
assert context['readOnlyRootFilesystem'] is True
assert context['seccompProfile']['type'] and context['appArmorProfile']['type']
ready = [e['value'] for e in container['env'] if e['name'] == 'TKVCERT_AGENT_READY'][0]
assert container['readinessProbe']['exec']['command'][-1] == ready
assert 'emptyDir' in volumes[mounts[ready.rsplit('/', 1)[0]]]
assert spec['terminationGracePeriodSeconds'] > 30
PY

cleanup
trap - EXIT
check "no pod, container or volume of this run is left" \
  test -z "$(podman ps -a --format '{{.Names}}' | grep -e "-$$-agent" ; podman volume ls -q | grep -x "$trust_volume")"
ran_line
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
