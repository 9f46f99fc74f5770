#!/usr/bin/env bash
# What devices whose replies never end cost, on loopback only:
#  - tagpoll asking 100 of them at once: every one ends as reply_too_long,
#    peak RSS at most 128 MB;
#  - tag_exporter probing 1,024 of them at once: every probe fails, peak RSS
#    at most 128 MB, and resident memory afterwards.
# Usage: bench/endless_devices.sh [BUILD_DIR]   (a build with -DTAGCLIENT_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
for f in poller/tagpoll exporter/tag_exporter bench/endless bench/exporter_load; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build"; exit 1; }
done
ulimit -n "$(ulimit -Hn)"
source scripts/background.sh
source bench/fleet_helpers.sh

# Each device streams up to 4,000 segments of 1 KB a request: 4 MB, past any bound.
"$build/bench/endless" "$work/endless.txt" 1024 4000 120 &
background_pids+=($!)
for _ in $(seq 100); do [[ $(wc -l < "$work/endless.txt" 2>/dev/null || echo 0) == 1024 ]] && break; sleep 0.05; done

echo "== tagpoll, 100 endless devices at once"
head -100 "$work/endless.txt" > "$work/hundred.txt"
/usr/bin/time -f %M -o "$work/rss" "$build/poller/tagpoll" -f "$work/hundred.txt" -t 10 -r 0 -o csv --summary \
  GET: TAG_DEV_LABEL > "$work/poll.csv" 2> "$work/poll.err" || true
too_long=$(grep -c ',reply_too_long,' "$work/poll.csv" || true)
rss=$(tail -n1 "$work/rss")
echo "  $(tail -n1 "$work/poll.err")"
goal "every device ends as reply_too_long" "$([[ $too_long == 100 ]] && echo 1 || echo 0)" "$too_long of 100"
goal "tagpoll peak RSS at most 128 MB" "$((rss <= 131072))" "$rss KB"

echo "== tag_exporter, 1,024 probes of endless devices at once"
printf 'modules:\n  label:\n    timeout: 10\n    retries: 0\n    tags: [TAG_DEV_LABEL]\n' > "$work/modules.yml"
start_exporter "$build/exporter/tag_exporter" --probe.max-in-flight=1024
before=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
"$build/bench/exporter_load" concurrent "$port" "$work/endless.txt" label || true
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$exporter_pid/status")
after=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
echo "  exporter RSS before $before KB, peak $peak KB, after $after KB"
goal "exporter peak RSS at most 128 MB" "$((peak <= 131072))" "$peak KB"
exit $missed
