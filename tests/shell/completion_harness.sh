# Sourced by the completion tests: runs a completion function as bash would
# at the end of a line and compares what it offers.
# Usage: source completion_harness.sh COMPLETION_FILE FUNCTION
source "$1"
completion_function=$2
failures=0
checked=0

# complete_line LINE: sets the words as bash does (a line ending in a space
# has an empty word being typed) and prints the candidates, one per line.
complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  read -ra COMP_WORDS <<< "$COMP_LINE"
  [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  "$completion_function"
  printf '%s\n' "${COMPREPLY[@]}"
}

# expect LINE OFFERED: the candidates, joined by spaces.
expect() {
  local line=$1 want=$2 got
  checked=$((checked + 1))
  got=$(complete_line "$line" | paste -sd' ')
  if [[ $got != "$want" ]]; then
    echo "FAIL: '$line' offered '$got', expected '$want'"
    failures=$((failures + 1))
  fi
}

# expect_count LINE N: how many candidates, for the lists too long to spell.
expect_count() {
  local count
  checked=$((checked + 1))
  count=$(complete_line "$1" | wc -l)
  [[ $count == "$2" ]] || { echo "FAIL: '$1' offered $count candidates, expected $2"; failures=$((failures + 1)); }
}

finish() {
  echo "$((checked - failures)) passed, $failures failed"
  [[ $failures == 0 ]]
}
