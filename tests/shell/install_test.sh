#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, runs the installed tagclient
# against the installed tagagent on loopback, and builds a program against
# the installed libraries through both CMake and pkg-config.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [CXXFLAGS]
# CXXFLAGS builds the outside program the way the libraries were built (the
# sanitizer build's libraries need a sanitized program).
set -euo pipefail
build=$1
src=$2
cxxflags=${3:-}
source "$src/scripts/background.sh"

DESTDIR=$work/root cmake --install "$build" --prefix /usr/local >/dev/null
prefix=$work/root/usr/local
for f in bin/tagclient bin/tagagent include/vmsg.h include/axodict.h include/vlog.h \
         lib/libvmsg.so.0 lib/libaxodict.so.0 lib/libvlog.so.0 lib/pkgconfig/tagproto.pc \
         lib/cmake/tagproto/tagprotoConfig.cmake share/man/man1/tagclient.1 \
         share/man/man1/tagagent.1 share/man/man7/tagclient-tags.7 \
         share/bash-completion/completions/tagclient bin/tagpoll share/man/man1/tagpoll.1 \
         share/bash-completion/completions/tagpoll; do
  [[ -e $prefix/$f ]] || { echo "FAIL: $f not installed"; exit 1; }
done

start_agent "$prefix/bin/tagagent"
port=$agent_port

out=$("$prefix/bin/tagclient" -h 127.0.0.1 -p "$port" GET: TAG_DEV_LABEL)
echo "$out"
grep -q '^GET: TAG_DEV_LABEL="' <<< "$out" || { echo "FAIL: no reply line"; exit 1; }

out=$("$prefix/bin/tagpoll" --target "127.0.0.1:$port" GET: TAG_DEV_LABEL)
echo "$out"
grep -q $'^127.0.0.1:'"$port"$'\tGET: TAG_DEV_LABEL="' <<< "$out" || { echo "FAIL: no tagpoll line"; exit 1; }

cmake -S "$src/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$cxxflags" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$prefix/lib "$work/consumer/consumer"

flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs tagproto)
[[ $flags == *"-I$prefix/lib/pkgconfig/../../include"* ]] || { echo "FAIL: pkg-config points elsewhere: $flags"; exit 1; }
# shellcheck disable=SC2086
g++ -std=c++17 $cxxflags -o "$work/consumer-pc" "$src/tests/consumer/main.cpp" $flags
LD_LIBRARY_PATH=$prefix/lib "$work/consumer-pc"
echo "install test passed"
