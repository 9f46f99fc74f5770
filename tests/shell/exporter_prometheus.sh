#!/usr/bin/env bash
# tag_exporter scraped by a real Prometheus: a device (or a simulated fleet),
# a target with nothing listening, the exporter and Prometheus, all on
# 127.0.0.1 with ports chosen at run time. After two scrapes, Prometheus's
# HTTP API must hold what the device holds, and promtool must accept what
# the exporter serves.
# Usage: exporter_prometheus.sh TAGAGENT TAG_EXPORTER TAGCLIENT MODULES_FILE INSTALL_DEPS
set -euo pipefail
agent_bin=$1 exporter_bin=$2 client_bin=$3 modules=$4 install_deps=$5

if ! command -v prometheus >/dev/null || ! command -v promtool >/dev/null; then
  bash "$install_deps" prometheus
fi

source "$(dirname "$0")/process_harness.sh"

# The device under test: the first of a simulated fleet when the agent can
# simulate one, else the agent's one demo device.
if "$agent_bin" --help | grep -q -- '--devices'; then
  "$agent_bin" --devices 3 --targets-file "$work/fleet.txt" -p 0 >"$work/agent.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [[ -s $work/fleet.txt ]] && break; sleep 0.1; done
  device=$(tail -n1 "$work/fleet.txt")
else
  "$agent_bin" -p 0 >"$work/agent.log" 2>&1 &
  pids+=($!)
  device=$(wait_for_line "$work/agent.log" '^listening on ' | awk '{print $3}')
fi
[[ -n $device ]] || fail "the agent did not say where it listens"

# A port with nothing listening: one an agent held a moment ago.
"$agent_bin" -p 0 -n 1 >"$work/dead.log" 2>&1 &
dead_pid=$!
dead=$(wait_for_line "$work/dead.log" '^listening on ' | awk '{print $3}')
kill "$dead_pid"; wait "$dead_pid" 2>/dev/null || true

# A modules file with an error stops the start, naming its line.
printf 'modules:\n  device:\n    tags: [TAG_DEV_ID]\n    colour: blue\n' >"$work/bad.yml"
status=0
"$exporter_bin" --config.file="$work/bad.yml" --web.listen-address=127.0.0.1:0 2>"$work/bad.err" || status=$?
[[ $status == 1 ]] || fail "a bad modules file gave exit status $status, not 1"
grep -q "^tag_exporter: $work/bad.yml:4: unknown key \"colour\"" "$work/bad.err" || fail "no FILE:LINE: $(cat "$work/bad.err")"

cp "$modules" "$work/modules.yml"
"$exporter_bin" --config.file="$work/modules.yml" --web.listen-address=127.0.0.1:0 --probe.allowed-targets=127.0.0.0/8 \
  2>"$work/exporter.log" &
exporter_pid=$!
pids+=("$exporter_pid")
exporter_port=$(wait_for_line "$work/exporter.log" 'listening on port' | sed 's/.*listening on port \([0-9]*\).*/\1/')
exporter=127.0.0.1:$exporter_port

cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: tag
    metrics_path: /probe
    params:
      module: [device, ai]
    static_configs:
      - targets: ['$device', '$dead']
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__param_target]
        target_label: instance
      - target_label: __address__
        replacement: '$exporter'
  - job_name: exporter
    static_configs:
      - targets: ['$exporter']
YAML

# Prometheus cannot take port 0 and say which it got: try a few at random.
started=
for _ in 1 2 3 4 5; do
  prom_port=$((20000 + RANDOM % 30000))
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$prom_port" >"$work/prometheus.log" 2>&1 &
  prom_pid=$!
  for _ in $(seq 150); do
    if curl -sf "http://127.0.0.1:$prom_port/-/ready" >/dev/null 2>&1; then started=1; break; fi
    kill -0 "$prom_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -n $started ]]; then pids+=("$prom_pid"); break; fi
  kill "$prom_pid" 2>/dev/null || true; wait "$prom_pid" 2>/dev/null || true
done
[[ -n $started ]] || fail "Prometheus did not start"
api=http://127.0.0.1:$prom_port/api/v1

# The value of the query's first sample, empty when it has none.
query() {
  curl -sf --get "$api/query" --data-urlencode "query=$1" |
    sed -n 's/.*"value":\[[0-9.e+]*,"\([^"]*\)"\].*/\1/p'
}

