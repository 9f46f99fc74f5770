#!/usr/bin/env bash
# Sources tagconf's generated completion and checks what it offers for a line.
set -uo pipefail
source "$1"
failures=0
checked=0

complete_line() {
  read -ra COMP_WORDS <<< "$1"
  [[ $1 == *' ' ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _tagconf
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

expect "tagconf p" "plan"
expect "tagconf -t 0.2 a" "apply"
expect "tagconf save -f fleet.txt tag_dev_lab" "TAG_DEV_LABEL"
expect "tagconf save TAG_DEV_C" "TAG_DEV_CFG"
expect "tagconf apply --dr" "--dry-run"
expect "tagconf --format " "text json"
expect "tagconf --ver" "--version"
expect "tagconf plan -t " ""
count=$(complete_line "tagconf save -f x " | wc -l)
checked=$((checked + 1))
[[ $count == 182 ]] || { echo "FAIL: $count tag names offered, expected 182"; failures=$((failures + 1)); }

echo "$((checked - failures)) passed, $failures failed"
[[ $failures == 0 ]]
