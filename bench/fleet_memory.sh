#!/usr/bin/env bash
# Memory of a simulated fleet: resident size of tagagent with one device and
# with N (default 10,000), and the cost per device. Loopback only.
# Usage: bench/fleet_memory.sh [BUILD_DIR] [DEVICES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-10000}
source scripts/background.sh

# rss_kib OPTIONS...: starts an agent, waits for its first line, prints its
# resident size in KiB, stops it.
rss_kib() {
  "$build/agent/tagagent" -p 0 -t 60 "$@" > "$work/rss.out" &
  local p=$!
  [[ -n $(wait_for_line "$work/rss.out" '/^listening on /p') ]] || { echo "tagagent did not start" >&2; exit 1; }
  awk '/^VmRSS:/ { print $2 }' "/proc/$p/status"
  kill "$p"
  wait "$p" || true
}

one=$(rss_kib)
start=$(date +%s%N)
many=$(rss_kib --devices "$devices" --targets-file "$work/targets.txt")
echo "one device: $one KiB; $devices devices: $many KiB (started and stopped in $(( ($(date +%s%N) - start) / 1000000 )) ms)"
awk -v a="$one" -v b="$many" -v n="$devices" 'BEGIN { printf "per device: %.0f bytes\n", (b - a) * 1024 / n }'
