#!/usr/bin/env bash
# Sources tagconf's generated completion and checks what it offers for a line.
set -uo pipefail
source "$(dirname "$0")/completion_harness.sh" "$1" _tagconf

expect "tagconf p" "plan"
expect "tagconf -t 0.2 a" "apply"
expect "tagconf save -f fleet.txt tag_dev_lab" "TAG_DEV_LABEL"
expect "tagconf save TAG_DEV_C" "TAG_DEV_CFG"
expect "tagconf apply --dr" "--dry-run"
expect "tagconf save --pa" "--partial"
expect "tagconf apply --lock" "--lock-timeout"
expect "tagconf apply --lock-timeout " ""
expect "tagconf v" "validate"
expect "tagconf plan --o" "--out"
expect "tagconf apply --li" "--limit"
expect "tagconf plan --li" "--limit"
expect "tagconf validate --" "--limit --help"
expect "tagconf plan --limit " ""
expect "tagconf save --l" ""
expect "tagconf --format " "text json"
expect "tagconf --ver" "--version"
expect "tagconf plan -t " ""
expect "tagconf apply --sh" "--shard"
expect "tagconf save --shard " ""
expect_count "tagconf save -f x " 182

finish
