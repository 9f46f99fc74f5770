#!/usr/bin/env bash
# The Python package tagproto against tagagent on this machine: one steady
# GET beside a bare Python socket exchange of the same datagram, 1,000 and
# 10,000 devices at once (poll and asyncio) beside tagpoll on the same fleet,
# and RSS and descriptors over a soak. Prints the figures and whether each
# goal held; exits 1 if any did not. Never a test.
# Usage: bench/python_calls.sh [BUILD_DIR] [SOAK_CALLS] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
soak_calls=${2:-1000000}
runs=${3:-5}
source scripts/background.sh
agent=$build/agent/tagagent
poll=$build/poller/tagpoll
python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
export PYTHONPATH=$build/python
source bench/fleet_helpers.sh
py() { nice -n 0 "$python" bench/python_calls.py "$@"; }

echo "== one steady GET of TAG_DEV_ID, in-process, beside a bare socket exchange"
start_agent "$agent" --budget 0 -t 600
read -r _ socket_us _ get_us _ sendto_us _ polled_us < <(py steady "127.0.0.1:$agent_port" 100000)
ratio=$(calc "$get_us / $socket_us" 2)
echo "  bare socket: connected (send, recv) $socket_us us, not connected (sendto, recvfrom) $sendto_us us,"
echo "  the engine's steps (sendto, poll, error queue, recvfrom) $polled_us us; tagproto.get $get_us us"
goal "within 1.2x of the bare socket" "$(holds "$ratio <= 1.2")" "${ratio}x"
echo "  (of the socket not connected: $(calc "$get_us / $sendto_us" 2)x; of the engine's steps: $(calc "$get_us / $polled_us" 2)x)"

# fleet_goals DEVICES WALL_GOAL_MS: poll and asyncio beside tagpoll.
fleet_goals() {
  devices=$1
  start_fleet
  tagpoll_walls=()
  for _ in $(seq "$runs"); do
    timed "$work/poll.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_ID
    tagpoll_walls+=("$(calc "$wall * 1000" 2)")
    sleep 0.2
  done
  tagpoll_wall=$(median_of "${tagpoll_walls[@]}")
  echo "  tagpoll $tagpoll_wall ms (the whole program)"
  while read -r name wall answered; do
    echo "  $name $wall ms, $answered of $devices answered (the fewest of $runs runs)"
    [[ $answered == "$devices" ]] || goal "$name: every device answered" 0 "$answered"
    [[ -n $2 ]] && goal "$name: $devices devices within $2 ms" "$(holds "$wall <= $2")" "$wall ms"
    goal "$name: within 1.3x of tagpoll" "$(holds "$wall <= 1.3 * $tagpoll_wall")" \
      "$(calc "$wall / $tagpoll_wall" 2)x"
  done < <(py fleet "$work/fleet.txt" "$runs")
  stop_fleet
}
echo "== 1000 devices at once"
fleet_goals 1000 15
echo "== 10000 devices at once"
fleet_goals 10000 ""

echo "== soak: $soak_calls calls, RSS (KiB) and descriptors"
py soak "127.0.0.1:$agent_port" "$soak_calls" > "$work/soak.txt"
awk '{ printf "  after %d calls: RSS %d KiB, %d descriptors\n", $1, $2, $3 }' "$work/soak.txt"
read -r first_rss first_fds < <(sed -n '2p' "$work/soak.txt" | awk '{ print $2, $3 }')
read -r last_rss last_fds < <(tail -1 "$work/soak.txt" | awk '{ print $2, $3 }')
goal "RSS flat after the first tenth" "$(holds "$last_rss - $first_rss <= 1024")" "$first_rss -> $last_rss KiB"
goal "descriptors flat" "$(holds "$last_fds == $first_fds")" "$first_fds -> $last_fds"
exit "$missed"
