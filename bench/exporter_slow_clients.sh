#!/usr/bin/env bash
# tag_exporter against slow clients, on loopback: 5,000 connections from
# 127.0.0.1 left idle, then 5,000 trickling a request a byte every five
# seconds (both reopened when closed), while a scrape of /metrics from
# 127.0.0.2 runs twice a second.
# Goals: every scrape answered within 1 s; the exporter's peak RSS under 64 MB.
# Usage: bench/exporter_slow_clients.sh [BUILD_DIR]   (a build with -DTAGCLIENT_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
for f in exporter/tag_exporter bench/slow_clients; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build"; exit 1; }
done
build=$(cd "$build" && pwd)
connections=${CONNECTIONS:-5000}
seconds=${SECONDS_EACH:-30}
ulimit -n "$(ulimit -Hn)"

source scripts/background.sh
printf 'modules:\n  device:\n    tags: [TAG_DEV_ID]\n' > "$work/modules.yml"
start_exporter "$build/exporter/tag_exporter"

# Scrapes from 127.0.0.2 for the given seconds; prints answered, failed and
# the slowest time.
scrape_for() {
  local end=$((SECONDS + $1)) ok=0 failed=0 slowest=0 t
  while ((SECONDS < end)); do
    if t=$(curl -s -o /dev/null --interface 127.0.0.2 --max-time 1 -w '%{time_total}' \
      "http://127.0.0.1:$port/metrics"); then
      ok=$((ok + 1))
      slowest=$(awk -v a="$slowest" -v b="$t" 'BEGIN { print (b > a) ? b : a }')
    else
      failed=$((failed + 1))
    fi
    sleep 0.5
  done
  echo "scrapes from 127.0.0.2: $ok answered, $failed failed or over 1 s, slowest ${slowest} s"
}

for mode in idle trickle; do
  echo "== $connections $mode connections from 127.0.0.1 for $seconds s"
  "$build/bench/slow_clients" "$mode" 127.0.0.1 "$port" "$connections" "$seconds" &
  load=$!
  sleep 2
  scrape_for $((seconds - 4))
  wait "$load"
done
echo "exporter peak RSS: $(awk '/^VmHWM/ { print $2 / 1024 " MB" }' "/proc/$exporter_pid/status")"
