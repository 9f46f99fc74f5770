#!/usr/bin/env bash
# Builds the Debian packages from the build directory and checks the split:
# each package's files, dependencies, shlibs and ldconfig trigger, stripped
# programs with their symbols in -dbgsym packages, and, when the build
# installs under /usr (where Debian's packages live), lintian --pedantic with
# no error and no warning.
# Usage: package_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=$(cache CMAKE_INSTALL_PREFIX)
prefix=${prefix%/}
libdir=$(cache CMAKE_INSTALL_LIBDIR)
plugindir=$(cache TAGCLIENT_WIRESHARK_PLUGIN_DIR)
# The Python package is left out of the sanitizer builds.
pydir=$(cache TAGPROTO_PYTHON_DIR)
python=$(cache Python_EXECUTABLE)
pyext='' pyminor=''
if [[ -n $pydir ]]; then
  pyext=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  pyminor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
fi

# Every installed file belongs to a package: nothing is left to the
# catch-all component that no package holds.
DESTDIR=$out/unspecified cmake --install "$build" --component Unspecified >/dev/null
[[ -z $(find "$out/unspecified" -type f 2>/dev/null) ]] || fail "files in no package: $(find "$out/unspecified" -type f)"

(cd "$build" && "$cpack" -G DEB -B "$out" > "$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; echo "FAIL: cpack"; exit 1; }

# package  files under the prefix (space separated)  Depends must include
packages=(
  "libvmsg0|$libdir/libvmsg.so.0 $libdir/libvmsg.so.0.1.0|libstdc++6"
  "libaxodict0|$libdir/libaxodict.so.0 $libdir/libaxodict.so.0.1.0|"
  "libvlog0|$libdir/libvlog.so.0 $libdir/libvlog.so.0.1.0|liblog4cpp5v5"
  "libtagengine0|$libdir/libtagengine.so.0 $libdir/libtagengine.so.0.1.0|libvmsg0 (= 0.1.0), libaxodict0 (= 0.1.0), libstdc++6"
  "libtagproto-dev|include/tagproto/vmsg.h include/tagproto/axodict.h include/tagproto/axodict_tags.h include/tagproto/vlog.h include/tagproto/tagengine.h $libdir/libvmsg.so $libdir/libaxodict.so $libdir/libvlog.so $libdir/libtagengine.so $libdir/pkgconfig/vmsg.pc $libdir/pkgconfig/axodict.pc $libdir/pkgconfig/vlog.pc $libdir/pkgconfig/tagproto.pc $libdir/pkgconfig/tagengine.pc $libdir/cmake/tagproto/tagprotoConfig.cmake share/man/man3/tagproto.3.gz share/man/man3/tagengine.3.gz share/man/man3/vmsg.3.gz share/man/man3/axodict.3.gz share/man/man3/vlog.3.gz share/doc/libtagproto-dev/wire-format.md share/doc/libtagproto-dev/examples/read-two-tags/read_two_tags.cpp share/doc/libtagproto-dev/examples/fleet-read/fleet_read.cpp|libvmsg0 (= 0.1.0), libaxodict0 (= 0.1.0), libvlog0 (= 0.1.0), libtagengine0 (= 0.1.0), liblog4cpp5-dev"
  "python3-tagproto|$pydir/tagproto/__init__.py $pydir/tagproto/aio.py $pydir/tagproto/_results.py $pydir/tagproto/__init__.pyi $pydir/tagproto/aio.pyi $pydir/tagproto/py.typed $pydir/tagproto/_engine$pyext|libtagengine0 (= 0.1.0), libaxodict0 (= 0.1.0), python3 (>= $pyminor~), libstdc++6"
  "tagclient|bin/tagclient share/man/man1/tagclient.1.gz share/man/man7/tagclient-tags.7.gz share/bash-completion/completions/tagclient share/man/man7/tagproto-dissector.7.gz $plugindir/tagproto.lua|libvmsg0 (= 0.1.0), libaxodict0 (= 0.1.0), libvlog0 (= 0.1.0)"
  "tagagent|bin/tagagent share/man/man1/tagagent.1.gz share/bash-completion/completions/tagagent|libvmsg0 (= 0.1.0), libvlog0 (= 0.1.0)"
  "tagpoll|bin/tagpoll share/man/man1/tagpoll.1.gz share/bash-completion/completions/tagpoll|libvmsg0 (= 0.1.0)"
  "tagconf|bin/tagconf share/man/man1/tagconf.1.gz share/bash-completion/completions/tagconf|libvmsg0 (= 0.1.0), libfyaml0, libgnutls30"
  "tag-exporter|bin/tag_exporter share/man/man1/tag_exporter.1.gz share/bash-completion/completions/tag_exporter lib/systemd/system/tag-exporter.service share/doc/tag-exporter/examples/tag-exporter-rules.yml|libvmsg0 (= 0.1.0), libmicrohttpd12, libfyaml0"
  "ansible-tagproto|share/ansible/collections/ansible_collections/tagproto/fleet/MANIFEST.json share/ansible/collections/ansible_collections/tagproto/fleet/FILES.json share/ansible/collections/ansible_collections/tagproto/fleet/meta/runtime.yml share/ansible/collections/ansible_collections/tagproto/fleet/plugins/modules/tag_config.py share/ansible/collections/ansible_collections/tagproto/fleet/plugins/modules/tag_facts.py share/ansible/collections/ansible_collections/tagproto/fleet/plugins/module_utils/device.py share/ansible/collections/ansible_collections/tagproto/fleet/plugins/doc_fragments/device.py|ansible-core, python3-tagproto (>= 0.1.0)"
)
for row in "${packages[@]}"; do
  IFS='|' read -r name files depends <<< "$row"
  [[ $name != python3-tagproto || -n $pydir ]] || continue
  # The Ansible collection is Python alone: one package for every architecture.
  arch=amd64
  [[ $name == ansible-tagproto ]] && arch=all
  deb=$out/${name}_0.1.0_$arch.deb
  [[ -f $deb ]] || { fail "no package $name"; continue; }
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in $files share/doc/$name/copyright share/doc/$name/changelog.gz; do
    grep -qx "\.$prefix/$f" <<< "$contents" || fail "$name lacks $prefix/$f"
  done
  got=$(dpkg-deb -f "$deb" Depends)
  IFS=',' read -ra wanted <<< "$depends"
  for d in "${wanted[@]}"; do
    d=${d# }
    [[ ", $got," == *", $d"[,\ ]* ]] || fail "$name does not depend on '$d': $got"
  done
  dpkg-deb -e "$deb" "$out/control-$name"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$prefix/share/doc/$name/changelog.gz" | gzip -dc | head -n 1 |
    grep -q "^tagclient ($(dpkg-deb -f "$deb" Version)) " || fail "$name: the changelog's last entry is not this version"
  if [[ $name == tag-exporter ]]; then
    # The one package with a service: its scripts manage the unit.
    bash "$(dirname "$0")/service_scripts.sh" "$out/control-$name" tag-exporter.service tag_exporter.service || fail "$name's maintainer scripts"
  else
    [[ ! -e $out/control-$name/postinst && ! -e $out/control-$name/postrm ]] || fail "$name has maintainer scripts"
  fi
  if [[ $name == lib*0 ]]; then
    lib=${name%0}
    grep -qx "$lib 0 $name (= 0.1.0)" "$out/control-$name/shlibs" || fail "$name shlibs: $(cat "$out/control-$name/shlibs")"
    grep -qx "activate-noawait ldconfig" "$out/control-$name/triggers" || fail "$name has no ldconfig trigger"
    # One per architecture may be installed at once.
    [[ $(dpkg-deb -f "$deb" Multi-Arch) == same ]] || fail "$name is not Multi-Arch: same"
  fi
  # Shipped binaries are stripped; their symbols are in the -dbgsym package.
  dpkg-deb -x "$deb" "$out/tree-$name"
  for f in $files; do
    [[ -f $out/tree-$name$prefix/$f && ! -L $out/tree-$name$prefix/$f ]] || continue
    if file -b "$out/tree-$name$prefix/$f" | grep -q '^ELF'; then
      file -b "$out/tree-$name$prefix/$f" | grep -q ', stripped' || fail "$name: $f is not stripped"
      [[ -f $out/${name}-dbgsym_0.1.0_amd64.ddeb ]] || fail "no ${name}-dbgsym package"
    fi
  done
done

# The Python package imports from the packages' own files alone, and tells
# the table's tags.
if [[ -n $pydir ]]; then
  pytree=$out/tree-python3-tagproto$prefix/$pydir
  libs=$out/tree-libtagengine0$prefix/$libdir:$out/tree-libvmsg0$prefix/$libdir:$out/tree-libaxodict0$prefix/$libdir
  tags=$(cd "$out" && env -i PATH="$PATH" PYTHONPATH="$pytree" LD_LIBRARY_PATH="$libs" PYTHONDONTWRITEBYTECODE=1 \
    "$python" -c 'import tagproto; print(len(tagproto.tags), tagproto.tag(8).name)' 2>&1) || true
  [[ $tags == "182 TAG_DEV_ID" ]] || fail "python3-tagproto does not import from its files: $tags"
  [[ -z $(find "$pytree" -name '__pycache__') ]] || fail "python3-tagproto ships byte code"
fi
# man vmsg (axodict, vlog), by a header's name, finds the libraries' page.
if command -v man >/dev/null; then
  for name in vmsg axodict vlog; do
    MANWIDTH=80 man -M "$out/tree-libtagproto-dev$prefix/share/man" 3 "$name" 2>/dev/null | grep 'libvmsg' >/dev/null ||
      fail "man $name does not show the libraries' page"
  done
fi
# The unit is named after the package; the program's name stays its alias.
grep -qx 'Alias=tag_exporter.service' "$out/tree-tag-exporter$prefix/lib/systemd/system/tag-exporter.service" ||
  fail "tag-exporter.service has no alias tag_exporter.service"

if [[ $prefix == /usr ]]; then
  # The exporter's modules file is a configuration file under /etc, kept by upgrades.
  dpkg-deb -c "$out/tag-exporter_0.1.0_amd64.deb" | awk '{print $6}' | grep -qx './etc/tag_exporter/tag_exporter.yml' ||
    fail "tag-exporter lacks /etc/tag_exporter/tag_exporter.yml"
  grep -qx '/etc/tag_exporter/tag_exporter.yml' "$out/control-tag-exporter/conffiles" ||
    fail "tag-exporter's modules file is not a conffile"
  # Its flags are in /etc/default, a conffile too, and the unit reads them.
  grep -qx '/etc/default/tag-exporter' "$out/control-tag-exporter/conffiles" ||
    fail "tag-exporter's /etc/default/tag-exporter is not a conffile"
  unit=$out/tree-tag-exporter$prefix/lib/systemd/system/tag-exporter.service
  grep -qx 'EnvironmentFile=-/etc/default/tag-exporter' "$unit" || fail "the unit does not read /etc/default/tag-exporter"
  grep -qx 'ExecStart=/usr/bin/tag_exporter $ARGS' "$unit" || fail "the unit does not pass ARGS: $(grep ExecStart "$unit")"
  grep -q '^ARGS=' "$out/tree-tag-exporter/etc/default/tag-exporter" || fail "/etc/default/tag-exporter sets no ARGS"
  # The dissector goes where this system's tshark loads Lua plugins from.
  plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  [[ $plugins == "/usr/$plugindir" ]] || fail "tagproto.lua goes to /usr/$plugindir, tshark loads $plugins"
  command -v lintian >/dev/null || { echo "FAIL: lintian is not installed (scripts/install-deps.sh lintian)"; exit 1; }
  report=$(lintian --pedantic -I --tag-display-limit 0 "$out"/*.deb "$out"/*.ddeb 2>&1 | grep -v 'root privileges' || true)
  [[ -n $report ]] && echo "$report"
  grep -qE '^[EW]: ' <<< "$report" && fail "lintian reports errors or warnings"
else
  echo "lintian skipped: the build installs under $prefix, not /usr"
fi

built=("$out"/*.deb "$out"/*.ddeb)
echo "${#built[@]} packages checked, $failures failures"
[[ $failures == 0 ]]
