#!/usr/bin/env bash
# tagpoll beside the floor of a fleet poll (bench/poll_floor.cpp: one
# socket, batches of 64 each way, no retries, no output), one GET to every
# device of the same fleet, taken in turns in the same run: wall time, CPU
# (user + system), peak RSS, medians of RUNS runs each. Goals: tagpoll's CPU
# per exchange at most 1.3 times the floor's and its wall at most 1.2 times,
# at every size; its peak RSS at 100,000 targets at most 32 MB. The machine
# may be shared: medians, not single runs, and the figures vary by some
# percent between runs. A fleet of more than 10,000 devices is several
# agents of 10,000 each (127.(10+k).0.1 onwards), under the open-file limit.
# Loopback only. Prints the figures and whether each goal held; exits 1 if
# any did not. Never a test.
# Usage: bench/poll_floor.sh [BUILD_DIR] [RUNS] [DEVICES...]   (default 5; 10000 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-5}
shift 2 || shift $#
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(10000 100000)
source scripts/background.sh
poll=$build/poller/tagpoll
floor=$build/bench/poll_floor
agent=$build/agent/tagagent
source bench/fleet_helpers.sh
ulimit -n "$(ulimit -Hn)"


# measure OUT COMMAND...: sets wall (s), cpu (s, user + system) and rss (KB).
measure() {
  local out=$1
  shift
  "$build/bench/measure_run" "$work/time" "$@" > "$out" 2> "$work/measure.err" || true
  read -r wall user sys rss < <(tail -1 "$work/time")
  cpu=$(calc "$user + $sys")
}

# count_syscalls DEVICES: one more run of tagpoll under strace -c (another
# fleet, the same size): its system calls in all and those a result line
# could cost (write, ioctl), against the number of devices. Skipped without
# strace.
count_syscalls() {
  local devices=$1 calls writes ioctls
  if ! command -v strace > /dev/null; then
    echo "  (system calls not counted: strace is not installed)"
    return
  fi
  start_fleets "$devices"
  strace -c -o "$work/strace.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG > /dev/null
  stop_fleets
  calls=$(awk '$NF == "total" { print $(NF - 2) }' "$work/strace.txt")
  writes=$(awk '$NF == "write" { print $4 }' "$work/strace.txt")
  ioctls=$(awk '$NF == "ioctl" { print $4 }' "$work/strace.txt")
  echo "  system calls of one tagpoll run: ${calls:-0} in all, ${writes:-0} write, ${ioctls:-0} ioctl"
  goal "no system call per result line" "$(holds "${calls:-0} <= $devices / 10")" \
    "${calls:-0} calls for $devices devices"
}

for devices in "${sizes[@]}"; do
  echo "== $devices devices, GET: TAG_DEV_CFG, tagpoll and the floor in turns ($runs runs each)"
  start_fleets "$devices"
  poll_walls=() poll_cpus=() poll_rss=() floor_walls=() floor_cpus=()
  for i in $(seq "$runs"); do
    measure "$work/poll.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG
    answered=$(grep -c $'\tGET: ' "$work/poll.txt" || true)
    poll_walls+=("$wall") poll_cpus+=("$cpu") poll_rss+=("$rss")
    echo "  run $i: tagpoll $answered answered, $wall s wall, $cpu s CPU, $rss KB"
    [[ $answered == "$devices" ]] || all_answered=0
    measure "$work/floor.txt" "$floor" "$work/fleet.txt"
    floor_walls+=("$wall") floor_cpus+=("$cpu")
    echo "          floor   $(cat "$work/measure.err"), $wall s wall, $cpu s CPU, $rss KB"
  done
  stop_fleets
  pw=$(median_of "${poll_walls[@]}") pc=$(median_of "${poll_cpus[@]}") pr=$(median_of "${poll_rss[@]}")
  fw=$(median_of "${floor_walls[@]}") fc=$(median_of "${floor_cpus[@]}")
  echo "  medians: tagpoll $pw s wall, $pc s CPU, $pr KB; floor $fw s wall, $fc s CPU"
  goal "every device answered tagpoll" "${all_answered:-1}" "$devices devices"
  goal "tagpoll CPU at most 1.3x the floor's" "$(holds "$pc <= 1.3 * $fc")" "$(calc "$pc / $fc" 2)x"
  goal "tagpoll wall at most 1.2x the floor's" "$(holds "$pw <= 1.2 * $fw")" "$(calc "$pw / $fw" 2)x"
  if ((devices >= 100000)); then
    goal "tagpoll peak RSS at most 32 MB" "$(holds "$pr <= 32000")" "$pr KB"
  fi
  count_syscalls "$devices"
done
exit $missed
