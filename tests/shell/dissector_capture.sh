#!/usr/bin/env bash
# Captures a real tagclient GET to tagagent on loopback with tshark, then
# reads the capture back with the dissector: the reply's fields must give the
# line the client printed, the sizes its "Sent"/"Received" lines, and the two
# frames must be linked. The agent is on a free port, not the protocol's, so
# the heuristic is what finds the datagrams.
# Usage: dissector_capture.sh TAGCLIENT TAGAGENT DISSECTOR SOURCE_DIR LUAC
set -euo pipefail
client=$1
agent=$2
dissector=$3
source "$4/scripts/background.sh"
luac=$5

# Wireshark's Lua is 5.2: the generated file must at least parse as such.
"$luac" -p "$dissector"

start_agent "$agent"
# Only this test's own port on loopback, for at most 30 seconds; a summary
# line per frame shows when capturing has begun and when the reply is in.
tshark -i lo -f "udp port $agent_port" -l -P -a duration:30 -w "$work/capture.pcapng" \
  > "$work/capture.out" 2> "$work/capture.err" &
capture=$!
background_pids+=("$capture")
for _ in $(seq 100); do
  [[ -s $work/capture.out ]] && break
  echo probe > "/dev/udp/127.0.0.1/$agent_port"  # the agent drops it as undecodable
  sleep 0.1
done
[[ -s $work/capture.out ]] || { cat "$work/capture.err"; exit 1; }

out=$("$client" -h 127.0.0.1 -p "$agent_port" GET: TAG_DEV_ID TAG_DEV_LABEL TAG_IO_SAMPLED_VALUE TAG_DEV_CFG)
received=$(sed -n 's/^Received \([0-9]*\) bytes$/\1/p' <<< "$out")
[[ -n $(wait_for_line "$work/capture.out" "/Len=$received\$/p") ]] || { echo "FAIL: reply not captured"; exit 1; }
kill -INT "$capture"
wait "$capture" || true

# One row per frame of ours: the reply is the frame linked to a request.
rows=$(tshark -n -r "$work/capture.pcapng" -X "lua_script:$dissector" -2 -Y tagproto -T fields -E aggregator='|' \
  -e udp.length -e tagproto.msgid -e tagproto.tag.name -e tagproto.tag.type -e tagproto.tag.value \
  -e tagproto.response_in -e tagproto.request_in -e frame.number 2> "$work/read.err")
if grep -q Lua "$work/read.err" || grep -q "Lua Error" <<< "$rows"; then cat "$work/read.err"; exit 1; fi
echo "$out"
echo "$rows"
# field N ROW: one column of one row (read would merge empty columns).
field() { sed -n "$2p" <<< "$rows" | cut -f"$1"; }
reply=$(cut -f7 <<< "$rows" | grep -n . | tail -n 1 | cut -d: -f1)
request=$(cut -f8 <<< "$rows" | grep -nx "$(field 7 "$reply")" | cut -d: -f1)
[[ -n $reply && -n $request ]] || { echo "FAIL: frames not linked"; exit 1; }

# The line the reply's fields make, as the client would print it.
words=("SET: " "GET: " "ERR: " "EVT: " "DEL: " "REP: ")
length=$(field 1 "$reply")
msgid=$(field 2 "$reply")
IFS='|' read -ra names <<< "$(field 3 "$reply")"
IFS='|' read -ra types <<< "$(field 4 "$reply")"
IFS='|' read -ra values <<< "$(field 5 "$reply")"
line=${words[$msgid]}
v=0
for i in "${!types[@]}"; do
  case ${types[i]} in
    0) line+="${names[i]} " ;;
    1) line+="${names[i]}=\"${values[v]}\" "; v=$((v + 1)) ;;
    *) line+="${names[i]}=${values[v]} "; v=$((v + 1)) ;;
  esac
done
sent=$(($(field 1 "$request") - 8))

expected="Sent $sent bytes
Received $((length - 8)) bytes
$line"
[[ $out == "$expected" ]] || { printf 'FAIL: client printed\n%s\nthe capture gives\n%s\n' "$out" "$expected"; exit 1; }
[[ $line == 'GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL="'*'" TAG_IO_SAMPLED_VALUE=21.500000 '* ]] ||
  { echo "FAIL: unexpected reply: $line"; exit 1; }
[[ $(field 6 "$request") == "$(field 8 "$reply")" ]] || { echo "FAIL: request not linked to its reply"; exit 1; }
echo "capture matches the client"
