#!/usr/bin/env bash
# tagconf's peak memory against fleets simulated by tagagent on this
# machine: save of the configuration group, plan and apply of a state file
# of common tags, then plan and apply of what save wrote (a target and an
# override per device), which writes back what the common tags changed,
# and that apply again, which writes nothing. The goal: at most 16 MB plus 2 KiB a
# target for each. A fleet of more than 10,000 devices is several agents
# of 10,000 each, on addresses 127.(10+k).0.1 onwards, each under the
# open-file limit. Loopback only. Prints the figures and whether each goal
# held; exits 1 if any did not. Never a test.
# Usage: bench/conf_memory.sh [BUILD_DIR] [DEVICES...]   (default 10000 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
shift || true
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(10000 100000)
source scripts/background.sh
conf=$build/configurator/tagconf
agent=$build/agent/tagagent
source bench/fleet_helpers.sh
ulimit -n "$(ulimit -Hn)"

# run_step N WHAT ARGS...: runs tagconf ARGS, prints its figures and the goal.
run_step() {
  local n=$1 what=$2
  shift 2
  timed "$work/out.txt" "$conf" -t 0.5 -r 5 "$@"
  local summary
  summary=$(grep -h 'targets' "$work/out.txt" "$work/timed.err" | tail -1 || true)
  echo "  $what: ${summary:-done} in $wall s, peak RSS $rss KB"
  local budget=$((16384 + 2 * n))
  goal "$what at most 16 MB + 2 KiB a target" "$(holds "$rss <= $budget")" "$rss KB of $budget KB"
}

cat > "$work/state.yml" <<'YAML'
targets_file: fleet.txt
tags: {TAG_DEV_LABEL: "Bench rack", TAG_DEV_STATE: 1A, TAG_IO_GAIN: 0.25}
YAML

for n in "${sizes[@]}"; do
  echo "== $n devices"
  start_fleets "$n"
  run_step "$n" "save of TAG_DEV_CFG" save -f "$work/fleet.txt" -o "$work/saved.yml" TAG_DEV_CFG
  echo "  the saved file: $(wc -c < "$work/saved.yml") bytes, $(wc -l < "$work/saved.yml") lines"
  run_step "$n" "plan of common tags" plan "$work/state.yml"
  run_step "$n" "apply of common tags" apply "$work/state.yml"
  # What the common tags changed, the saved file writes back.
  run_step "$n" "plan of the saved file" plan "$work/saved.yml"
  run_step "$n" "apply of the saved file" apply "$work/saved.yml"
  run_step "$n" "apply of the saved file again" apply "$work/saved.yml"
  stop_fleets
done

exit $missed
