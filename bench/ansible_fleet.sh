#!/usr/bin/env bash
# The collection's tag_config through ansible-playbook against a fleet
# simulated by tagagent, beside tagconf making the same change: the first
# apply (every device changed) and a second (nothing to change) of each, and
# what Ansible costs per host beyond tagconf. Changes are checked with
# tagpoll. Prints the figures; exits 1 when a run did not converge. Never a test.
# Usage: bench/ansible_fleet.sh [BUILD_DIR] [DEVICES] [FORKS]
# The tagproto Python package is taken from TAGPROTO_PYTHON_BUILD_DIR
# (default BUILD_DIR/python), run by Debian's python3 (or TAGPROTO_PYTHON).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
devices=${2:-200}
forks=${3:-50}
python_dir=${TAGPROTO_PYTHON_BUILD_DIR:-$build/python}
python=${TAGPROTO_PYTHON:-/usr/bin/python3}
source scripts/background.sh
conf=$build/configurator/tagconf
poll=$build/poller/tagpoll
agent=$build/agent/tagagent
source bench/fleet_helpers.sh
PYTHONPATH=$python_dir "$python" -c 'import tagproto' || { echo "no tagproto Python package in $python_dir" >&2; exit 1; }

export ANSIBLE_COLLECTIONS_PATH=$PWD/ansible ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp
export ANSIBLE_REMOTE_TEMP=$work/ansible/remote ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_PYTHON_INTERPRETER=$python PYTHONPATH=$python_dir

# The same change both ways: a label and two numbers, the values tagpoll
# reads back as converged() expects.
cat > "$work/play.yml" <<'YAML'
- hosts: all
  connection: local
  gather_facts: false
  module_defaults:
    group/tagproto.fleet.devices: {host: "{{ ansible_host }}", port: "{{ tag_port }}", timeout: 0.5, retries: 5}
  tasks:
    - tagproto.fleet.tag_config:
        tags: {TAG_DEV_LABEL: "Bench rack", TAG_DEV_STATE: "1A", TAG_IO_GAIN: 0.25}
YAML
cat > "$work/state.yml" <<'YAML'
targets_file: fleet.txt
tags: {TAG_DEV_LABEL: "Bench rack", TAG_DEV_STATE: 1A, TAG_IO_GAIN: 0.25}
YAML
converged() {
  "$poll" -f "$work/fleet.txt" -t 0.5 -r 5 GET: TAG_DEV_LABEL TAG_DEV_STATE TAG_IO_GAIN |
    grep -c $'\tGET: TAG_DEV_LABEL="Bench rack" TAG_DEV_STATE=1A TAG_IO_GAIN=0.250000 $' || true
}
inventory() {
  awk -F: '{ printf "d%d ansible_host=%s tag_port=%s\n", NR, $1, $2 }' "$work/fleet.txt" > "$work/hosts.ini"
}
# run_ansible NAME: sets wall; the recap's changed and failed hosts.
run_ansible() {
  timed "$work/$1.out" ansible-playbook -f "$forks" -i "$work/hosts.ini" "$work/play.yml"
  changed=$(grep -c ' changed=1 ' "$work/$1.out" || true)
  failed=$(grep -cE ' (failed|unreachable)=[1-9]' "$work/$1.out" || true)
}

load=$(cut -d' ' -f1 /proc/loadavg)
echo "== $devices devices, ansible-playbook -f $forks"
start_fleet -v
inventory
run_ansible first
a_first=$wall
echo "  first run:  $a_first s, $changed changed, $failed failed; $(converged) of $devices hold the values (tagpoll)"
[[ $(converged) == "$devices" ]] || missed=1
sets=$(grep -c 'SET of' "$work/fleet.log" || true)
run_ansible second
a_second=$wall
echo "  second run: $a_second s, $changed changed, $(($(grep -c 'SET of' "$work/fleet.log" || true) - sets)) SETs sent"
stop_fleet

echo "== $devices devices, tagconf apply"
start_fleet -v
timed "$work/apply.txt" "$conf" apply -t 0.5 -r 5 "$work/state.yml"
c_first=$wall
echo "  first apply:  $c_first s; $(converged) of $devices hold the values (tagpoll)"
[[ $(converged) == "$devices" ]] || missed=1
timed "$work/again.txt" "$conf" apply -t 0.5 -r 5 "$work/state.yml"
c_second=$wall
echo "  second apply: $c_second s"
stop_fleet

echo "== Ansible's own cost"
echo "  first:  $(calc "$a_first / $c_first" 1) x tagconf; $(calc "1000 * ($a_first - $c_first) / $devices" 1) ms a host beyond tagconf ($(calc "1000 * $a_first / $devices" 1) ms a host in all)"
echo "  second: $(calc "$a_second / $c_second" 1) x tagconf; $(calc "1000 * ($a_second - $c_second) / $devices" 1) ms a host beyond tagconf"
echo "  one host's task lasts about $(calc "$forks * $a_first / $devices" 1) s with $forks forks sharing $(nproc) cores (load before: $load)"
exit $missed
