#!/usr/bin/env bash
# tagpoll against a fleet simulated by tagagent on this machine: one poll of
# every device, beside tagclient run through xargs, under loss, with dead
# targets, its peak memory, and the fleet's own ceiling. Prints the figures
# and whether each goal held; exits 1 if any did not. Never a test.
# Usage: bench/poll_fleet.sh [BUILD_DIR] [DEVICES] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-10000}
runs=${3:-5}
source scripts/background.sh
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
client=$build/client/tagclient
flood=$build/bench/fleet_flood
source bench/fleet_helpers.sh

echo "== $devices devices, one GET: TAG_DEV_CFG each ($runs runs)"
start_fleet
walls=()
for i in $(seq "$runs"); do
  timed "$work/poll.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG
  answered=$(grep -c $'\tGET: ' "$work/poll.txt" || true)
  echo "  run $i: $answered answered in $wall s, peak RSS $rss KB"
  walls+=("$wall")
  [[ $answered == "$devices" ]] || all_answered=0
done
median=$(median_of "${walls[@]}")
poll_rate=$(calc "$devices / $median" 0)
goal "all answered within 0.5 s" "$(holds "${all_answered:-1} == 1 && $median <= 0.5")" \
  "median $median s, $poll_rate devices/s"
goal "peak RSS at most 64 MB" "$(holds "$rss <= 65536")" "$rss KB"

echo "== xargs -P 8 tagclient over the first 1000 devices"
head -1000 "$work/fleet.txt" | awk -F: '{ print "-h", $1, "-p", $2, "GET:", "TAG_DEV_CFG" }' > "$work/args.txt"
start=$(now)
xargs -P 8 -L 1 "$client" < "$work/args.txt" > "$work/xargs.txt"
xargs_wall=$(calc "$(now) - $start")
xargs_answered=$(grep -c '^GET: ' "$work/xargs.txt" || true)
xargs_rate=$(calc "1000 / $xargs_wall" 0)
echo "  $xargs_answered answered in $xargs_wall s, $xargs_rate devices/s"
speedup=$(calc "$poll_rate / $xargs_rate" 1)
goal "at least 30 times the devices per second of xargs" "$(holds "$speedup >= 30")" "${speedup}x"

echo "== the fleet's own ceiling (flooded, 256 in flight)"
ceiling_line=$("$flood" "$work/fleet.txt" $((devices * 20)) 256)
ceiling=${ceiling_line##*, }
ceiling=${ceiling% answers/s}
echo "  $ceiling_line"
echo "  tagpoll reached $(calc "100 * $poll_rate / $ceiling" 1)% of it"
stop_fleet

echo "== --loss 0.05, -r 3"
start_fleet --loss 0.05
timed "$work/loss.json" "$poll" -f "$work/fleet.txt" -r 3 -o json GET: TAG_DEV_CFG
answered=$(grep -c '"status":"answered"' "$work/loss.json" || true)
share=$(calc "100 * $answered / $devices" 3)
echo "  $answered of $devices answered in $wall s; attempts: $(grep -o '"attempts":[0-9]*' "$work/loss.json" |
  sort | uniq -c | awk '{ sub(/.*:/, "", $2); printf "%s%s x%s", sep, $1, $2; sep = ", " }')"
goal "at least 99.99% answered" "$(holds "$answered * 10000 >= $devices * 9999")" "$share%"
stop_fleet

echo "== 1000 targets, 100 of them with nothing listening (-t 2 -r 2)"
devices_before=$devices
devices=900
start_fleet
for i in $(seq 100); do echo "127.200.0.$i:9"; done >> "$work/fleet.txt"
timed "$work/dead.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG
echo "  $(grep -c $'\tGET: ' "$work/dead.txt" || true) answered, $(grep -c 'RX_REFUSED' "$work/dead.txt" || true) refused in $wall s"
goal "done within time-out x attempts + 0.5 s" "$(holds "$wall <= 6.5")" "$wall s of 6.5 s"
stop_fleet

echo "== the same with 100 devices that never answer (--loss 1), for comparison"
start_fleet
"$agent" -p 0 -t 600 -a 127.100.0.1 --devices 100 --targets-file "$work/silent.txt" --loss 1 > "$work/silent.out" &
background_pids+=($!)
for _ in $(seq 200); do grep -q '^listening' "$work/silent.out" 2>/dev/null && break; sleep 0.05; done
cat "$work/silent.txt" >> "$work/fleet.txt"
timed "$work/silent.out.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG
echo "  $(grep -c $'\tGET: ' "$work/silent.out.txt" || true) answered, $(grep -c 'RX_TIMEOUT' "$work/silent.out.txt" || true) timed out in $wall s (-t 2 -r 2: 6 s)"
devices=$devices_before

exit $missed
