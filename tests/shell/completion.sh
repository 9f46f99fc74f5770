#!/usr/bin/env bash
# Sources the generated completion and checks what it offers for a line.
set -uo pipefail
source "$1"
failures=0

# complete_line LINE: runs the completion function as bash would at the end
# of LINE and prints the candidates, one per line.
complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  read -ra COMP_WORDS <<< "$COMP_LINE"
  COMP_CWORD=${#COMP_WORDS[@]}
  _tagclient
  printf '%s\n' "${COMPREPLY[@]}"
}

expect() {
  local line=$1 want=$2 got
  got=$(complete_line "$line" | paste -sd' ')
  if [[ $got != "$want" ]]; then
    echo "FAIL: '$line' offered '$got', expected '$want'"
    failures=$((failures + 1))
  fi
}

expect "tagclient GET: TAG_DEV_L" "TAG_DEV_LABEL="
expect "tagclient get: tag_dev_l" "TAG_DEV_LABEL="
expect "tagclient GET: TAG_DEV_CF" "TAG_DEV_CFG"
expect "tagclient G" "GET:"
# bash splits "GET:" at its colon and replaces only what follows it.
expect "tagclient GET:" ""
expect "tagclient ge" "GET:"
expect "tagclient -p 60000 SET: TAG_NET_INP" "TAG_NET_INPORT="
expect "tagclient -p " ""
expect "tagclient GET: TAG_DEV_LABEL=Ra" ""
expect "tagclient GET: TAG_NO_SUCH" ""
count=$(complete_line "tagclient GET: " | wc -l)
[[ $count == 182 ]] || { echo "FAIL: $count tag names offered, expected 182"; failures=$((failures + 1)); }

echo "$((11 - failures)) passed, $failures failed"
[[ $failures == 0 ]]
