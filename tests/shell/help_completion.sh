#!/usr/bin/env bash
# Every --flag a program's --help lists (each command's, for tagconf) is
# offered by the program's generated completion, and the completion offers
# what a few lines call for.
# Usage: help_completion.sh TAGPOLL COMPLETION TAGCONF COMPLETION TAGAGENT COMPLETION TAG_EXPORTER COMPLETION
set -uo pipefail
here=$(dirname "$0")
failures=0

# offered PROGRAM COMPLETION LINE: what the completion offers for LINE, one a line.
offered() {
  local name
  name=$(basename "$1")
  (source "$here/completion_harness.sh" "$2" "_$name" >/dev/null && complete_line "$3")
}

# check_help PROGRAM COMPLETION [COMMAND]: each --flag of PROGRAM [COMMAND] --help.
check_help() {
  local program=$1 completion=$2 command=${3-} name flags flag help offers
  name=$(basename "$program")
  help=$("$program" ${command:+"$command"} --help) || { echo "FAIL: $name $command --help exited $?"; failures=$((failures + 1)); return; }
  # The first --flag of each line that starts with an option: the options'
  # rows, not flags named in prose.
  flags=$(sed -nE 's/^ +(-[A-Za-z], ?)?(--[a-z][a-z0-9.-]*[a-z0-9]).*/\2/p' <<< "$help" | sort -u)
  [[ -n $flags ]] || { echo "FAIL: no flags in $name $command --help"; failures=$((failures + 1)); }
  for flag in $flags; do
    # Read whole before grep -q looks: grep leaving at its first match would
    # cut the completion's output short, and pipefail call that a failure.
    offers=$(offered "$program" "$completion" "$name ${command:+$command }$flag")
    grep -qx -- "$flag" <<< "$offers" ||
      { echo "FAIL: $name's completion does not offer $flag after '$name $command'"; failures=$((failures + 1)); }
  done
}

# expect PROGRAM COMPLETION LINE OFFERED: the candidates, joined by spaces.
expect() {
  local got
  got=$(offered "$1" "$2" "$3" | paste -sd' ')
  [[ $got == "$4" ]] || { echo "FAIL: '$3' offered '$got', expected '$4'"; failures=$((failures + 1)); }
}

tagpoll=$1 poll=$2 tagconf=$3 conf=$4 tagagent=$5 agent=$6 exporter=$7 exporter_completion=$8
check_help "$tagpoll" "$poll"
check_help "$tagconf" "$conf"
for command in plan apply save validate; do check_help "$tagconf" "$conf" "$command"; done
check_help "$tagagent" "$agent"
check_help "$exporter" "$exporter_completion"

expect "$tagpoll" "$poll" "tagpoll --al" "--alive"
expect "$tagpoll" "$poll" "tagpoll --max" "--max-reply-bytes"
expect "$tagagent" "$agent" "tagagent --targets-file $here/help_compl" "$here/help_completion.sh"
expect "$tagagent" "$agent" "tagagent --de" "--devices --delay"
expect "$tagagent" "$agent" "tagagent -p " ""
expect "$exporter" "$exporter_completion" "tag_exporter --log.format=j" "json"
expect "$exporter" "$exporter_completion" "tag_exporter --log.level " "debug info warn error"
expect "$exporter" "$exporter_completion" "tag_exporter --web.listen-address=127" ""
expect "$exporter" "$exporter_completion" "tag_exporter --web.max" "--web.max-connections --web.max-connections-per-ip"
expect "$exporter" "$exporter_completion" "tag_exporter --config.c" "--config.check"

echo "$failures failed"
[[ $failures == 0 ]]
