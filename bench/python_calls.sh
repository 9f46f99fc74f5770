#!/usr/bin/env bash
# The Python package tagproto against tagagent on this machine: one steady
# GET beside a bare Python socket exchange of the same datagram, 1,000 and
# 10,000 devices at once (poll and asyncio, with asyncio's own floor under a
# gather of aio.get calls) beside tagpoll on the same fleet,
# and RSS and descriptors over a soak; in the same run, two Python libraries
# of another management protocol against its agent on this machine, as peers
# (bench/python_peers.py; skipped with a message when they are absent: on
# Debian, apt-get install python3-easysnmp python3-pysnmp4 snmpd, whose
# service stays down where policy-rc.d says so; the bench runs its own snmpd
# in the foreground with a throwaway configuration). Prints the figures and
# whether each goal held; exits 1 if any did not. Never a test.
# Usage: bench/python_calls.sh [BUILD_DIR] [SOAK_CALLS] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
soak_calls=${2:-1000000}
runs=${3:-5}
source scripts/background.sh
agent=$build/agent/tagagent
poll=$build/poller/tagpoll
python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
export PYTHONPATH=$build/python
source bench/fleet_helpers.sh
py() { nice -n 0 "$python" bench/python_calls.py "$@"; }
peers() { nice -n 0 "$python" bench/python_peers.py "$@"; }

# start_peer_agent: the other protocol's agent on a free loopback port, in the
# foreground of its own, with a configuration and state in $work only; sets
# peer_port, or returns 1 when none would start.
start_peer_agent() {
  local _
  for _ in 1 2 3; do
    peer_port=$("$python" -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p "$work/peer"
    printf '%s\n' "agentaddress udp:127.0.0.1:$peer_port" "rocommunity public 127.0.0.1" "sysservices 72" \
      "dontLogTCPWrappersConnects yes" > "$work/peer/agent.conf"
    SNMP_PERSISTENT_DIR=$work/peer/state MIBS='' /usr/sbin/snmpd -f -Lo -C -c "$work/peer/agent.conf" \
      -p "$work/peer/pid" > "$work/peer/agent.out" 2>&1 &
    background_pids+=($!)
    sleep 0.5
    "$python" bench/python_peers.py steady "$peer_port" 1 > /dev/null 2>&1 && return 0
  done
  echo "  the other protocol's agent did not start: $(tail -1 "$work/peer/agent.out")" >&2
  return 1
}

echo "== one steady GET of TAG_DEV_ID, in-process, beside a bare socket exchange"
start_agent "$agent" --budget 0 -t 600
read -r _ socket_us _ get_us _ sendto_us _ polled_us < <(py steady "127.0.0.1:$agent_port" 100000)
peers_here=0
if [[ -x /usr/sbin/snmpd ]] && "$python" -c 'import easysnmp, pysnmp.hlapi.asyncore' 2> /dev/null; then
  start_peer_agent && peers_here=1
else
  echo "  (peers skipped: python3-easysnmp, python3-pysnmp4 or snmpd is not installed)"
fi
if ((peers_here)); then
  read -r _ easy_us _ pysnmp_us < <(peers steady "$peer_port" 20000)
fi
ratio=$(calc "$get_us / $socket_us" 2)
echo "  bare socket: connected (send, recv) $socket_us us, not connected (sendto, recvfrom) $sendto_us us,"
echo "  the engine's steps (sendto, poll, recvfrom) $polled_us us; tagproto.get $get_us us"
goal "within 1.2x of the bare socket" "$(holds "$ratio <= 1.2")" "${ratio}x"
echo "  (of the socket not connected: $(calc "$get_us / $sendto_us" 2)x; of the engine's steps: $(calc "$get_us / $polled_us" 2)x)"
if ((peers_here)); then
  echo "  peers, one GET of sysServices.0 against snmpd: easysnmp $easy_us us, pysnmp $pysnmp_us us"
  goal "faster than easysnmp" "$(holds "$get_us < $easy_us")" "$get_us us against $easy_us us"
  goal "faster than pysnmp" "$(holds "$get_us < $pysnmp_us")" "$get_us us against $pysnmp_us us"
fi

# fleet_goals DEVICES WALL_GOAL_MS: poll and asyncio beside tagpoll.
fleet_goals() {
  devices=$1
  start_fleet
  tagpoll_walls=()
  for _ in $(seq "$runs"); do
    timed "$work/poll.txt" "$poll" -f "$work/fleet.txt" GET: TAG_DEV_ID
    tagpoll_walls+=("$(calc "$wall * 1000" 2)")
    sleep 0.2
  done
  tagpoll_wall=$(median_of "${tagpoll_walls[@]}")
  echo "  tagpoll $tagpoll_wall ms (the whole program)"
  while read -r name wall answered; do
    if [[ $name == asyncio-floor ]]; then
      echo "  (asyncio's own floor under that gather, no network: $wall ms, the same runs;" \
        "$(calc "$wall / $tagpoll_wall" 2)x of tagpoll)"
      continue
    fi
    echo "  $name $wall ms (the median of $runs runs), $answered of $devices answered (the fewest)"
    [[ $answered == "$devices" ]] || goal "$name: every device answered" 0 "$answered"
    # A gather of get() calls is reported beside asyncio's own floor for it
    # (a task and a future a call, next line): the goals are poll's and
    # aio.poll's, asyncio's way to read many devices.
    if [[ $name == aio.get-gather ]]; then
      echo "  (reported, not a goal: $(calc "$wall / $tagpoll_wall" 2)x of tagpoll)"
      continue
    fi
    [[ -n $2 ]] && goal "$name: $devices devices within $2 ms" "$(holds "$wall <= $2")" "$wall ms"
    goal "$name: within 1.3x of tagpoll" "$(holds "$wall <= 1.3 * $tagpoll_wall")" \
      "$(calc "$wall / $tagpoll_wall" 2)x"
  done < <(py fleet "$work/fleet.txt" "$runs")
  stop_fleet
}
echo "== 1000 devices at once"
fleet_goals 1000 15
if ((peers_here)); then
  echo "  peers, 1000 sessions to the one snmpd (it serves one address):"
  while read -r name wall answered; do
    echo "  $name $wall ms, $answered of 1000 answered"
  done < <(peers fleet "$peer_port" 1000 "$runs")
fi
echo "== 10000 devices at once"
fleet_goals 10000 ""

echo "== soak: $soak_calls calls, RSS (KiB) and descriptors"
py soak "127.0.0.1:$agent_port" "$soak_calls" > "$work/soak.txt"
awk '{ printf "  after %d calls: RSS %d KiB, %d descriptors\n", $1, $2, $3 }' "$work/soak.txt"
read -r first_rss first_fds < <(sed -n '2p' "$work/soak.txt" | awk '{ print $2, $3 }')
read -r last_rss last_fds < <(tail -1 "$work/soak.txt" | awk '{ print $2, $3 }')
goal "RSS flat after the first tenth" "$(holds "$last_rss - $first_rss <= 1024")" "$first_rss -> $last_rss KiB"
goal "descriptors flat" "$(holds "$last_fds == $first_fds")" "$first_fds -> $last_fds"
exit "$missed"
