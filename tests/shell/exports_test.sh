#!/usr/bin/env bash
# The installed engine library exports what tagengine.h declares and nothing
# else: no standard library code it instantiated, no class of the engine's
# own sources, and its soname is the one the packages name.
# Usage: exports_test.sh LIBTAGENGINE_SO ENGINE_SOURCE_DIR
set -euo pipefail
lib=$1
engine=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libtagengine.so.0 ]] || fail "soname '$soname'"

# Defined dynamic symbols, demangled, without the version node.
symbols=$(nm -D --defined-only "$lib" | grep -v ' A ' | cut -d' ' -f3- | c++filt | sed 's/@@.*//')
[[ -n $symbols ]] || fail "no symbol exported"
while IFS= read -r s; do
  [[ $s == tagengine::* ]] || fail "exported outside the API: $s"
done <<< "$symbols"

# The engine's own types, from its private headers, and the state behind
# Engine.
internal=$(sed -n 's/^\(struct\|class\) \([A-Za-z_]*\) .*/\2/p' "$engine"/src/*.h | sort -u)
internal+=$'\n'"Engine::State"$'\n'"Line::State"
while IFS= read -r name; do
  leaked=$(grep -E "^tagengine::$name(::|\\()" <<< "$symbols" || true)
  [[ -z $leaked ]] || fail "internal $name exported: $(head -n 1 <<< "$leaked")"
done <<< "$internal"

# What callers use, one name of each part of the header.
for wanted in 'tagengine::Engine::submit(' 'tagengine::Engine::process(' 'tagengine::runUntilDone(' \
              'tagengine::readTags(' 'tagengine::writeTags(' 'tagengine::valueOf(' 'tagengine::makeTag(' \
              'tagengine::tagIdOf(' 'tagengine::statusName('; do
  grep -qF "$wanted" <<< "$symbols" || fail "$wanted is not exported"
done
echo "$(wc -l <<< "$symbols") symbols checked, $failures failures"
[[ $failures == 0 ]]
