#!/usr/bin/env bash
# With their defaults (-t 2 -r 30), tagconf apply and tagpoll --verify must
# bring a whole fleet under 5 % loss to the desired values in every run, by
# tagpoll's reading of the devices, not by the tools' word; and a dead device
# must still end within the bound tagconf(1) and tagpoll(1) state. Each run
# starts a fresh fleet, so that every run writes. Prints the figures and
# whether each goal held; exits 1 if any did not. Never a test.
# Usage: bench/converge_defaults.sh [BUILD_DIR] [DEVICES] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-10000}
runs=${3:-10}
source scripts/background.sh
conf=$build/configurator/tagconf
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
source bench/fleet_helpers.sh
export TAGCONF_LOCK_FILE=$work/tagconf.lock

# converged: how many devices tagpoll reads back with the desired values.
converged() {
  "$poll" -f "$work/fleet.txt" -t 0.2 -r 20 GET: TAG_DEV_LABEL TAG_DEV_STATE TAG_IO_GAIN |
    grep -c $'\tGET: TAG_DEV_LABEL="Bench rack" TAG_DEV_STATE=1A TAG_IO_GAIN=0.250000 $' || true
}

cat > "$work/state.yml" <<'YAML'
targets_file: fleet.txt
tags: {TAG_DEV_LABEL: "Bench rack", TAG_DEV_STATE: 1A, TAG_IO_GAIN: 0.25}
YAML

# runs_of NAME COMMAND...: the command on $runs fresh fleets at 5 % loss.
runs_of() {
  local name=$1 whole=0 said=0 walls=() i ok status
  shift
  echo "== $name, defaults, $devices devices, --loss 0.05, $runs runs"
  for i in $(seq "$runs"); do
    start_fleet --loss 0.05
    timed "$work/run.out" "$@"
    status=$(sed -n 's/^Command exited with non-zero status \([0-9]*\)$/\1/p' "$work/rss")
    ok=$(converged)
    stop_fleet
    walls+=("$wall")
    [[ $ok == "$devices" ]] && whole=$((whole + 1))
    [[ -z $status ]] && said=$((said + 1))
    echo "  run $i: $ok of $devices hold it, exit ${status:-0}, $wall s"
  done
  goal "$name: every device converged in every run" "$(holds "$whole == $runs")" "$whole of $runs runs"
  goal "$name: exit 0 (all verified) in every run" "$(holds "$said == $runs")" "$said of $runs runs"
  echo "  median wall $(median_of "${walls[@]}") s"
}

runs_of "tagconf apply" "$conf" apply "$work/state.yml"
runs_of "tagpoll --verify" "$poll" -f "$work/fleet.txt" --verify SET: 'TAG_DEV_LABEL=Bench rack' TAG_DEV_STATE=1A TAG_IO_GAIN=0.25

# A dead device: it drops every request. The bound stated in the man pages:
# six -t from the first request for the read, as long again for a write
# (tagconf: 24 s at the defaults for one that falls silent after the read;
# tagpoll --verify: 12 s).
echo "== a dead device, defaults"
devices=1
start_fleet --loss 1
timed "$work/dead.out" "$conf" apply "$work/state.yml"
echo "  tagconf apply: $(head -1 "$work/dead.out" | cut -f2) in $wall s"
goal "tagconf apply ends within 12.5 s for a device that never answers" "$(holds "$wall <= 12.5")" "$wall s"
timed "$work/dead.out" "$poll" -f "$work/fleet.txt" --verify SET: TAG_DEV_STATE=1A
echo "  tagpoll --verify: $(head -1 "$work/dead.out" | cut -f2) in $wall s"
goal "tagpoll --verify ends within 12.5 s for a device that never answers" "$(holds "$wall <= 12.5")" "$wall s"
stop_fleet

exit $missed
