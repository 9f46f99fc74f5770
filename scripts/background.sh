# Sourced by the scripts that run tagagent or the responder in the
# background: a scratch directory and background processes that are stopped
# and removed however the script ends.
work=$(mktemp -d)
background_pids=()
stop_background() {
  local p
  for p in "${background_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_background EXIT

# start_agent TAGAGENT [OPTIONS...]: starts it on a free loopback port for at
# most a minute (unless OPTIONS say otherwise) and sets agent_port from its
# first line.
start_agent() {
  local binary=$1 option
  shift
  # tagagent refuses an option given twice: the lifetime is a minute only
  # when OPTIONS give none.
  local lifetime=(-t 60)
  for option in "$@"; do [[ $option == -t* || $option == --time* ]] && lifetime=(); done
  "$binary" -p 0 "${lifetime[@]}" "$@" > "$work/agent.out" &
  background_pids+=($!)
  agent_port=$(wait_for_line "$work/agent.out" 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p')
  [[ -n $agent_port ]] || { echo "tagagent did not start" >&2; return 1; }
}

# wait_for_line FILE SED_SCRIPT: prints what the sed script takes from FILE
# once it has something, waiting up to ten seconds.
wait_for_line() {
  local got="" _
  for _ in $(seq 200); do
    got=$(sed -n "$2" "$1" 2>/dev/null)
    [[ -n $got ]] && break
    sleep 0.05
  done
  echo "$got"
}

# start_exporter TAG_EXPORTER [FLAGS...]: starts it on a free loopback port
# with the modules in $work/modules.yml, its log in $work/exporter.err, and
# sets exporter_pid and port.
start_exporter() {
  local binary=$1
  shift
  "$binary" --config.file="$work/modules.yml" --web.listen-address=127.0.0.1:0 "$@" 2> "$work/exporter.err" &
  exporter_pid=$!
  background_pids+=("$exporter_pid")
  port=$(wait_for_line "$work/exporter.err" 's/.*listening on port \([0-9]*\).*/\1/p')
  [[ -n $port ]] || { echo "the exporter did not start" >&2; cat "$work/exporter.err" >&2; return 1; }
}
