#!/usr/bin/env bash
# What a hostile peer can still draw from tagagent, on loopback: answers a
# second of a loop started by one forged GET between two agents (and
# between agents on one port, and an agent and itself), and the bytes out
# per byte in of small GETs of large groups. The forged cases need root
# (a raw socket). Usage: bench/hostile.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
seconds=${2:-4}
source scripts/background.sh
agent=$build/agent/tagagent
client=$build/client/tagclient
hostile=$build/bench/hostile
get_dev_cfg=01018000010500  # GET: TAG_DEV_CFG, as the client sends it

# start NAME OPTIONS...: a verbose agent logging to $work/NAME.log; its pid
# goes to pid[NAME], its port to port[NAME].
declare -A pid port
start() {
  local name=$1
  shift
  "$agent" -t 120 -v "$@" > "$work/$name.out" 2> "$work/$name.log" &
  background_pids+=($!)
  pid[$name]=$!
  port[$name]=$(wait_for_line "$work/$name.out" 's/^listening on .*:\([0-9]*\)$/\1/p')
}
# replies NAME: stops the agent and prints the replies its closing line counts.
replies() {
  kill "${pid[$1]}"
  while kill -0 "${pid[$1]}" 2>/dev/null; do sleep 0.05; done
  sed -n 's/.*served [0-9]* requests with \([0-9]*\) replies.*/\1/p' "$work/$1.log"
}
per_second() { awk -v n="$1" -v s="$seconds" 'BEGIN { printf "%.0f", n / s }'; }

echo "== a forged GET between two agents on different ports, ${seconds} s"
start a -p 0
start b -p 0
"$hostile" forge "127.0.0.1:${port[b]}" "127.0.0.1:${port[a]}" "$get_dev_cfg"
sleep "$seconds"
ra=$(replies a)
rb=$(replies b)
echo "agent a: $ra replies ($(per_second "$ra")/s), agent b: $rb replies ($(per_second "$rb")/s)"

echo "== a forged GET between two agents on one port (127.0.0.1 and 127.0.0.2), and from an agent to itself"
start c -p 0
start d -a 127.0.0.2 -p "${port[c]}"
"$hostile" forge "127.0.0.2:${port[c]}" "127.0.0.1:${port[c]}" "$get_dev_cfg"
"$hostile" forge "127.0.0.1:${port[c]}" "127.0.0.1:${port[c]}" "$get_dev_cfg"
sleep 1
echo "agent c: $(replies c) replies, agent d: $(replies d) replies"

echo "== amplification: a group's strings filled by SETs, then a GET of 12 group tags (29 bytes)"
start e -p 0
long=$(printf 'x%.0s' $(seq 1000))
for name in TAG_CCD_FILENAME TAG_CCD_LABEL TAG_CCD_INTERNAL TAG_CCD_EXTERNAL TAG_CCD_ACMONITOR; do
  "$client" -p "${port[e]}" SET: "$name=$long" > /dev/null
done
# GET: 12 x TAG_CCD_CFG (id 139): 5 + 12 * 2 = 29 bytes
request=010180000c$(printf '8b00%.0s' $(seq 12))
echo -n "one request:             "
"$hostile" amplify "127.0.0.1:${port[e]}" "$request" 1 0
sleep 1.5  # the budget refills
echo -n "one a second for 4 s:    "
"$hostile" amplify "127.0.0.1:${port[e]}" "$request" 4 1000
echo -n "a flood of 2000, 1 ms:   "
"$hostile" amplify "127.0.0.1:${port[e]}" "$request" 2000 1
replies e > /dev/null
