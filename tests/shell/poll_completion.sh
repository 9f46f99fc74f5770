#!/usr/bin/env bash
# Sources tagpoll's generated completion and checks what it offers for a line.
set -uo pipefail
source "$(dirname "$0")/completion_harness.sh" "$1" _tagpoll

expect "tagpoll -f fleet.txt GET: TAG_DEV_L" "TAG_DEV_LABEL="
expect "tagpoll --target 127.0.0.1:60000 get: tag_dev_c" "TAG_DEV_CFG"
expect "tagpoll -f fleet.txt g" "GET:"
expect "tagpoll --con" "--concurrency"
expect "tagpoll -o " "line json csv"
expect "tagpoll --format j" "json"
expect "tagpoll -t " ""
expect "tagpoll --sh" "--shard"
expect "tagpoll --shard " ""
expect "tagpoll --ver" "--verify --version"
expect "tagpoll --target 127.0.0.1:6" ""
expect "tagpoll -f x GET: --r" ""
expect "tagpoll -f x SET: TAG_DEV_LABEL=Ra" ""
expect_count "tagpoll -f x GET: " 182

finish
