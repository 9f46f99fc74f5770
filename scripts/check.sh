#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, the same suite
# under valgrind and under AddressSanitizer with UndefinedBehaviorSanitizer,
# bounded fuzzing, and static analysis. Any failure stops it non-zero.
# FUZZ_SECONDS (default 20) bounds each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh valgrind clang libclang-rt-dev clang-tidy cppcheck clang-format dpkg-dev \
  tshark lua5.2 prometheus
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

step() { printf '\n== %s (%ss so far)\n' "$1" "$SECONDS"; }

step "Plain build"
rm -rf build-check
# Configured for /usr, as Debian's packages are: its package test runs lintian
# on them. The sanitizer build below keeps the default prefix, so the install
# test covers both layouts. Line tables only: valgrind's reports and the
# -dbgsym packages keep file and line, and the compiler spends a quarter less.
cmake -S . -B build-check -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-check -j"$jobs"
step "Tests"
ctest --test-dir build-check --output-on-failure -j"$jobs" -LE valgrind
step "Tests with the client under valgrind"
ctest --test-dir build-check --output-on-failure -j"$jobs" -L valgrind

step "Sanitizer build"
rm -rf build-sanitize
# -O1 with line tables only: the sanitizers' reports keep their file and line,
# and the build takes half the compiler's time it takes at -O2 with full
# debug information, the longest step of this script otherwise.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGCLIENT_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
step "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

step "Fuzzing, ${fuzz_seconds}s a target"
rm -rf build-fuzz-ci
CXX=clang++ cmake -S . -B build-fuzz-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGCLIENT_FUZZ=ON \
  -DTAGCLIENT_SANITIZE=ON >/dev/null
targets=$(cd fuzz/corpus && ls)
# shellcheck disable=SC2086
cmake --build build-fuzz-ci -j"$jobs" --target $targets
# One target for its time from its seed corpus, in a scratch folder for what
# it writes; on a finding its log's tail. The targets run one a core: each is
# a single process.
fuzz_one() {
  local target=$1 scratch status=0
  scratch=$(mktemp -d)
  mkdir "$scratch/corpus"
  (cd "$scratch" && LSAN_OPTIONS=suppressions="$root/fuzz/lsan.supp" "$root/build-fuzz-ci/fuzz/$target" \
     -max_total_time="$fuzz_seconds" -max_len=1500 -malloc_limit_mb=64 -print_final_stats=1 \
     "$scratch/corpus" "$root/fuzz/corpus/$target") >"$scratch/log" 2>&1 || status=$?
  if [[ $status != 0 ]]; then
    printf '%s: FAILED (status %s, its files in %s)\n%s\n' "$target" "$status" "$scratch" "$(tail -n 60 "$scratch/log")"
    return 1
  fi
  echo "$target: $(grep -E '^Done ' "$scratch/log" || true)"
  rm -rf "$scratch"
}
export -f fuzz_one
export root=$PWD fuzz_seconds
# shellcheck disable=SC2086
printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'fuzz_one {}'

step "Static analysis"
bash scripts/static-analysis.sh
step "All checks passed"
