#!/usr/bin/env bash
# tag_exporter's measured goals, in one run on loopback:
#  - what a probe adds to the bare UDP exchange, p50 and p99 (goal: p99 < 1 ms);
#  - 1,000 probes at once against 1,000 simulated devices: all succeed within
#    2 s; the exporter's peak RSS (goal: at most 50 MB) and CPU time per probe.
# Usage: bench/exporter.sh [BUILD_DIR]   (a build with -DTAGCLIENT_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
for f in agent/tagagent exporter/tag_exporter bench/exporter_load; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build"; exit 1; }
done
build=$(cd "$build" && pwd)
runs=${RUNS:-2000}
devices=${DEVICES:-1000}
ulimit -n "$(ulimit -Hn)"

source scripts/background.sh
# Tags every simulated device holds, so that each probe is one exchange.
tags="TAG_DEV_ID TAG_DEV_LABEL TAG_DEV_STATE TAG_DEV_TYPE TAG_AI_CALCULATED_VALUE"
ids="8 9 6 10 52"
printf 'modules:\n  bench:\n    timeout: 2\n    retries: 2\n    tags: [%s]\n' "${tags// /, }" > "$work/modules.yml"

"$build/agent/tagagent" -p 0 -t 600 --devices "$devices" --targets-file "$work/fleet.txt" --budget 0 \
  > "$work/agent.out" &
background_pids+=($!)
wait_for_line "$work/agent.out" '/^listening/p' >/dev/null
start_exporter "$build/exporter/tag_exporter"

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$exporter_pid/stat"; }

echo "== Overhead: $runs probes, one at a time, of device 1 ($(head -n1 "$work/fleet.txt"))"
# shellcheck disable=SC2086
"$build/bench/exporter_load" overhead "$port" "$(head -n1 "$work/fleet.txt")" bench "$runs" $ids

echo "== $devices probes at once, one per device"
before=$(cpu_ticks)
"$build/bench/exporter_load" concurrent "$port" "$work/fleet.txt" bench
after=$(cpu_ticks)
ticks=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$ticks" -v n="$devices" \
  'BEGIN { printf "exporter CPU time: %.3f s for %d probes, %.1f us a probe\n", t / hz, n, t / hz / n * 1e6 }'
echo "exporter peak RSS: $(awk '/^VmHWM/ { print $2 / 1024 " MB" }' "/proc/$exporter_pid/status")"
echo "exporter threads: $(awk '/^Threads/ { print $2 }' "/proc/$exporter_pid/status")"
