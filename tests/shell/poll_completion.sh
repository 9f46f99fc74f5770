#!/usr/bin/env bash
# Sources tagpoll's generated completion and checks what it offers for a line.
set -uo pipefail
source "$1"
failures=0
checked=0

complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  read -ra COMP_WORDS <<< "$COMP_LINE"
  COMP_CWORD=${#COMP_WORDS[@]}
  _tagpoll
  printf '%s\n' "${COMPREPLY[@]}"
}

expect() {
  local line=$1 want=$2 got
  checked=$((checked + 1))
  got=$(complete_line "$line" | paste -sd' ')
  if [[ $got != "$want" ]]; then
    echo "FAIL: '$line' offered '$got', expected '$want'"
    failures=$((failures + 1))
  fi
}

expect "tagpoll -f fleet.txt GET: TAG_DEV_L" "TAG_DEV_LABEL="
expect "tagpoll --target 10.0.0.1:60000 get: tag_dev_c" "TAG_DEV_CFG"
expect "tagpoll -f fleet.txt g" "GET:"
expect "tagpoll --con" "--concurrency"
expect "tagpoll -o " "line json csv"
expect "tagpoll --format j" "json"
expect "tagpoll -t " ""
expect "tagpoll --target 10.0.0.1:6" ""
expect "tagpoll -f x GET: --r" ""
expect "tagpoll -f x SET: TAG_DEV_LABEL=Ra" ""
count=$(complete_line "tagpoll -f x GET: " | wc -l)
checked=$((checked + 1))
[[ $count == 182 ]] || { echo "FAIL: $count tag names offered, expected 182"; failures=$((failures + 1)); }

echo "$((checked - failures)) passed, $failures failed"
[[ $failures == 0 ]]
