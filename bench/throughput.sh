#!/usr/bin/env bash
# GET requests per second answered by tagagent, beside the same load against
# the minimal responder. Loopback only, a fixed number of requests.
# Usage: bench/throughput.sh [BUILD_DIR] [REQUESTS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
requests=${2:-200000}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/agent/tagagent" -p 0 -t 300 > "$work/agent.out" &
pids+=($!)
"$build/bench/responder" "$work/responder.port" "$requests" 300 &
pids+=($!)
for _ in $(seq 200); do
  [[ -s $work/responder.port ]] && grep -q '^listening on ' "$work/agent.out" && break
  sleep 0.05
done
agent_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/agent.out")

agent=$("$build/bench/loadgen" "$agent_port" "$requests")
responder=$("$build/bench/loadgen" "$(cat "$work/responder.port")" "$requests")
echo "tagagent:  $agent"
echo "responder: $responder"
awk -v a="${agent##*, }" -v r="${responder##*, }" \
  'BEGIN { printf "ratio: %.3f (budget: at least 0.700)\n", a / r }'
