#!/usr/bin/env bash
# Runs a package's maintainer scripts, as dpkg would call them, against
# stand-ins for deb-systemd-helper, deb-systemd-invoke and systemctl that
# log what they are asked, and checks the service is enabled and started on
# installation, restarted on upgrade, left alone when disabled, stopped on
# removal and forgotten on purge; an upgrade from when the unit had the
# name it now has as alias stops it under that name and carries its
# enablement over. The scripts' test for a running systemd is pointed at a
# folder of our own, so both cases run on any machine.
# Usage: service_scripts.sh CONTROL_DIR UNIT OLD_UNIT
set -euo pipefail
control=$1
unit=$2
old=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/bin" "$work/scripts" "$work/systemd"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
  cat > "$work/bin/$tool" <<STUB
#!/bin/sh
echo "$tool \$*" >> "$work/log"
# was-enabled and debian-installed answer as the case says; everything
# else succeeds.
case "\$*" in
  "--quiet was-enabled $old") [ "\$OLD" = enabled ] ;;
  "--quiet was-enabled "*) [ "\$WAS_ENABLED" = yes ] ;;
  "debian-installed $old") [ "\$OLD" != none ] ;;
esac
STUB
  chmod +x "$work/bin/$tool"
done
for script in postinst prerm postrm; do
  [[ -x $control/$script ]] || { echo "FAIL: no executable $script"; exit 1; }
  head -n 1 "$control/$script" | grep -qx '#!/bin/sh' || { echo "FAIL: $script is not a /bin/sh script"; failures=$((failures + 1)); }
  sed "s|/run/systemd/system|$work/systemd|g; s|/usr/bin/deb-systemd-helper|$work/bin/deb-systemd-helper|g" \
    "$control/$script" > "$work/scripts/$script"
  chmod +x "$work/scripts/$script"
done

# script  arguments  systemd running  was enabled  old name (none, enabled,
# disabled)  calls expected, in order ("" for none)
installed="deb-systemd-helper debian-installed $old"
cases=(
  "postinst|configure|yes|yes|none|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke start $unit"
  "postinst|configure 0.0.9|yes|yes|none|$installed;deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure 0.0.9|yes|no|none|$installed;deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper update-state $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure|no|yes|none|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit"
  "postinst|abort-upgrade 0.1.0|yes|yes|none|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure 0.1.0|yes|yes|enabled|$installed;deb-systemd-invoke stop $old;deb-systemd-helper --quiet was-enabled $old;deb-systemd-helper purge $old;deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure 0.1.0|yes|no|disabled|$installed;deb-systemd-invoke stop $old;deb-systemd-helper --quiet was-enabled $old;deb-systemd-helper update-state $unit;deb-systemd-helper purge $old;deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper update-state $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure 0.1.0|no|yes|enabled|$installed;deb-systemd-helper --quiet was-enabled $old;deb-systemd-helper purge $old;deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit"
  "prerm|upgrade 0.1.1|yes|yes|none|"
  "prerm|remove|yes|yes|none|deb-systemd-invoke stop $unit"
  "prerm|remove|no|yes|none|"
  "postrm|remove|yes|yes|none|systemctl --system daemon-reload"
  "postrm|upgrade 0.1.1|yes|yes|none|"
  "postrm|purge|no|yes|none|deb-systemd-helper purge $unit"
)
for row in "${cases[@]}"; do
  IFS='|' read -r script args running enabled old_state expected <<< "$row"
  rm -f "$work/log"
  if [[ $running == yes ]]; then mkdir -p "$work/systemd"; else rmdir "$work/systemd" 2>/dev/null || true; fi
  read -ra argv <<< "$args"
  if ! output=$(PATH="$work/bin:$PATH" WAS_ENABLED=$enabled OLD=$old_state "$work/scripts/$script" "${argv[@]}" 2>&1); then
    echo "FAIL: $script $args exited with an error: $output"; failures=$((failures + 1)); continue
  fi
  [[ -z $output ]] || { echo "FAIL: $script $args printed: $output"; failures=$((failures + 1)); }
  got=$(paste -sd ';' "$work/log" 2>/dev/null || true)
  [[ $got == "$expected" ]] || {
    echo "FAIL: $script $args (systemd running: $running, enabled: $enabled, $old: $old_state)"
    echo "  expected: $expected"
    echo "  got:      $got"
    failures=$((failures + 1))
  }
done
echo "${#cases[@]} maintainer script cases, $failures failures"
[[ $failures == 0 ]]
