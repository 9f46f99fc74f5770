#!/usr/bin/env bash
# Devices that come and go: tagagents killed and started again on the same
# port, one every few tenths of a second, while tagpoll polls them, the
# exporter probes them and tagconf writes them. A device may be down or
# freshly started (its label back to the default) at any moment; what the
# tools report must still be true: an answer whole and right, an exporter
# answering every scrape and counting what it answered, a write called
# done only where the device read it back. Prints the figures and whether
# each goal held; exits 1 if any did not. Never a test.
# Usage: bench/flapping_devices.sh [BUILD_DIR] [DEVICES] [SECONDS_PER_PHASE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
count=${2:-20}
phase=${3:-20}
source scripts/background.sh
agent=$build/agent/tagagent
poll=$build/poller/tagpoll
conf=$build/configurator/tagconf
load=$build/bench/exporter_load
source bench/fleet_helpers.sh

ports=() pids=()
# start_device I [PORT]: device I on PORT (a free one the first time).
start_device() {
  local out=$work/device$1.out
  "$agent" -p "${2:-0}" -t 900 > "$out" 2>> "$work/devices.log" &
  pids[$1]=$!
  background_pids+=("${pids[$1]}")
  ports[$1]=$(wait_for_line "$out" 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p')
  [[ -n ${ports[$1]} ]] || { echo "device $1 did not start" >&2; exit 1; }
}

# The flapper: each turn one device goes down for 0.3 s. It counts the
# restarts of each device in $work/generations, and holds still while
# $work/hold exists, saying so by copying its token into $work/held: a
# token, not the file's presence, so that a late answer to an earlier hold
# is never taken for this one.
flap() {
  local generation=() i
  for i in "${!ports[@]}"; do generation[i]=0; done
  echo "${generation[*]}" > "$work/generations"
  while [[ ! -e $work/stop ]]; do
    if [[ -e $work/hold ]]; then cat "$work/hold" > "$work/held" 2>/dev/null || true; sleep 0.02; continue; fi
    i=$((RANDOM % count))
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
    sleep 0.3
    start_device "$i" "${ports[i]}"
    generation[i]=$((generation[i] + 1))
    echo "${generation[*]}" > "$work/generations"
    sleep 0.1
  done
  kill "${pids[@]}" 2>/dev/null || true
}
hold_still() {
  local token=$RANDOM$RANDOM
  echo "$token" > "$work/hold"
  until [[ $(cat "$work/held" 2>/dev/null) == "$token" ]]; do sleep 0.02; done
}
let_go() { rm -f "$work/hold" "$work/held"; }

for i in $(seq 0 $((count - 1))); do start_device "$i"; done
for i in "${!ports[@]}"; do echo "127.0.0.1:${ports[i]}"; done > "$work/targets.txt"
flap &
flapper=$!
background_pids+=("$flapper")

echo "== tagpoll over $count flapping devices for $phase s (-t 0.1 -r 2)"
polls=0 answered=0 wrong=0 others=0
end=$((SECONDS + phase))
while ((SECONDS < end)); do
  "$poll" -f "$work/targets.txt" -t 0.1 -r 2 GET: TAG_DEV_ID TAG_DEV_LABEL > "$work/poll.txt" || true
  polls=$((polls + 1))
  a=$(grep -c $'\tGET: TAG_DEV_ID=0000002A TAG_DEV_LABEL="Demo rack controller" $' "$work/poll.txt" || true)
  g=$(grep -c $'\tGET: ' "$work/poll.txt" || true)
  o=$(grep -c $'\tERR: ' "$work/poll.txt" || true)
  answered=$((answered + a)) wrong=$((wrong + g - a)) others=$((others + o))
  [[ $((g + o)) == "$count" ]] || wrong=$((wrong + count - g - o))
done
echo "  $polls polls: $answered answered whole, $others timed out or refused, $wrong wrong or missing"
goal "every tagpoll answer whole and right, every target reported" "$(holds "$wrong == 0")" \
  "$wrong of $((polls * count))"

echo "== the exporter probing the same devices for $phase s, $count at once"
printf 'modules:\n  m:\n    timeout: 0.1\n    retries: 2\n    tags: [TAG_DEV_ID, TAG_DEV_LABEL]\n' > "$work/modules.yml"
start_exporter "$build/exporter/tag_exporter"
fds_before=$(find "/proc/$exporter_pid/fd" -mindepth 1 | wc -l)
rss_before=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
end=$((SECONDS + phase))
while ((SECONDS < end)); do "$load" concurrent "$port" "$work/targets.txt" m >> "$work/load.txt" 2>&1 || true; done
read -r succeeded failed unanswered < <(awk '{ s += $3; f += $5; u += $7 } END { print s, f, u }' "$work/load.txt")
metrics=$(curl -s "http://127.0.0.1:$port/metrics")
counted() { sed -n "s/^tag_exporter_probes_total{result=\"$1\"} //p" <<< "$metrics"; }
fds_after=$(find "/proc/$exporter_pid/fd" -mindepth 1 | wc -l)
rss_after=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$exporter_pid/status")
echo "  probes: $succeeded succeeded, $failed failed, $unanswered unanswered;" \
  "counted by the exporter: $(counted success) success, $(counted failure) failure"
echo "  RSS $rss_before -> $rss_after KiB (peak $peak), descriptors $fds_before -> $fds_after"
goal "every probe answered and counted as its client saw it" \
  "$(holds "$unanswered == 0 && $succeeded == $(counted success) && $failed == $(counted failure)")" \
  "$unanswered unanswered, $succeeded/$(counted success) success, $failed/$(counted failure) failure"
goal "no descriptor kept" "$(holds "$fds_after == $fds_before")" "$fds_before -> $fds_after"

echo "== tagconf writing a new label to the same devices, 10 rounds (-t 0.1 -r 3)"
claimed=0 false_claims=0 kept_quiet=0
for round in $(seq 10); do
  printf 'targets_file: targets.txt\ntags: {TAG_DEV_LABEL: "Flap %s"}\n' "$round" > "$work/state.yml"
  let_go
  read -ra before < "$work/generations"
  "$conf" apply -t 0.1 -r 3 "$work/state.yml" > "$work/apply.txt" 2> /dev/null || true
  hold_still
  read -ra after < "$work/generations"
  "$poll" -f "$work/targets.txt" -t 0.2 -r 5 GET: TAG_DEV_LABEL > "$work/check.txt" || true
  for i in "${!ports[@]}"; do
    target=127.0.0.1:${ports[i]}
    grep -qE "^$target"$'\t(changed|unchanged)' "$work/apply.txt" || { kept_quiet=$((kept_quiet + 1)); continue; }
    claimed=$((claimed + 1))
    # A device started again since the apply began lost the label: no claim to check.
    [[ ${before[i]} == "${after[i]}" ]] || continue
    grep -qF "$target"$'\tGET: TAG_DEV_LABEL="Flap '"$round"'" ' "$work/check.txt" && continue
    false_claims=$((false_claims + 1))
    echo "  FALSE, round $round: $(grep "^$target" "$work/apply.txt"); the device: $(grep "^$target" "$work/check.txt")"
  done
done
echo "  $claimed written and read back by tagconf's word, $kept_quiet reported not done, $false_claims false"
goal "no write called done that the device does not hold" "$(holds "$false_claims == 0")" "$false_claims"
touch "$work/stop"
let_go
wait "$flapper" 2>/dev/null || true
echo "  restarts per device: $(cat "$work/generations")"
exit "$missed"
