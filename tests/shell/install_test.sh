#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR at the prefix it was configured
# for, runs the installed tagclient against the installed tagagent on
# loopback, and builds a program against the installed libraries through both
# CMake and pkg-config, as a C++17 user with strict warnings, and the example
# programs of the engine, run against an agent and a fleet of 1,000.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [CXXFLAGS]
# CXXFLAGS builds the outside program the way the libraries were built (the
# sanitizer build's libraries need a sanitized program).
set -euo pipefail
build=$1
src=$2
cxxflags=${3:-}
source "$src/scripts/background.sh"

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
configured=$(cache CMAKE_INSTALL_PREFIX)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
DESTDIR=$work/root cmake --install "$build" >/dev/null
prefix=$work/root$configured
for f in bin/tagclient bin/tagagent include/tagproto/vmsg.h include/tagproto/axodict.h \
         include/tagproto/tagengine.h "$libdir/libtagengine.so.0" "$libdir/pkgconfig/tagengine.pc" \
         share/man/man3/tagengine.3.gz share/man/man3/vmsg.3.gz share/doc/libtagproto-dev/examples/read-two-tags/CMakeLists.txt \
         share/doc/libtagproto-dev/examples/fleet-read/fleet_read.cpp \
         include/tagproto/axodict_tags.h include/tagproto/vlog.h "$libdir/libvmsg.so.0" \
         "$libdir/libaxodict.so.0" "$libdir/libvlog.so.0" "$libdir/pkgconfig/tagproto.pc" \
         "$libdir/pkgconfig/vmsg.pc" "$libdir/pkgconfig/axodict.pc" "$libdir/pkgconfig/vlog.pc" \
         "$libdir/cmake/tagproto/tagprotoConfig.cmake" share/man/man1/tagclient.1.gz \
         share/man/man1/tagagent.1.gz share/man/man7/tagclient-tags.7.gz share/man/man3/tagproto.3.gz \
         share/man/man7/tagproto-dissector.7.gz \
         share/bash-completion/completions/tagclient share/doc/libtagproto-dev/wire-format.md \
         bin/tagpoll share/man/man1/tagpoll.1.gz share/bash-completion/completions/tagpoll \
         bin/tag_exporter share/man/man1/tag_exporter.1.gz lib/systemd/system/tag-exporter.service \
         share/bash-completion/completions/tagagent share/bash-completion/completions/tag_exporter; do
  [[ -e $prefix/$f ]] || { echo "FAIL: $f not installed under $configured"; exit 1; }
done
[[ ! -e $prefix/include/vmsg.h ]] || { echo "FAIL: a header at the top of include/"; exit 1; }

# The installed dissector loads as a plugin (from the personal folder: the
# global one is outside the DESTDIR).
plugin=$prefix/$(cache TAGCLIENT_WIRESHARK_PLUGIN_DIR)/tagproto.lua
[[ -f $plugin ]] || { echo "FAIL: no dissector at $plugin"; exit 1; }
mkdir -p "$work/home/.local/lib/wireshark/plugins"
cp "$plugin" "$work/home/.local/lib/wireshark/plugins/"
HOME=$work/home tshark -G protocols 2>/dev/null | grep $'\ttagproto$' >/dev/null || { echo "FAIL: tshark does not load $plugin"; exit 1; }

