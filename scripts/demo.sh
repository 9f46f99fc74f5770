#!/usr/bin/env bash
# The first thing to run: builds tagclient and the demo agent, starts the
# agent on loopback for at most a minute, shows a few real requests, and
# stops the agent again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
echo "== Building"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
client=build/client/tagclient

source scripts/background.sh
start_agent build/agent/tagagent
port=$agent_port
echo "== The demo agent is listening on 127.0.0.1:$port"

# run CAPTION WORDS...: shows the command as a user would type it, then runs it.
run() {
  local caption=$1 shown="" word
  shift
  for word in "$@"; do
    [[ $word == *" "* ]] && word="'$word'"
    shown+=" $word"
  done
  printf '\n# %s\n$ tagclient -p %s%s\n' "$caption" "$port" "$shown"
  "$client" -h 127.0.0.1 -p "$port" "$@"
}
run "Read the device group" GET: TAG_DEV_CFG
run "Set the label (SET is sent and not answered)" SET: 'TAG_DEV_LABEL=Rack 7, row B'
run "Read it back" GET: TAG_DEV_ID TAG_DEV_LABEL
run "Ask for a tag this agent does not hold: an error reply naming its id" GET: TAG_CCD_TEMP

# A fleet: one tagagent plays five devices, and tagpoll asks them all at once.
build/agent/tagagent --devices 5 -p 0 -t 60 --targets-file "$work/fleet.txt" > "$work/fleet.out" &
background_pids+=($!)
[[ -n $(wait_for_line "$work/fleet.out" '/^listening on 5 devices/p') ]] || { echo "the fleet did not start" >&2; exit 1; }
printf '\n# Ask a fleet of five simulated devices at once\n$ tagpoll -f fleet.txt GET: TAG_DEV_ID TAG_DEV_LABEL\n'
build/poller/tagpoll -f "$work/fleet.txt" GET: TAG_DEV_ID TAG_DEV_LABEL | sort
echo
echo "== Done; the agents are stopped. See README.md for more."
