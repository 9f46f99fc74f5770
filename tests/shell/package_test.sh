#!/usr/bin/env bash
# Builds the Debian package from the build directory and checks that it holds
# the programs, the libraries with their sonames, and the documentation.
# Usage: package_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in bin/tagclient bin/tagagent lib/libvmsg.so.0 lib/libaxodict.so.0 lib/libvlog.so.0 \
         include/vmsg.h share/man/man1/tagclient.1 share/man/man7/tagclient-tags.7 \
         share/bash-completion/completions/tagclient bin/tagpoll share/man/man1/tagpoll.1 \
         share/bash-completion/completions/tagpoll; do
  grep -q "/$f" <<< "$contents" || { echo "FAIL: $f missing from $(basename "$deb")"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q liblog4cpp || { echo "FAIL: no dependency on log4cpp"; exit 1; }
echo "$(basename "$deb") holds what it should"
