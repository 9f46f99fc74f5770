#!/usr/bin/env bash
# tagconf against a fleet simulated by tagagent on this machine: apply of a
# label and two numbers under 5 % and 30 % loss (convergence checked with
# tagpoll, not by tagconf's word), a second apply (SETs counted at the
# fleet) beside a plain tagpoll GET, tagconf's peak memory, and tagpoll
# --verify beside a plain SET. Prints the figures and whether each goal
# held; exits 1 if any did not. Never a test.
# Usage: bench/configure_fleet.sh [BUILD_DIR] [DEVICES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-10000}
source scripts/background.sh
conf=$build/configurator/tagconf
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
source bench/fleet_helpers.sh

# sets_arrived: how many SETs the stopped verbose fleet's closing line counts.
sets_arrived() { sed -n 's/.* \([0-9]*\) SETs arrived.*/\1/p' "$work/fleet.log" | tail -1; }

# converged: how many devices tagpoll reads back with the desired values.
converged() {
  "$poll" -f "$work/fleet.txt" -t 0.2 -r 20 GET: TAG_DEV_LABEL TAG_DEV_STATE TAG_IO_GAIN |
    grep -c $'\tGET: TAG_DEV_LABEL="Bench rack" TAG_DEV_STATE=1A TAG_IO_GAIN=0.250000 $' || true
}

max_attempts() { grep -o '"attempts":[0-9]*' "$1" | cut -d: -f2 | sort -n | tail -1; }

cat > "$work/state.yml" <<'YAML'
targets_file: fleet.txt
tags: {TAG_DEV_LABEL: "Bench rack", TAG_DEV_STATE: 1A, TAG_IO_GAIN: 0.25}
YAML

# Every fleet here is verbose (-v): its log has a line per SET served, and a
# closing count of SETs.
echo "== $devices devices, --loss 0.05: apply a label and two numbers (-t 0.2 -r 5)"
start_fleet -v --loss 0.05
timed "$work/apply.json" "$conf" apply -t 0.2 -r 5 --format json "$work/state.yml"
first_wall=$wall first_rss=$rss
echo "  $(tail -1 "$work/timed.err") in $wall s, peak RSS $rss KB, slowest took $(max_attempts "$work/apply.json") attempts"
ok=$(converged)
goal "100% converged (by tagpoll) within 3 s" "$(holds "$ok == $devices && $first_wall <= 3")" \
  "$ok of $devices in $first_wall s"
goal "peak RSS at most 64 MB" "$(holds "$first_rss <= 65536")" "$first_rss KB"

echo "== a second apply of the same file, beside a plain tagpoll GET of the same tags"
sets_before=$(grep -c 'SET of' "$work/fleet.log" || true)
timed "$work/again.txt" "$conf" apply -t 0.2 -r 5 "$work/state.yml"
again_wall=$wall
echo "  $(tail -1 "$work/again.txt") in $wall s"
timed "$work/get.txt" "$poll" -f "$work/fleet.txt" -t 0.2 -r 5 GET: TAG_DEV_LABEL TAG_DEV_STATE TAG_IO_GAIN
get_wall=$wall
echo "  tagpoll GET: $(grep -c $'\tGET: ' "$work/get.txt" || true) answered in $get_wall s"
stop_fleet
echo "  SETs arrived at the fleet over both applies: $(sets_arrived) (SETs served before the second: $sets_before)"
sets_after=$(grep -c 'SET of' "$work/fleet.log" || true)
goal "the second apply sends no SET" "$(holds "$sets_after == $sets_before")" \
  "$((sets_after - sets_before)) SETs served during it"
goal "second apply within 1.2 x a tagpoll GET" "$(holds "$again_wall <= 1.2 * $get_wall")" \
  "$again_wall s vs $get_wall s ($(calc "$again_wall / $get_wall" 2)x)"

echo "== --loss 0.30: apply with enough rounds (-t 0.2 -r 20)"
start_fleet -v --loss 0.30
timed "$work/lossy.json" "$conf" apply -t 0.2 -r 20 --format json "$work/state.yml"
echo "  $(tail -1 "$work/timed.err") in $wall s; slowest took $(max_attempts "$work/lossy.json") attempts (read attempts + write rounds)"
ok=$(converged)
goal "100% converged (by tagpoll) under 30% loss" "$(holds "$ok == $devices")" "$ok of $devices"
stop_fleet

echo "== tagpoll --verify on a --loss 0.05 fleet, beside a plain SET"
start_fleet -v --loss 0.05
timed "$work/plain.txt" "$poll" -f "$work/fleet.txt" -t 0.2 -r 5 SET: 'TAG_DEV_LABEL=Bench rack' TAG_DEV_STATE=1A TAG_IO_GAIN=0.25
ok=$(converged)
echo "  without --verify: $ok of $devices hold it, $(calc "100 * ($devices - $ok) / $devices" 2)% silently lost"
stop_fleet
start_fleet -v --loss 0.05
timed "$work/verify.txt" "$poll" -f "$work/fleet.txt" -t 0.2 -r 5 --verify SET: 'TAG_DEV_LABEL=Bench rack' TAG_DEV_STATE=1A TAG_IO_GAIN=0.25
ok=$(converged)
goal "tagpoll --verify: 100% verified" "$(holds "$ok == $devices")" "$ok of $devices in $wall s"
stop_fleet

exit $missed