# Two scrapes of each target.
for _ in $(seq 300); do
  scrapes=$(query "min(count_over_time(up{job=\"tag\"}[1m])) >= 2 and count(up{job=\"tag\"}) == 2")
  [[ -n $scrapes ]] && break
  sleep 0.1
done
[[ -n $scrapes ]] || fail "Prometheus did not scrape both targets twice"

# What the device holds, asked with tagclient.
device_host=${device%:*} device_port=${device##*:}
truth=$("$client_bin" -h "$device_host" -p "$device_port" GET: TAG_DEV_ID TAG_DEV_LABEL TAG_AI_CALCULATED_VALUE | grep '^GET: ')
want_id=$((16#$(sed 's/.*TAG_DEV_ID=\([0-9A-F]*\).*/\1/' <<<"$truth")))
want_label=$(sed 's/.*TAG_DEV_LABEL="\([^"]*\)".*/\1/' <<<"$truth")
want_float=$(sed 's/.*TAG_AI_CALCULATED_VALUE=\([-0-9.]*\).*/\1/' <<<"$truth")

check() {
  local what=$1 got=$2 want=$3
  [[ $got == "$want" ]] || fail "$what: Prometheus has '$got', expected '$want'"
  echo "ok: $what = $got"
}
check "up of the device" "$(query "up{instance=\"$device\"}")" 1
check "up of the dead target" "$(query "up{instance=\"$dead\"}")" 1
check "tag_dev_id" "$(query "tag_dev_id{instance=\"$device\"}")" "$want_id"
got_float=$(query "tag_ai_calculated_value{instance=\"$device\"}")
awk -v a="$got_float" -v b="$want_float" 'BEGIN { d = a - b; exit !(a != "" && d < 1e-4 && d > -1e-4) }' ||
  fail "tag_ai_calculated_value: Prometheus has '$got_float', the device holds '$want_float'"
echo "ok: tag_ai_calculated_value = $got_float"
check "the label of tag_dev_label_info" \
  "$(query "count(tag_dev_label_info{instance=\"$device\",value=\"$want_label\"})")" 1
check "tag_probe_success of the device" "$(query "tag_probe_success{instance=\"$device\"}")" 1
check "tag_probe_success of the dead target" "$(query "tag_probe_success{instance=\"$dead\"}")" 0
check "up of the exporter itself" "$(query 'up{job="exporter"}')" 1

curl -sf "http://$exporter/probe?target=$device&module=device&module=ai&module=site" >"$work/probe.txt"
promtool check metrics <"$work/probe.txt" || fail "promtool refuses /probe"
curl -sf "http://$exporter/metrics" >"$work/metrics.txt"
promtool check metrics <"$work/metrics.txt" || fail "promtool refuses /metrics"
grep -q '^tag_exporter_probes_total{result="success"} [1-9]' "$work/metrics.txt" || fail "no successful probe counted"
echo "ok: promtool accepts /probe and /metrics"

# SIGHUP: a bad file keeps the modules in force and counts the failure; a
# good one is taken.
cp "$work/bad.yml" "$work/modules.yml"
kill -HUP "$exporter_pid"
for _ in $(seq 50); do
  serves "http://$exporter/metrics" '^tag_exporter_config_reloads_total{result="failure"} 1$' && break
  sleep 0.1
done
serves "http://$exporter/metrics" '^tag_exporter_config_last_reload_successful 0$' || fail "failed reload not shown"
serves "http://$exporter/probe?target=$device&module=ai" '^tag_probe_success 1$' ||
  fail "the modules in force were lost with a bad reload"
printf 'modules:\n  only_id:\n    tags: [TAG_DEV_ID]\n' >"$work/modules.yml"
kill -HUP "$exporter_pid"
for _ in $(seq 50); do
  serves "http://$exporter/probe?target=$device&module=only_id" "^tag_dev_id $want_id$" && break
  sleep 0.1
done
serves "http://$exporter/metrics" '^tag_exporter_config_last_reload_successful 1$' || fail "good reload not shown"
[[ $(curl -s -o /dev/null -w '%{http_code}' "http://$exporter/probe?target=$device&module=ai") == 400 ]] ||
  fail "a module dropped by the reload is still served"
echo "ok: SIGHUP reloads, keeping the old modules when the new file is bad"
