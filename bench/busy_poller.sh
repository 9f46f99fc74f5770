#!/usr/bin/env bash
# Needless datagrams on a loaded machine: tagpoll reads a fresh fleet of
# DEVICES while two CPU hogs at nice 19 run beside it (for each run only,
# stopped after), and the fleet counts the requests it read. Every device
# answers (no loss), so every request beyond one per device is needless.
# Goal: none, in every run. Prints the machine's load average with each run:
# a shared machine's own load counts too. Never a test.
# Usage: bench/busy_poller.sh [BUILD_DIR] [RUNS] [DEVICES...]   (default 5; 1000 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-5}
shift 2 || shift $#
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(1000 10000)
source scripts/background.sh
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
source bench/fleet_helpers.sh

for devices in "${sizes[@]}"; do
  echo "== $devices devices, GET: TAG_DEV_CFG beside two CPU hogs, $runs runs"
  clean=0 counts=()
  for i in $(seq "$runs"); do
    # -v: the closing record with the count of requests read.
    start_fleet -v
    hogs=()
    for _ in 1 2; do
      nice -n 19 yes > /dev/null &
      hogs+=($!)
      background_pids+=($!)
    done
    timed "$work/poll.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG
    kill "${hogs[@]}" 2>/dev/null || true
    wait "${hogs[@]}" 2>/dev/null || true
    stop_fleet
    asked=$(sed -n 's/.*served \([0-9]*\) requests with .*/\1/p' "$work/fleet.log" | tail -1)
    answered=$(grep -c $'\tGET: ' "$work/poll.txt" || true)
    needless=$((asked - devices))
    counts+=("$needless")
    ((needless == 0)) && clean=$((clean + 1))
    echo "  run $i: $answered answered, $asked requests at the devices ($needless needless), $wall s;" \
      "load $(cut -d' ' -f1-3 /proc/loadavg)"
  done
  echo "  median needless datagrams $(median_of "${counts[@]}"), most $(printf '%s\n' "${counts[@]}" | sort -n | tail -1)"
  goal "no needless datagram at $devices devices on a loaded machine" "$(holds "$clean == $runs")" \
    "$clean of $runs runs"
done

exit $missed
