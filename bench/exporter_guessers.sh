#!/usr/bin/env bash
# tag_exporter with basic authentication under password guessers, on
# loopback: the latency of an authorised scrape whose password was verified
# before (p50, p99) with 0, 1, 8 and 64 guessers (half a wrong password for a
# real user, half unknown users, each from its own address), the latency of
# a first-time authorised request meanwhile, the same under a storm of
# authenticated reloads, and the median refusal for users of costs 4, 10, 12
# and an unknown one. Hashes are of cost 10, bcrypt's usual, but the cheap
# and costly users'.
# Goals: with 64 guessers a remembered scrape at p50 <= 5 ms and p99 <=
# 50 ms, a first-time request within 1 s; refusals as long for an unknown
# user as for any other (within 25 %).
# Usage: bench/exporter_guessers.sh [BUILD_DIR]   (RUN_SECONDS=N per run, 10 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
for f in exporter/tag_exporter bench/guessers; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build --target tag_exporter guessers"; exit 1; }
done
build=$(cd "$build" && pwd)
seconds=${RUN_SECONDS:-10}
guessers=$build/bench/guessers

source scripts/background.sh
printf 'modules:\n  m:\n    tags: [TAG_DEV_ID]\n' >"$work/modules.yml"
{
  echo "basic_auth_users:"
  echo "  bench: $("$guessers" hash s3cret 10)"
  # One first-time user per half second of every run, and some to spare.
  for i in $(seq 0 $((seconds * 2 + 4))); do echo "  first$i: $("$guessers" hash first 10)"; done
} >"$work/web.yml"

status=0
for count in 0 1 8 64; do
  for storm in "" storm; do
    [[ -n $storm && $count != 0 ]] && continue
    start_exporter "$build/exporter/tag_exporter" --web.config.file="$work/web.yml"
    "$guessers" run "$port" "$count" "$seconds" $storm | tee "$work/run.out" || status=1
    if [[ $count == 64 ]]; then
      awk '/authorised scrape/ { p50 = $6; p99 = $9 }
           /first-time/ { max = $13 }
           END { ok = p50 <= 5 && p99 <= 50 && max <= 1000
                 printf "  goal (p50 <= 5 ms, p99 <= 50 ms, first-time <= 1000 ms): %s\n", ok ? "met" : "MISSED"
                 exit !ok }' "$work/run.out" || status=1
    fi
    kill "$exporter_pid"
    wait "$exporter_pid" 2>/dev/null || true
  done
done

# Refusals: a cheap, a usual and a costly user, and one that does not exist.
{
  echo "basic_auth_users:"
  echo "  cheap: $("$guessers" hash s3cret 4)"
  echo "  usual: $("$guessers" hash s3cret 10)"
  echo "  costly: $("$guessers" hash s3cret 12)"
} >"$work/web.yml"
start_exporter "$build/exporter/tag_exporter" --web.config.file="$work/web.yml"
"$guessers" refusals "$port" cheap usual costly nobody | tee "$work/refusals.out"
awk '{ ms[$3] = $5 } END { lo = hi = ms["nobody:"]
       for (u in ms) { if (ms[u] < lo) lo = ms[u]; if (ms[u] > hi) hi = ms[u] }
       ok = hi <= lo * 1.25
       printf "  goal (every refusal within 25 %% of the others): %s\n", ok ? "met" : "MISSED"; exit !ok }' \
  "$work/refusals.out" || status=1
exit $status
