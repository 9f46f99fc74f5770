#!/usr/bin/env bash
# Sources the generated completion and checks what it offers for a line.
set -uo pipefail
source "$(dirname "$0")/completion_harness.sh" "$1" _tagclient

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
expect_count "tagclient GET: " 182

finish
