#!/usr/bin/env bash
# What one debug probe of a device that floods it costs tag_exporter, on
# loopback only: the device answers with empty never-last segments (a bare
# 5-byte header each) until 1 MiB of them went out, past the exporter's
# bound on a reply's bytes. Prints the debug body's size and the exporter's
# peak resident memory over what it held before.
# Goal: the body at most 2 MB, the peak at most 16 MB above the start.
# Usage: bench/exporter_debug_bound.sh [BUILD_DIR]   (a build with -DTAGCLIENT_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
for f in exporter/tag_exporter bench/endless; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build --target tag_exporter endless"; exit 1; }
done
source scripts/background.sh
source bench/fleet_helpers.sh

# 1 MiB of 5-byte segments: 209,716 of them.
"$build/bench/endless" "$work/device.txt" 1 209716 120 0 &
background_pids+=($!)
for _ in $(seq 100); do [[ -s $work/device.txt ]] && break; sleep 0.05; done
device=$(head -1 "$work/device.txt")

printf 'modules:\n  label:\n    timeout: 30\n    retries: 0\n    tags: [TAG_DEV_LABEL]\n' > "$work/modules.yml"
start_exporter "$build/exporter/tag_exporter"
before=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
curl -s -m 60 -o "$work/body" "http://127.0.0.1:$port/probe?module=label&debug=true&target=$device"
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$exporter_pid/status")
body=$(stat -c %s "$work/body")
segments=$(grep -c 'received a segment' "$work/body" || true)
echo "  debug body $body bytes, $segments segment lines kept"
grep -m1 'stops here' "$work/body" | sed 's/^/  /' || true
grep -m1 'exchange ended' "$work/body" | sed 's/^/  /' || true
echo "  exporter RSS before $before KB, peak $peak KB"
goal "the debug body at most 2 MB" "$((body <= 2000000))" "$body bytes"
goal "peak RSS at most 16 MB above the start" "$((peak - before <= 16384))" "$((peak - before)) KB"
exit $missed
