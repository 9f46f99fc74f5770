#!/usr/bin/env bash
# Every manual page must pass mandoc's lint at warning level or above.
set -euo pipefail
for page in "$@"; do
  mandoc -T lint -W warning "$page"
done
echo "linted $# pages"
