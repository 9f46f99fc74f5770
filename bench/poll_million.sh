#!/usr/bin/env bash
# tagpoll against fleets of 10,000, 100,000 and 1,000,000 devices, each
# played by one tagagent through one socket on 127.0.0.0/8: the agent's
# start-up time and peak memory, then per poll (one GET: TAG_DEV_CFG of every
# device) tagpoll's wall time, CPU, peak RSS and the agent's CPU. Medians of
# RUNS polls; the machine may be shared, so read them as such. Exits 1 if a
# goal is missed. Loopback only; never a test.
# Usage: bench/poll_million.sh [BUILD_DIR] [RUNS] [SIZES...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-3}
shift $(($# > 2 ? 2 : $#))
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(10000 100000 1000000)
source scripts/background.sh
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
source bench/fleet_helpers.sh

# cpu_ticks PID: user and system time the process has used, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
ticks_per_s=$(getconf CLK_TCK)

for devices in "${sizes[@]}"; do
  echo "== $devices devices, one GET: TAG_DEV_CFG each ($runs runs)"
  start=$(now)
  start_fleet
  started=$(calc "$(now) - $start" 2)
  agent_kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$fleet_pid/status")
  echo "  tagagent: listening after $started s (targets file written), peak RSS $agent_kb KB"
  if [[ $devices -ge 1000000 ]]; then
    goal "a million devices start within 5 s" "$(holds "$started <= 5")" "$started s"
    goal "a million devices start under 1 GB" "$(holds "$agent_kb <= 1048576")" "$agent_kb KB"
  fi
  walls=() cpus=() rsses=() agent_cpus=()
  for i in $(seq "$runs"); do
    before=$(cpu_ticks "$fleet_pid")
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_CFG \
      > "$work/poll.txt" 2> "$work/poll.err" || true
    read -r wall user sys rss < <(tail -1 "$work/time")
    cpu=$(calc "$user + $sys" 2)
    agent_cpu=$(calc "($(cpu_ticks "$fleet_pid") - $before) / $ticks_per_s" 2)
    answered=$(grep -c $'\tGET: ' "$work/poll.txt" || true)
    echo "  run $i: $answered answered; tagpoll $wall s wall, $cpu s CPU, peak RSS $rss KB;" \
      "tagagent $agent_cpu s CPU"
    [[ $answered == "$devices" ]] || all_answered=0
    walls+=("$wall") cpus+=("$cpu") rsses+=("$rss") agent_cpus+=("$agent_cpu")
  done
  agent_kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$fleet_pid/status")
  echo "  median: tagpoll $(median_of "${walls[@]}") s wall, $(median_of "${cpus[@]}") s CPU," \
    "peak RSS $(median_of "${rsses[@]}") KB; tagagent $(median_of "${agent_cpus[@]}") s CPU," \
    "peak RSS $agent_kb KB after the polls"
  goal "every device answered in every run" "${all_answered:-1}" "$devices devices x $runs runs"
  if [[ $devices -ge 1000000 ]]; then
    goal "tagagent stays under 1 GB while polled" "$(holds "$agent_kb <= 1048576")" "$agent_kb KB"
  fi
  stop_fleet
  unset all_answered
done
exit "$missed"
