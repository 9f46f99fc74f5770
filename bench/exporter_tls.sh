#!/usr/bin/env bash
# tag_exporter over HTTPS with basic authentication beside plain HTTP, in one
# run on loopback: p50 and p99 per probe over one kept-alive connection, and
# the exporter's CPU per probe (utime + stime from /proc over the probes).
# The connection is opened and the credentials verified once before
# measuring, so that what is compared is a probe once the connection is up.
# Goal: TLS and authentication add at most 20 % CPU per probe.
# Usage: bench/exporter_tls.sh [BUILD_DIR]   (a Release build; PROBES=N)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
for f in agent/tagagent exporter/tag_exporter; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build"; exit 1; }
done
command -v openssl >/dev/null && command -v python3 >/dev/null && command -v htpasswd >/dev/null ||
  { echo "needs openssl, python3 and htpasswd (apache2-utils)"; exit 1; }
build=$(cd "$build" && pwd)
probes=${PROBES:-5000}

source scripts/background.sh
printf 'modules:\n  bench:\n    timeout: 2\n    retries: 2\n    tags: [TAG_DEV_ID, TAG_DEV_LABEL, TAG_DEV_STATE, TAG_DEV_TYPE]\n' \
  >"$work/modules.yml"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
# bcrypt's usual cost: what a user's hash would have.
hash=$(htpasswd -nbBC 10 prometheus s3cret | sed -n 's/^prometheus://p')
printf 'tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\nbasic_auth_users:\n  bench: "%s"\n' \
  "$hash" >"$work/web.yml"

# --budget 0: the demo agent would otherwise drop requests past its reply budget.
start_agent "$build/agent/tagagent" -t 600 --budget 0
device=127.0.0.1:$agent_port

# start_named_exporter NAME [FLAGS...]: sets NAME_pid and NAME_port.
start_named_exporter() {
  local name=$1
  shift
  "$build/exporter/tag_exporter" --config.file="$work/modules.yml" --web.listen-address=127.0.0.1:0 "$@" \
    2>"$work/$name.err" &
  background_pids+=($!)
  printf -v "${name}_pid" '%s' $!
  local port
  port=$(wait_for_line "$work/$name.err" 's/.*listening on port \([0-9]*\).*/\1/p')
  [[ -n $port ]] || { echo "the $name exporter did not start"; cat "$work/$name.err"; exit 1; }
  printf -v "${name}_port" '%s' "$port"
}
start_named_exporter plain
start_named_exporter tls --web.config.file="$work/web.yml"

# One kept-alive connection: warm up (the handshake, the one bcrypt check),
# then N probes timed one by one, the exporter's CPU ticks read around them.
cat >"$work/client.py" <<'PY'
import base64, http.client, os, ssl, sys, time
scheme, port, pid, device, probes, ca = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6]
def ticks():
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])
if scheme == "https":
    context = ssl.create_default_context(cafile=ca)
    connection = http.client.HTTPSConnection("127.0.0.1", port, context=context)
    headers = {"Authorization": "Basic " + base64.b64encode(b"bench:s3cret").decode()}
else:
    connection = http.client.HTTPConnection("127.0.0.1", port)
    headers = {}
path = f"/probe?target={device}&module=bench"
def probe():
    connection.request("GET", path, headers=headers)
    answer = connection.getresponse()
    body = answer.read()
    if answer.status != 200 or b"tag_probe_success 1\n" not in body:
        sys.exit(f"probe failed: {answer.status} {body[:200]!r}")
for _ in range(50):
    probe()
before = ticks()
seconds = []
for _ in range(probes):
    start = time.perf_counter()
    probe()
    seconds.append(time.perf_counter() - start)
after = ticks()
seconds.sort()
cpu_us = (after - before) / os.sysconf("SC_CLK_TCK") / probes * 1e6
print(f"{scheme:5}  p50 {seconds[len(seconds) // 2] * 1e6:7.0f} us  p99 {seconds[int(len(seconds) * 0.99)] * 1e6:7.0f} us  CPU {cpu_us:6.1f} us/probe")
print(cpu_us, file=sys.stderr)
PY

echo "== $probes probes of $device over one kept-alive connection each"
python3 "$work/client.py" http "$plain_port" "$plain_pid" "$device" "$probes" "" 2>"$work/plain.cpu"
python3 "$work/client.py" https "$tls_port" "$tls_pid" "$device" "$probes" "$work/server.crt" 2>"$work/tls.cpu"
plain_cpu=$(cat "$work/plain.cpu") tls_cpu=$(cat "$work/tls.cpu")
awk -v p="$plain_cpu" -v t="$tls_cpu" 'BEGIN {
  added = (t - p) / p * 100
  printf "TLS + basic auth add %.1f %% CPU per probe (goal: at most 20 %%): %s\n", added, added <= 20 ? "met" : "NOT MET"
}'
