#!/usr/bin/env bash
# The collection tagproto.fleet through the real ansible-playbook against
# tagagent fleets on loopback, one inventory host per device: 20 devices to
# configure, 4 of another type, one whose label is read-only and one that
# nothing answers. What the devices hold is read back with tagpoll, and the
# SETs they served are counted in their logs, never taken from the modules.
# The modules run with PYTHON, which must import tagproto from PYTHON_DIR;
# exits 77 (skipped) when it cannot.
# Usage: ansible_fleet.sh TAGAGENT TAGPOLL TAGCONF COLLECTIONS_DIR PYTHON_DIR [PYTHON]
set -euo pipefail
agent=$1 poll=$2 conf=$3 collections=$4 python_dir=$5 python=${6:-/usr/bin/python3}
if ! PYTHONPATH=$python_dir "$python" -c 'import tagproto' 2>/dev/null; then
  echo "SKIP: $python finds no tagproto Python package in $python_dir"
  exit 77
fi
source "$(dirname "$0")/process_harness.sh"
# The harness's fail, with the playbooks' failed tasks first.
eval "harness_$(declare -f fail)"
fail() {
  grep -h '^fatal: ' "$work"/*.out 2>/dev/null | sed -E 's/^(.{160}).*(.{240})$/\1 ... \2/' | head -n 20 >&2
  harness_fail "$@"
}


# Ansible writes nowhere but the scratch folder; the modules find the
# package through PYTHONPATH, as an installed one through the default path.
export ANSIBLE_COLLECTIONS_PATH=$collections ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp
export ANSIBLE_REMOTE_TEMP=$work/ansible/remote ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_PYTHON_INTERPRETER=$python PYTHONPATH=$python_dir ANSIBLE_FORKS=10
export ANSIBLE_INVENTORY_UNPARSED_WARNING=0 ANSIBLE_LOCALHOST_WARNING=0

# start_fleet NAME OPTIONS...: a verbose tagagent (a log line per GET and SET
# served), its targets in $work/NAME.txt.
start_fleet() {
  local name=$1
  shift
  "$agent" -v -p 0 -t 300 --targets-file "$work/$name.txt" "$@" > "$work/$name.out" 2> "$work/$name.log" &
  pids+=($!)
  wait_for_line "$work/$name.out" '^listening' > /dev/null
}
printf 'TAG_DEV_ID=1\nTAG_DEV_LABEL=Pump\nTAG_DEV_TYPE=7\nTAG_DEV_STATE=1\n' > "$work/pump.txt"
start_fleet racks --devices 20 -a 127.0.0.1
start_fleet pumps --devices 4 -a 127.0.1.1 -f "$work/pump.txt"
start_fleet readonly --devices 1 -a 127.0.2.1 --read-only TAG_DEV_LABEL
# A port nothing listens on: bound, noted and closed.
dead_port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.3.1", 0)); print(s.getsockname()[1])')

# hosts PREFIX TARGETS_FILE: inventory lines, PREFIX01 onwards.
hosts() {
  local i=0 addr
  while IFS= read -r addr; do
    i=$((i + 1))
    printf '        %s%02d: {ansible_host: "%s", tag_port: %s}\n' "$1" "$i" "${addr%:*}" "${addr##*:}"
  done < "$2"
}
{
  echo 'all:'
  echo '  children:'
  echo '    racks:'
  echo '      hosts:'
  hosts rack "$work/racks.txt"
  echo '    pumps:'
  echo '      hosts:'
  hosts pump "$work/pumps.txt"
  echo '    odd:'
  echo '      hosts:'
  hosts readonly "$work/readonly.txt"
  echo "        dead: {ansible_host: 127.0.3.1, tag_port: $dead_port}"
} > "$work/inventory.yml"
racks=$(sed -n 's/^ *\(rack[0-9][0-9]*\):.*/\1/p' "$work/inventory.yml")
pumps=$(sed -n 's/^ *\(pump[0-9][0-9]*\):.*/\1/p' "$work/inventory.yml")
[[ $(wc -w <<< "$racks") == 20 && $(wc -w <<< "$pumps") == 4 ]] || fail "the inventory: $(cat "$work/inventory.yml")"

# One play for every run: the device's address from the inventory, set for
# both modules at once.
play_head() {
  cat <<'YAML'
- hosts: "{{ devices }}"
  connection: local
  gather_facts: false
  module_defaults:
    group/tagproto.fleet.devices:
      host: "{{ ansible_host }}"
      port: "{{ tag_port }}"
      timeout: 2
      retries: 2
  tasks:
YAML
}
# A number from a variable stays a number (26, not hexadecimal 26); a string
# is hexadecimal as on the command line; a NaN equals nothing, not even
# itself, so a second run finds it the same only by its bits.
{ play_head; cat <<'YAML'
    - tagproto.fleet.tag_config:
        tags:
          TAG_DEV_LABEL: "Rack {{ inventory_hostname }}"
          tag_dev_state: "{{ state }}"
          TAG_AI_SAMPLE_RATE: "1A"
          TAG_IO_GAIN: 0.1
          TAG_IO_OFFSET: .nan
YAML
} > "$work/configure.yml"
{ play_head; cat <<'YAML'
    - tagproto.fleet.tag_facts:
        tags: [TAG_DEV_CFG]   # a group: the device answers with its members
    - tagproto.fleet.tag_config:
        tags: {TAG_DEV_STATE: 3}
      when: tagproto.TAG_DEV_TYPE != 7
    - ansible.builtin.debug:
        msg: "type {{ tagproto.TAG_DEV_TYPE }} labelled {{ tagproto.TAG_DEV_LABEL }}"
YAML
} > "$work/facts.yml"
{ play_head; cat <<'YAML'
    - tagproto.fleet.tag_config:
        tags: "{{ item }}"
      loop: "{{ bad }}"
      ignore_errors: true
YAML
} > "$work/bad.yml"

# playbook OUT ARGS...: ansible-playbook, its output in $work/OUT; its exit
# status is not looked at, the recap is.
playbook() {
  local out=$1
  shift
  ansible-playbook -i "$work/inventory.yml" "$@" > "$work/$out" 2>&1 || true
}
# recap OUT HOST: the host's counts in the play recap, spaces squeezed.
recap() { sed -n "s/^$2 *: //p" "$work/$1" | tr -s ' ' | sed 's/ $//'; }
expect_recap() {
  local out=$1 want=$2 host
  shift 2
  for host in "$@"; do
    [[ $(recap "$out" "$host") == "$want" ]] || fail "$out: $host's recap is '$(recap "$out" "$host")', not '$want'"
  done
}
served() { grep -cE " $1 of " "$work/racks.log" || true; }
# held FLEET TAGS...: tagpoll's reading of every device of the fleet, the
# values alone, one line per device in the targets file's order.
held() {
  local fleet=$1
  shift
  "$poll" -f "$work/$fleet.txt" -t 0.5 -r 3 GET: "$@" | sort -t. -k4n | cut -f2-
}
changed_line="ok=1 changed=1 unreachable=0 failed=0 skipped=0 rescued=0 ignored=0"
ok_line="ok=1 changed=0 unreachable=0 failed=0 skipped=0 rescued=0 ignored=0"
failed_line="ok=0 changed=0 unreachable=0 failed=1 skipped=0 rescued=0 ignored=0"

echo "== first run: 20 devices changed, the read-only one and the dead one failed"
playbook first.out "$work/configure.yml" -e devices=racks:odd -e '{"state": 26}'
# shellcheck disable=SC2086
expect_recap first.out "$changed_line" $racks
expect_recap first.out "$failed_line" readonly01 dead
port=$(head -1 "$work/readonly.txt" | cut -d: -f2)
grep -qF "\"msg\": \"127.0.2.1:$port: the device did not take the values: TAG_DEV_LABEL written \\\"Rack readonly01\\\", read \\\"Demo rack controller 1\\\"\"" "$work/first.out" ||
  fail "the read-only device's failure does not name the tag, written and read"
grep -qF "\"msg\": \"127.0.3.1:$dead_port: cannot read the tags: " "$work/first.out" ||
  fail "the dead device's failure does not say why"
grep -A3 '^fatal: \[dead\]' "$work/first.out" | grep -qE '"status": "(refused|timed_out)"' ||
  fail "the dead device's failure has no status word"
expected=$(for i in $(seq 20); do printf 'GET: TAG_DEV_LABEL="Rack rack%02d" TAG_DEV_STATE=1A TAG_AI_SAMPLE_RATE=0000001A TAG_IO_GAIN=0.100000 TAG_IO_OFFSET=nan \n' "$i"; done)
got=$(held racks TAG_DEV_LABEL TAG_DEV_STATE TAG_AI_SAMPLE_RATE TAG_IO_GAIN TAG_IO_OFFSET)
[[ $got == "$expected" ]] || fail "the devices hold, by tagpoll:
$got"
# A SET whose reply is late is sent again: at least one a device.
sets_first=$(served SET)
((sets_first >= 20)) || fail "$sets_first SETs served on the first run, fewer than 20"

echo "== second run: nothing changed, no SET"
playbook second.out "$work/configure.yml" -e devices=racks -e '{"state": 26}'
# shellcheck disable=SC2086
expect_recap second.out "$ok_line" $racks
[[ $(served SET) == "$sets_first" ]] || fail "the second run sent $(($(served SET) - sets_first)) SETs"

echo "== --check --diff: each tag's before and after, nothing written"
playbook check.out "$work/configure.yml" -e devices=racks -e '{"state": 2}' --check --diff
# shellcheck disable=SC2086
expect_recap check.out "$changed_line" $racks
[[ $(grep -cx -- '-TAG_DEV_STATE: 26' "$work/check.out") == 20 && $(grep -cx -- '+TAG_DEV_STATE: 2' "$work/check.out") == 20 ]] ||
  fail "--diff does not show TAG_DEV_STATE's 26 before and 2 after on each device"
grep -q -- '^[-+]TAG_DEV_LABEL' "$work/check.out" && fail "--diff shows a tag that does not differ"
[[ $(served SET) == "$sets_first" ]] || fail "check mode sent $(($(served SET) - sets_first)) SETs"
[[ $(held racks TAG_DEV_STATE | sort -u) == "GET: TAG_DEV_STATE=1A " ]] || fail "check mode changed a device"

echo "== tag_facts in when: the pumps (type 7) skipped"
playbook facts.out "$work/facts.yml" -e devices=racks:pumps
# shellcheck disable=SC2086
expect_recap facts.out "ok=3 changed=1 unreachable=0 failed=0 skipped=0 rescued=0 ignored=0" $racks
# shellcheck disable=SC2086
expect_recap facts.out "ok=2 changed=0 unreachable=0 failed=0 skipped=1 rescued=0 ignored=0" $pumps
grep -qF '"msg": "type 7 labelled Pump 3"' "$work/facts.out" || fail "the facts do not reach a template"
[[ $(held pumps TAG_DEV_STATE | sort -u) == "GET: TAG_DEV_STATE=01 " ]] || fail "a skipped pump was written"

echo "== bad arguments fail with tagconf's message, before anything is sent"
# the task's tags | the same in a tagconf state file ("-": none) | the message
cases=(
  '{"TAG_NOPE": 1}|TAG_NOPE: 1|unknown tag TAG_NOPE'
  '{"TAG_DEV_CFG": 1}|TAG_DEV_CFG: 1|TAG_DEV_CFG is a group tag: it can be read, not written'
  '{"TAG_DEV_LABEL": null}|TAG_DEV_LABEL: |TAG_DEV_LABEL has no value (an empty text is "")'
  '{"TAG_DEV_STATE": "12C"}|TAG_DEV_STATE: 12C|bad value "12C" for TAG_DEV_STATE: a UInt8 is hexadecimal from 0 to FF'
  '{"TAG_DEV_STATE": 300}|-|bad value "12C" for TAG_DEV_STATE: a UInt8 is hexadecimal from 0 to FF (the playbook'"'"'s 300)'
  '{"TAG_IO_GAIN": "1e39"}|TAG_IO_GAIN: 1e39|bad value "1e39" for TAG_IO_GAIN: a Float is a decimal number of at most 3.4e38 in size, nan or inf'
)
bad=$(printf '%s\n' "${cases[@]}" | cut -d'|' -f1 | paste -sd, -)
requests=$(($(served GET) + $(served SET)))
playbook bad.out "$work/bad.yml" -e devices=rack01 -e "{\"bad\": [$bad]}"
expect_recap bad.out "ok=1 changed=0 unreachable=0 failed=0 skipped=0 rescued=0 ignored=1" rack01
for case in "${cases[@]}"; do
  IFS='|' read -r _ state message <<< "$case"
  grep -qF "\"msg\": \"${message//\"/\\\"}\"" "$work/bad.out" || fail "no failure '$message'"
  [[ $state == - ]] && continue
  # tagconf itself says the same of a state file.
  printf 'targets: ["%s"]\ntags: {%s}\n' "$(head -1 "$work/racks.txt")" "$state" > "$work/bad-state.yml"
  said=$("$conf" validate "$work/bad-state.yml" 2>&1 || true)
  [[ $said == *": $message" ]] || fail "tagconf says: $said"
done
[[ $(($(served GET) + $(served SET))) == "$requests" ]] || fail "bad arguments sent requests"
echo "PASS"
