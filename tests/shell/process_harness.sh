# Sourced by the end-to-end scripts that start programs of their own: a
# scratch folder in $work, the started programs' pids in pids (ended with
# the script, however it ends), fail to stop with the logs shown, and
# wait_for_line to wait for a program's word.

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do echo "== $log" >&2; tail -n 20 "$log" >&2; done
  exit 1
}

# Waits until the file has a line matching the pattern; prints the line.
wait_for_line() {
  local file=$1 pattern=$2
  for _ in $(seq 100); do
    if grep -m1 -E "$pattern" "$file" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  fail "no line like '$pattern' in $file"
}

# Whether the page at the URL has a line matching the pattern. The page is
# read whole before grep looks: grep -q leaving early would make curl fail
# on a closed pipe, which pipefail turns into a false "no".
serves() {
  local page
  page=$(curl -sf "$1") || return 1
  grep -q -- "$2" <<<"$page"
}
