#!/usr/bin/env bash
# The manual pages as one web: every page of ours is named in the SEE ALSO
# of another, so that a reader finds it from any of them, and every one of
# our pages that a page names exists. The pages that only show another
# (.so) are found by their names through that one and need no reference.
# Usage: man_links.sh PAGE...
set -euo pipefail
failures=0
declare -A ours=()
for page in "$@"; do
  ours[$(basename "$page")]=$page
done
for name in "${!ours[@]}"; do
  page=${ours[$name]}
  if head -n 1 "$page" | grep -q '^\.so '; then
    target=$(sed -n '1s|^\.so man[0-9]/||p' "$page")
    [[ -n ${ours[$target]:-} ]] || { echo "FAIL: $name shows $target, which is not among the pages"; failures=$((failures + 1)); }
    continue
  fi
  referrers=0
  for other in "${!ours[@]}"; do
    [[ $other != "$name" ]] || continue
    sed -n '/^\.Sh SEE ALSO/,/^\.Sh /p' "${ours[$other]}" | grep -qx "\.Xr ${name%.*} ${name##*.}\( ,\)\?" &&
      referrers=$((referrers + 1))
  done
  [[ $referrers -gt 0 ]] || { echo "FAIL: no SEE ALSO names $name"; failures=$((failures + 1)); }
  # Each of our names that this page's SEE ALSO gives is a page we ship.
  while read -r ref section; do
    [[ -n ${ours[$ref.$section]:-} ]] || { echo "FAIL: $name names $ref($section), which is not among the pages"; failures=$((failures + 1)); }
  done < <(sed -n '/^\.Sh SEE ALSO/,/^\.Sh /s/^\.Xr \(tag[^ ]*\) \([0-9]\).*/\1 \2/p' "$page")
done
echo "${#ours[@]} pages linked, $failures failures"
[[ $failures == 0 ]]
