#!/usr/bin/env bash
# Whole-process cost of one tagclient run beside the floor program, measured
# in one run: wall time with hyperfine, instructions with callgrind under a
# fixed, empty environment. Loopback only; every server here is bounded.
# Usage: bench/roundtrip.sh [BUILD_DIR]   (a build with -DTAGCLIENT_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
bash scripts/install-deps.sh hyperfine valgrind
for f in client/tagclient agent/tagagent bench/floor bench/responder; do
  [[ -x $build/$f ]] || { echo "missing $build/$f: cmake -S . -B $build -DTAGCLIENT_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build $build"; exit 1; }
done
build=$(cd "$build" && pwd)

source scripts/background.sh
start_agent "$build/agent/tagagent" -t 600
"$build/bench/responder" "$work/responder.port" 1000000 600 &
background_pids+=($!)
responder_port=$(wait_for_line "$work/responder.port" p)

names=("tagclient GET" "floor" "tagclient SET")
commands=(
  "$build/client/tagclient -h 127.0.0.1 -p $agent_port GET: TAG_DEV_ID TAG_DEV_LABEL TAG_VERSION"
  "$build/bench/floor -h 127.0.0.1 -p $responder_port"
  "$build/client/tagclient -h 127.0.0.1 -p $agent_port SET: TAG_DEV_LABEL=bench"
)

hyperfine -N --warmup 30 --runs "${RUNS:-500}" --export-csv "$work/wall.csv" "${commands[@]}" >/dev/null

instructions() {
  # shellcheck disable=SC2086
  env -i valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" $1 >/dev/null 2>&1
  sed -n 's/^summary: *//p; s/^totals: *//p' "$work/cg.out" | head -n 1
}

printf '\n%-15s %12s %14s %10s %12s\n' "run" "wall (us)" "instructions" "wall/floor" "instr/floor"
mapfile -t means < <(awk -F, 'NR > 1 { printf "%d\n", $2 * 1e6 }' "$work/wall.csv")
counts=()
for i in "${!commands[@]}"; do counts+=("$(instructions "${commands[$i]}")"); done
for i in "${!commands[@]}"; do
  awk -v n="${names[$i]}" -v w="${means[$i]}" -v c="${counts[$i]}" -v fw="${means[1]}" -v fc="${counts[1]}" \
    'BEGIN { printf "%-15s %12d %14d %10.3f %12.3f\n", n, w, c, w / fw, c / fc }'
done
echo
echo "Budget: tagclient GET at most 1.10 x the floor's wall time and 1.05 x its instructions."