# Under /usr the loader finds the libraries itself; elsewhere the programs say
# where they are, relative to themselves.
for program in tagclient tagagent; do
  runpath=$(readelf -d "$prefix/bin/$program" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
  if [[ $configured == /usr ]]; then
    [[ -z $runpath ]] || { echo "FAIL: $program carries a search path under /usr: $runpath"; exit 1; }
  else
    [[ $runpath == "\$ORIGIN/../$libdir" ]] || { echo "FAIL: $program searches '$runpath'"; exit 1; }
  fi
done
export LD_LIBRARY_PATH=$prefix/$libdir

start_agent "$prefix/bin/tagagent"
out=$("$prefix/bin/tagclient" -h 127.0.0.1 -p "$agent_port" GET: TAG_DEV_LABEL)
echo "$out"
grep -q '^GET: TAG_DEV_LABEL="' <<< "$out" || { echo "FAIL: no reply line"; exit 1; }

out=$("$prefix/bin/tagpoll" --target "127.0.0.1:$agent_port" GET: TAG_DEV_LABEL)
echo "$out"
grep -q $'^127.0.0.1:'"$agent_port"$'\tGET: TAG_DEV_LABEL="' <<< "$out" || { echo "FAIL: no tagpoll line"; exit 1; }

grep -q 'INTERFACE_COMPILE_FEATURES "cxx_std_17"' "$prefix/$libdir/cmake/tagproto/tagprotoTargets.cmake" ||
  { echo "FAIL: the CMake package does not state the C++ standard"; exit 1; }
strict="-Wall -Wextra -Wshadow -Wconversion -Werror"
# The CMake package needs no pkg-config: refused here, it is never asked.
cmake -S "$src/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=TRUE -DCMAKE_CXX_FLAGS="$cxxflags $strict" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

# The files name the configured prefix, plainly; the tree under DESTDIR is
# read as a system root.
pc=$prefix/$libdir/pkgconfig
for f in "$pc"/*.pc; do
  grep -q '\.\.' "$f" && { echo "FAIL: $f holds a relative path"; exit 1; }
done
grep -qx "prefix=$configured" "$pc/tagengine.pc" || { echo "FAIL: tagengine.pc: $(grep prefix= "$pc/tagengine.pc")"; exit 1; }
export PKG_CONFIG_PATH=$pc PKG_CONFIG_SYSROOT_DIR=$work/root
include=$(pkg-config --cflags-only-I vmsg | sed 's/^-I//; s/ *$//')
[[ $include == "$prefix/include/tagproto" ]] || { echo "FAIL: pkg-config points elsewhere: $include"; exit 1; }
# The consumer logs through log4cpp itself: vlog's file must bring it in.
# shellcheck disable=SC2086,SC2046
g++ -std=c++17 $cxxflags $strict -o "$work/consumer-pc" "$src/tests/consumer/main.cpp" \
  $(pkg-config --cflags --libs vmsg axodict vlog)
"$work/consumer-pc"

# The example programs, as shipped, built with CMake and with pkg-config
# against the installed engine, run against the agent and a fleet.
examples=$prefix/share/doc/libtagproto-dev/examples
for example in read-two-tags fleet-read; do
  program=${example//-/_}
  cmake -S "$examples/$example" -B "$work/$example" -DCMAKE_PREFIX_PATH="$prefix" \
    --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=TRUE -DCMAKE_CXX_FLAGS="$cxxflags $strict" >/dev/null
  cmake --build "$work/$example" >/dev/null
  # shellcheck disable=SC2086,SC2046
  g++ -std=c++20 $cxxflags $strict -o "$work/$program-pc" "$examples/$example/$program.cpp" \
    $(pkg-config --cflags --libs tagengine axodict)
done
for built in "$work/read-two-tags/read_two_tags" "$work/read_two_tags-pc"; do
  out=$("$built" "127.0.0.1:$agent_port")
  [[ $out == $'TAG_DEV_ID=42\nTAG_DEV_LABEL=Demo rack controller' ]] || { echo "FAIL: $built printed: $out"; exit 1; }
done
"$prefix/bin/tagagent" -p 0 -t 60 --devices 1000 --targets-file "$work/fleet.txt" > "$work/fleet.out" &
background_pids+=($!)
[[ -n $(wait_for_line "$work/fleet.out" 's/^listening on 1000 devices.*/up/p') ]] ||
  { echo "FAIL: the fleet did not start"; exit 1; }
for built in "$work/fleet-read/fleet_read" "$work/fleet_read-pc"; do
  "$built" "$work/fleet.txt" > "$work/fleet-read.out" || { echo "FAIL: $built: not every device answered"; exit 1; }
  answered=$(grep -c $'\tanswered\tDemo rack controller [0-9]*$' "$work/fleet-read.out" || true)
  [[ $answered == 1000 ]] || { echo "FAIL: $built: $answered of 1000 devices read"; exit 1; }
  # Each device answered with its own label: device i holds label i.
  first=$(head -n 1 "$work/fleet.txt")
  grep -qx "$first"$'\tanswered\tDemo rack controller 1' "$work/fleet-read.out" ||
    { echo "FAIL: $built: $first not read as device 1"; exit 1; }
done
echo "install test passed"
