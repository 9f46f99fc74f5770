#!/usr/bin/env bash
# Instructions per exchange of one tagpoll GET of a fleet beside those of
# the floor poller (bench/poll_floor.cpp) against the same fleet, counted by
# callgrind: user space only, and steady on a machine others load, where
# bench/poll_floor.sh's CPU times vary by tens of percent. The engine's own
# part is Engine::process with tagpoll's result callback, the reply's
# decoding (or its check, read in place) and its freeing taken out,
# Engine::submit put back. Loopback only. Prints the figures; no goal (the
# CPU goal is poll_floor.sh's).
# Usage: bench/poll_instructions.sh [BUILD_DIR] [DEVICES]   (default 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-10000}
bash scripts/install-deps.sh valgrind
source scripts/background.sh
agent=$build/agent/tagagent
source bench/fleet_helpers.sh
ulimit -n "$(ulimit -Hn)"

# inclusive OUT PATTERN: the inclusive count of the first function matching;
# 0 when none was called.
inclusive() {
  callgrind_annotate --inclusive=yes "$1" 2>/dev/null | grep -v '=>' | { grep -E "$2" || true; } | head -1 |
    awk '{ gsub(",", "", $1); n = $1 + 0 } END { print n + 0 }'
}

start_fleets "$devices"
valgrind --tool=callgrind --callgrind-out-file="$work/poll.cg" "$build/poller/tagpoll" -f "$work/fleet.txt" \
  GET: TAG_DEV_CFG > "$work/poll.txt" 2> "$work/poll.err" || true
valgrind --tool=callgrind --callgrind-out-file="$work/floor.cg" "$build/bench/poll_floor" "$work/fleet.txt" \
  > /dev/null 2> "$work/floor.err" || true
stop_fleets
answered=$(grep -c $'\tGET: ' "$work/poll.txt" || true)
poll=$(inclusive "$work/poll.cg" 'PROGRAM TOTALS')
floor=$(inclusive "$work/floor.cg" 'PROGRAM TOTALS')
process=$(inclusive "$work/poll.cg" 'Engine::process\(')
callback=$(inclusive "$work/poll.cg" 'Function_handler<void \(tagengine::Result&&\), tagpoll::.*Feed::submit')
submit=$(inclusive "$work/poll.cg" 'tagengine::Engine::submit\(')
# Decoding is a VMsg made, or the check of a view read in place.
decode=$(($(inclusive "$work/poll.cg" 'VMsg::parseMsg\(void const\*, unsigned short\) \[') +
  $(inclusive "$work/poll.cg" 'VMsgView::parse\(void const\*, unsigned short\) \[')))
free=$(inclusive "$work/poll.cg" 'VMsg::~VMsg\(\) \[')
engine=$((process - callback + submit - decode - free))
echo "== $devices devices, GET: TAG_DEV_CFG under callgrind ($answered answered by tagpoll)"
echo "  tagpoll: $poll instructions, $((poll / devices)) an exchange"
echo "  floor:   $floor instructions, $((floor / devices)) an exchange ($(calc "$poll / $floor" 2)x)"
echo "  engine's own: $engine instructions, $((engine / devices)) an exchange"
