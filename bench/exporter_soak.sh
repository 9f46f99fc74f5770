#!/usr/bin/env bash
# tag_exporter probing 20,000 distinct targets on loopback for a while:
# 10,000 devices of a tagagent fleet from 127.1.0.1 on (a share of whose
# requests are lost, so some probes time out), and 10,000 addresses from
# 127.2.0.1 on where nothing listens (refused). Probes go in batches of
# 1,000 at once, round after round, while the exporter's RSS and open
# descriptors are sampled every 10 s from /proc.
# Goal: nothing grows without bound; the end is near the plateau, not on a slope.
# Usage: bench/exporter_soak.sh [BUILD_DIR] [MINUTES]   (a build with -DTAGCLIENT_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
minutes=${2:-10}
for f in exporter/tag_exporter agent/tagagent bench/exporter_load; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build"; exit 1; }
done
build=$(cd "$build" && pwd)
devices=${DEVICES:-10000}
refusing=${REFUSING:-10000}
batch=${BATCH:-1000}
ulimit -n "$(ulimit -Hn)"

source scripts/background.sh
"$build/agent/tagagent" -a 127.1.0.1 -p 0 --devices "$devices" --loss 0.1 --budget 0 \
  -t $((minutes * 60 + 120)) --targets-file "$work/devices.txt" > "$work/agent.out" &
background_pids+=($!)
[[ -n $(wait_for_line "$work/agent.out" 's/^\(listening\).*/\1/p') ]] || { echo "tagagent did not start"; exit 1; }
# Addresses nobody serves: one each from 127.2.0.1 on, port 4000.
python3 -c "
import ipaddress
base = int(ipaddress.ip_address('127.2.0.1'))
for i in range($refusing): print(f'{ipaddress.ip_address(base + i)}:4000')" > "$work/refusing.txt"
cat "$work/devices.txt" "$work/refusing.txt" | shuf --random-source=<(yes) > "$work/targets.txt"
split -l "$batch" "$work/targets.txt" "$work/batch."
echo "targets: $(sort -u "$work/targets.txt" | wc -l) distinct"

printf 'modules:\n  device:\n    timeout: 1\n    retries: 1\n    tags: [TAG_DEV_ID, TAG_DEV_LABEL, TAG_DEV_STATE]\n' \
  > "$work/modules.yml"
start_exporter "$build/exporter/tag_exporter"

sample() {
  local rss fds
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
  fds=$(ls "/proc/$exporter_pid/fd" | wc -l)
  echo "$1 $rss $fds"
}
sample before >> "$work/samples.txt"
(
  start=$SECONDS
  while kill -0 "$exporter_pid" 2>/dev/null; do
    sample $((SECONDS - start)) >> "$work/samples.txt"
    sleep 10
  done
) &
background_pids+=($!)

end=$((SECONDS + minutes * 60))
rounds=0
while ((SECONDS < end)); do
  for f in "$work"/batch.*; do
    ((SECONDS < end)) || break
    "$build/bench/exporter_load" concurrent "$port" "$f" device >> "$work/load.txt" 2>/dev/null || true
  done
  rounds=$((rounds + 1))
done
sleep 11
sample end >> "$work/samples.txt"

echo "rounds over every target: $rounds (the last one cut short)"
awk '{ s += $3; f += $5; u += $7 } END { print "probes: " s " succeeded, " f " failed, " u " unanswered" }' \
  "$work/load.txt"
echo "seconds  RSS(KiB)  descriptors"
cat "$work/samples.txt"
awk 'NR == 1 { r0 = $2; d0 = $3 } { if ($2 > rp) rp = $2; if ($3 > dp) dp = $3; r = $2; d = $3 }
  END { print "RSS KiB start " r0 ", peak " rp ", end " r "; descriptors start " d0 ", peak " dp ", end " d }' \
  "$work/samples.txt"
echo "exporter peak RSS (VmHWM): $(awk '/^VmHWM/ { print $2 " KiB" }' "/proc/$exporter_pid/status")"
curl -s "http://127.0.0.1:$port/metrics" | grep -E '^tag_exporter_(probes|engine)' || true
