#!/usr/bin/env bash
# The Prometheus rules the package ships: promtool checks them and runs
# their unit tests, and every metric and label the rules and the tests' input
# series use must be one the real exporter serves, taken here from its
# /metrics and from a /probe of a real tagagent (on 127.0.0.1, ports chosen
# at run time), so that renaming a metric fails this test, not an alert in
# the field.
# Usage: exporter_rules.sh TAGAGENT TAG_EXPORTER MODULES_FILE RULES RULES_TEST INSTALL_DEPS
set -euo pipefail
agent_bin=$1 exporter_bin=$2 modules=$3 rules=$4 rules_test=$5 install_deps=$6

command -v promtool >/dev/null || bash "$install_deps" prometheus
source "$(dirname "$0")/process_harness.sh"

promtool check rules "$rules" >"$work/check.log" 2>&1 || fail "promtool check rules: $(cat "$work/check.log")"
# The test names the rules file by its bare name: both go in one folder.
cp "$rules" "$rules_test" "$work/"
(cd "$work" && promtool test rules "$(basename "$rules_test")") >"$work/test.log" 2>&1 ||
  fail "promtool test rules: $(cat "$work/test.log")"

# What the exporter really serves: its own metrics and a device's probe.
"$agent_bin" -p 0 >"$work/agent.log" 2>&1 &
pids+=($!)
device=$(wait_for_line "$work/agent.log" '^listening on ' | awk '{print $3}')
"$exporter_bin" --config.file="$modules" --web.listen-address=127.0.0.1:0 --probe.allowed-targets=127.0.0.0/8 \
  2>"$work/exporter.log" &
pids+=($!)
port=$(wait_for_line "$work/exporter.log" 'listening on port' | sed 's/.*listening on port \([0-9]*\).*/\1/')
curl -sSf "http://127.0.0.1:$port/probe?target=$device&module=device" >"$work/served.txt" ||
  fail "no probe of $device"
grep -qx 'tag_probe_success 1' "$work/served.txt" || fail "the probe of $device failed"
curl -sSf "http://127.0.0.1:$port/metrics" >>"$work/served.txt" || fail "no /metrics"
grep -v '^#' "$work/served.txt" >"$work/samples.txt"

failures=0
# served NAME [LABEL=VALUE | LABEL]: a sample of that metric, with that label.
served() {
  local name=$1 label=${2:-}
  grep -E "^${name}[ {]" "$work/samples.txt" | grep -qF -- "$label"
}
# Metrics the rules read (recording rules' own names hold a colon, and up
# is Prometheus's), and the labels their selectors name.
names=$(grep -E '^ +expr:' "$rules" | grep -oE '[a-zA-Z_:][a-zA-Z0-9_:]*(\{[^}]*\})?' |
  grep -E '^tag_' | sort -u)
[[ -n $names ]] || fail "the rules read no metric of the exporter"
while read -r selector; do
  name=${selector%%\{*}
  served "$name" || { echo "FAIL: the rules read $name, which the exporter does not serve"; failures=$((failures + 1)); }
  [[ $selector == *\{* ]] || continue
  for label in $(grep -oE '[a-z_]+ *!?=~?' <<< "${selector#*\{}" | grep -oE '^[a-z_]+'); do
    served "$name" "$label=" || { echo "FAIL: the rules select $name by $label, which it does not have"; failures=$((failures + 1)); }
  done
done <<< "$names"
# The tests' input series: each as the exporter writes it, job and instance
# being Prometheus's.
series=$(sed -n "s/^ *- series: '\([^']*\)'.*/\1/p" "$rules_test")
[[ -n $series ]] || fail "no input series in $rules_test"
while read -r s; do
  name=${s%%\{*}
  [[ $name == up ]] && continue
  labels=$(grep -oE '[a-z_]+="[^"]*"' <<< "$s" | grep -vE '^(job|instance)=' || true)
  served "$name" || { echo "FAIL: the test's input $s is not a metric the exporter serves"; failures=$((failures + 1)); }
  for label in $labels; do
    served "$name" "$label" || { echo "FAIL: the exporter serves no $name with $label"; failures=$((failures + 1)); }
  done
done <<< "$series"
echo "$(wc -l <<< "$names") metrics read by the rules, $(wc -l <<< "$series") input series, $failures failures"
[[ $failures == 0 ]]
