#!/usr/bin/env bash
# clang-tidy (.clang-tidy), cppcheck and clang-format over our own code;
# any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh clang-tidy cppcheck clang-format

folders=(client extlib yaml cmdline agent engine poller configurator exporter python tools fuzz)
sources=$(git ls-files "${folders[@]/%//*.cpp}")
headers=$(git ls-files "${folders[@]/%//*.h}")

echo "== clang-format"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $sources $headers $(git ls-files 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')

echo "== cppcheck"
# shellcheck disable=SC2086
cppcheck --enable=warning,style,performance,portability --std=c++20 --quiet --error-exitcode=1 \
  --inline-suppr --suppress=useStlAlgorithm --suppress=missingIncludeSystem \
  -I client -I extlib/axodict -I extlib/vmsg/include -I extlib/axodict/include -I extlib/vlog/include -I agent \
  -I engine/include -I engine/src -I cmdline -I poller -I configurator -I yaml/include -I yaml/src -I python/src \
  -I exporter -I exporter/config -I exporter/probing -I exporter/web \
  $sources

echo "== clang-tidy"
build=build-tidy
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=ON -DTAGCLIENT_BENCH=OFF >/dev/null
# The one generated header the sources include.
cmake --build "$build" --target axodict_tags >/dev/null
# shellcheck disable=SC2086
findings=$(run-clang-tidy -p "$build" -quiet $sources 2>/dev/null | grep -E 'warning:|error:' || true)
if [[ -n $findings ]]; then
  echo "$findings"
  exit 1
fi
echo "static analysis: no findings"
