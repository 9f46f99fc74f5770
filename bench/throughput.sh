#!/usr/bin/env bash
# GET requests per second answered by tagagent, beside the same load against
# the minimal responder. Loopback only, a fixed number of requests.
# Usage: bench/throughput.sh [BUILD_DIR] [REQUESTS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
requests=${2:-200000}
source scripts/background.sh
# Unlimited reply budget: the load comes from one address.
start_agent "$build/agent/tagagent" -t 300 --budget 0
"$build/bench/responder" "$work/responder.port" "$requests" 300 &
background_pids+=($!)
responder_port=$(wait_for_line "$work/responder.port" p)

agent=$("$build/bench/loadgen" "$agent_port" "$requests")
responder=$("$build/bench/loadgen" "$responder_port" "$requests")
echo "tagagent:  $agent"
echo "responder: $responder"
awk -v a="${agent##*, }" -v r="${responder##*, }" \
  'BEGIN { printf "ratio: %.3f (budget: at least 0.700)\n", a / r }'
