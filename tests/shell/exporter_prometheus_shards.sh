#!/usr/bin/env bash
# The sharded layout of docs/examples/prometheus-shards run for real: a
# simulated fleet, two tag_exporters, two Prometheus shards splitting the
# fleet by hashmod and a third Prometheus federating both, all on 127.0.0.1
# with ports chosen at run time (the example's ports replaced). Every device
# must be scraped by one shard only and appear exactly once, answered, in the
# federated view.
# Usage: exporter_prometheus_shards.sh TAGAGENT TAG_EXPORTER MODULES_FILE LAYOUT_DIR INSTALL_DEPS
set -euo pipefail
agent_bin=$1 exporter_bin=$2 modules=$3 layout=$4 install_deps=$5
devices=24

if ! command -v prometheus >/dev/null || ! command -v promtool >/dev/null; then
  bash "$install_deps" prometheus
fi

source "$(dirname "$0")/process_harness.sh"

"$agent_bin" --devices "$devices" --targets-file "$work/fleet.txt" -p 0 -t 120 >"$work/agent.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ $(wc -l <"$work/fleet.txt" 2>/dev/null || echo 0) -ge $devices ]] && break; sleep 0.1; done
[[ $(wc -l <"$work/fleet.txt") -eq $devices ]] || fail "the agent did not write its fleet"
{
  echo "- targets:"
  sed 's/.*/    - "&"/' "$work/fleet.txt"
} >"$work/fleet.yml"

cp "$modules" "$work/modules.yml"
exporter_ports=()
for i in 0 1; do
  "$exporter_bin" --config.file="$work/modules.yml" --web.listen-address=127.0.0.1:0 \
    --probe.allowed-targets=127.0.0.0/8 2>"$work/exporter-$i.log" &
  pids+=($!)
  exporter_ports+=("$(wait_for_line "$work/exporter-$i.log" 'listening on port' |
    sed 's/.*listening on port \([0-9]*\).*/\1/')")
done

# The example's files with this run's ports and one-second scrapes, beside
# the fleet file they read.
template() {
  sed -e "s/127\.0\.0\.1:9727/127.0.0.1:${exporter_ports[0]}/" \
    -e "s/127\.0\.0\.1:9728/127.0.0.1:${exporter_ports[1]}/" \
    -e "s/127\.0\.0\.1:9091/127.0.0.1:${prom_ports[0]:-9091}/" \
    -e "s/127\.0\.0\.1:9092/127.0.0.1:${prom_ports[1]:-9092}/" \
    -e "s/scrape_interval: 15s/scrape_interval: 1s/" -e "s/scrape_timeout: 10s/scrape_timeout: 1s/" "$1"
}

# Starts Prometheus on the config; prints the port. Prometheus cannot take
# port 0 and say which it got: a few ports are tried at random.
start_prometheus() {
  local name=$1 port pid
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    prometheus --config.file="$work/$name.yml" --storage.tsdb.path="$work/data-$name" \
      --web.listen-address="127.0.0.1:$port" >"$work/prometheus-$name.log" 2>&1 &
    pid=$!
    for _ in $(seq 150); do
      if curl -sf "http://127.0.0.1:$port/-/ready" >/dev/null 2>&1; then
        echo "$port $pid"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  return 1
}

prom_ports=()
for name in shard-0 shard-1 federate; do
  template "$layout/$name.yml" >"$work/$name.yml"
  promtool check config "$work/$name.yml" >/dev/null || fail "promtool refuses $name.yml"
  read -r port pid < <(start_prometheus "$name") || fail "Prometheus $name did not start"
  [[ -n ${pid:-} ]] || fail "Prometheus $name did not start"
  pids+=("$pid")
  prom_ports+=("$port")
  unset pid
done

# The value of the query's first sample on the server of that port, empty
# when it has none.
query() {
  curl -sf --get "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" |
    sed -n 's/.*"value":\[[0-9.e+]*,"\([^"]*\)"\].*/\1/p'
}
# The instance label of every series the query gives, one a line, sorted.
instances() {
  curl -sf --get "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" |
    grep -o '"instance":"[^"]*"' | sed 's/"instance":"\(.*\)"/\1/' | sort
}

# The federated view holds a probe of every device.
federate=${prom_ports[2]}
for _ in $(seq 400); do
  [[ $(query "$federate" 'count(tag_probe_success{job="tag"})') == "$devices" ]] && break
  sleep 0.1
done

check() {
  local what=$1 got=$2 want=$3
  [[ $got == "$want" ]] || fail "$what: got '$got', expected '$want'"
  echo "ok: $what = $got"
}

# Each shard scrapes a part, the parts apart and together the fleet.
shard0=$(instances "${prom_ports[0]}" 'up{job="tag"}')
shard1=$(instances "${prom_ports[1]}" 'up{job="tag"}')
n0=$(grep -c . <<<"$shard0" || true) n1=$(grep -c . <<<"$shard1" || true)
[[ $n0 -gt 0 && $n1 -gt 0 ]] || fail "a shard scrapes nothing: $n0 and $n1 devices"
check "devices scraped by both shards" "$(comm -12 <(echo "$shard0") <(echo "$shard1") | grep -c . || true)" 0
check "devices scraped by either shard" "$(sort <(echo "$shard0") <(echo "$shard1") | grep -c .)" "$devices"
echo "ok: shard 0 scrapes $n0 devices, shard 1 $n1"

# Exactly once each in the federated view, every one answered, each through
# the shard that scrapes it.
check "tag_probe_success series federated" "$(query "$federate" 'count(tag_probe_success{job="tag"})')" "$devices"
check "the fleet as federated" "$(instances "$federate" 'tag_probe_success{job="tag"}' | paste -sd' ')" \
  "$(sort "$work/fleet.txt" | paste -sd' ')"
check "devices answered" "$(query "$federate" 'sum(tag_probe_success{job="tag"})')" "$devices"
check "tag_dev_id series federated" "$(query "$federate" 'count(count by (instance) (tag_dev_id{job="tag"}))')" \
  "$devices"
check "devices with more than one tag_dev_id" \
  "$(query "$federate" 'count(count by (instance) (tag_dev_id{job="tag"}) > 1) or vector(0)')" 0
check "federated through shard 0" "$(instances "$federate" 'tag_probe_success{shard="0"}' | paste -sd' ')" \
  "$(paste -sd' ' <<<"$shard0")"
check "both shards federated" "$(query "$federate" 'count(up{job="federate"} == 1)')" 2
