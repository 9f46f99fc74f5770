# Sourced by the benches that run tools against a fleet simulated by
# tagagent (after scripts/background.sh, with $agent and $devices set): goal
# lines, arithmetic, timing, and the start and stop of one fleet or of the
# several agents a fleet too large for one needs. A missed goal sets
# missed=1, which the bench exits with.
# Its variables are set by the caller or for it:
# shellcheck shell=bash disable=SC2034,SC2154
missed=0

# goal NAME HELD TEXT: one line of the report.
goal() {
  if [[ $2 == 1 ]]; then echo "  goal met:    $1: $3"; else echo "  GOAL MISSED: $1: $3"; missed=1; fi
}
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
holds() { awk "BEGIN { print ($1) ? 1 : 0 }"; }
# median_of VALUES...: the middle one (the lower middle of an even count).
median_of() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# timed OUT COMMAND...: runs it, its output in OUT and its errors in
# $work/timed.err; sets wall (s) and rss (KB). time's last line is the figure:
# before it comes a line on the exit status when that is not 0.
timed() {
  local out=$1 start
  shift
  start=$(now)
  /usr/bin/time -f %M -o "$work/rss" "$@" > "$out" 2> "$work/timed.err" || true
  wall=$(calc "$(now) - $start")
  rss=$(tail -1 "$work/rss")
}

# start_fleet [OPTIONS...]: a fleet of $devices devices for at most ten
# minutes; sets fleet_pid, its targets in $work/fleet.txt, its log in
# $work/fleet.log.
start_fleet() {
  rm -f "$work/fleet.txt" "$work/fleet.out"
  "$agent" -p 0 -t 600 --devices "$devices" --targets-file "$work/fleet.txt" "$@" \
    > "$work/fleet.out" 2> "$work/fleet.log" &
  fleet_pid=$!
  background_pids+=("$fleet_pid")
  for _ in $(seq 600); do
    grep -q '^listening' "$work/fleet.out" 2>/dev/null && return
    kill -0 "$fleet_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "tagagent did not start its fleet" >&2
  cat "$work/fleet.log" >&2
  exit 1
}
stop_fleet() { kill "$fleet_pid" 2>/dev/null || true; wait "$fleet_pid" 2>/dev/null || true; }

# start_fleets N: agents of at most $per_agent devices each (10,000 unless
# set), enough for N devices, on addresses 127.(10+k).0.1 onwards so that each
# stays under the open-file limit; their targets together in $work/fleet.txt;
# sets fleet_pids.
start_fleets() {
  local n=$1 k=0 left=$1 count per=${per_agent:-10000}
  fleet_pids=()
  : > "$work/fleet.txt"
  while ((left > 0)); do
    count=$((left < per ? left : per))
    "$agent" -p 0 -t 900 --address "127.$((10 + k)).0.1" --devices "$count" \
      --targets-file "$work/fleet.$k.txt" > "$work/fleet.$k.out" 2> "$work/fleet.$k.log" &
    fleet_pids+=($!)
    background_pids+=($!)
    [[ -n $(wait_for_line "$work/fleet.$k.out" '/^listening/p') ]] ||
      { echo "tagagent did not start its fleet" >&2; cat "$work/fleet.$k.log" >&2; exit 1; }
    cat "$work/fleet.$k.txt" >> "$work/fleet.txt"
    left=$((left - count)) k=$((k + 1))
  done
  [[ $(wc -l < "$work/fleet.txt") == "$n" ]] || { echo "the fleet lists $(wc -l < "$work/fleet.txt") targets" >&2; exit 1; }
}
stop_fleets() {
  local p
  for p in "${fleet_pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
}
