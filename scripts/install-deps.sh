#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only when one
# is missing, so that a machine that has them all never touches the network.
# Usage: scripts/install-deps.sh [extra packages...]
set -euo pipefail

# dpkg-dev, file, binutils and lintian build and check the Debian packages;
# libfyaml-dev parses every YAML file the programs read; libgnutls28-dev and
# libcrypt-dev serve the exporter's TLS and passwords,
# openssl makes the certificates of its tests and apache2-utils (htpasswd)
# their bcrypt password hashes, as users make theirs; pybind11-dev and
# python3-dev build the Python package, python3-pytest tests it and mypy
# checks its stubs; ansible-core builds the Ansible collection and runs its
# playbook tests.
packages=(cmake g++ make pkg-config liblog4cpp5-dev libgtest-dev mandoc nlohmann-json3-dev libyaml-cpp-dev libfyaml-dev
  libmicrohttpd-dev libgnutls28-dev libcrypt-dev openssl apache2-utils libcli11-dev locales curl dpkg-dev file binutils lintian
  pybind11-dev python3-dev python3-pytest mypy ansible-core
  "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A locale whose decimal mark is a comma, for the tests that check numbers are
# written the same whatever the locale.
if ! locale -a 2>/dev/null | grep -qx 'de_DE.utf8'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
