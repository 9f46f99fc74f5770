#!/usr/bin/env bash
# tagpoll over IPv6 beside IPv4 on this machine: the same tagagent fleet on
# ::1 (a port per device) and from 127.0.0.1 (an address per device), one
# GET of every device. Both fleets run at once and the families take turns,
# each going first every other run, so that both see the same load; the
# medians are compared. Prints the figures and whether the goal held; exits
# 1 if it did not. Never a test.
# Usage: bench/poll_fleet_ipv6.sh [BUILD_DIR] [DEVICES] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-10000}
runs=${3:-5}
source scripts/background.sh
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
source bench/fleet_helpers.sh

# Both fleets run until the script ends.
start_fleet -a ::1
mv "$work/fleet.txt" "$work/ipv6.txt"
start_fleet -a 127.0.0.1
mv "$work/fleet.txt" "$work/ipv4.txt"
# tagpoll reads an IPv6 target with a port only in brackets.
if [[ $(grep -c '^\[::1\]:[0-9]*$' "$work/ipv6.txt") != "$devices" ]]; then
  echo "tagagent did not write its IPv6 fleet as [::1]:PORT lines: $(head -1 "$work/ipv6.txt")" >&2
  exit 1
fi

ipv6_walls=() ipv4_walls=() all_answered=1
# poll_family FAMILY RUN: one poll of that fleet; its wall time joins FAMILY_walls.
poll_family() {
  timed "$work/$1.out" "$poll" -f "$work/$1.txt" GET: TAG_DEV_CFG
  local answered
  local -n walls=${1}_walls
  answered=$(grep -c $'\tGET: ' "$work/$1.out" || true)
  echo "  run $2, $1: $answered answered in $wall s, peak RSS $rss KB"
  [[ $answered == "$devices" ]] || all_answered=0
  walls+=("$wall")
}

echo "== $devices devices on ::1 and from 127.0.0.1, one GET: TAG_DEV_CFG each ($runs runs of each)"
for i in $(seq "$runs"); do
  if ((i % 2)); then poll_family ipv6 "$i" && poll_family ipv4 "$i"; else poll_family ipv4 "$i" && poll_family ipv6 "$i"; fi
done
ipv6=$(median_of "${ipv6_walls[@]}")
ipv4=$(median_of "${ipv4_walls[@]}")
goal "every device answered in every run" "$all_answered" "$((2 * runs)) polls of $devices devices"
goal "IPv6 polling within 1.2 x the IPv4 time" "$(holds "$ipv6 <= 1.2 * $ipv4")" \
  "median $ipv6 s vs $ipv4 s ($(calc "$ipv6 / $ipv4" 2)x), $(calc "$devices / $ipv6" 0) vs $(calc "$devices / $ipv4" 0) devices/s"

exit $missed
