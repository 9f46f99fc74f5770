#!/usr/bin/env bash
# Runs a package's maintainer scripts, as dpkg would call them, against
# stand-ins for deb-systemd-helper, deb-systemd-invoke and systemctl that
# log what they are asked, and checks the service is enabled and started on
# installation, restarted on upgrade, left alone when disabled, stopped on
# removal and forgotten on purge. The scripts' test for a running systemd is
# pointed at a folder of our own, so both cases run on any machine.
# Usage: service_scripts.sh CONTROL_DIR UNIT
set -euo pipefail
control=$1
unit=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/bin" "$work/scripts" "$work/systemd"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
  cat > "$work/bin/$tool" <<STUB
#!/bin/sh
echo "$tool \$*" >> "$work/log"
# was-enabled answers as the case says; everything else succeeds.
[ "\$2" != was-enabled ] || [ "\$WAS_ENABLED" = yes ]
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

# script  arguments  systemd running  was enabled  calls expected, in order ("" for none)
cases=(
  "postinst|configure|yes|yes|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke start $unit"
  "postinst|configure 0.0.9|yes|yes|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure 0.0.9|yes|no|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper update-state $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "postinst|configure|no|yes|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit"
  "postinst|abort-upgrade 0.1.0|yes|yes|deb-systemd-helper --quiet was-enabled $unit;deb-systemd-helper enable $unit;systemctl --system daemon-reload;deb-systemd-invoke restart $unit"
  "prerm|upgrade 0.1.1|yes|yes|"
  "prerm|remove|yes|yes|deb-systemd-invoke stop $unit"
  "prerm|remove|no|yes|"
  "postrm|remove|yes|yes|systemctl --system daemon-reload"
  "postrm|upgrade 0.1.1|yes|yes|"
  "postrm|purge|no|yes|deb-systemd-helper purge $unit"
)
for row in "${cases[@]}"; do
  IFS='|' read -r script args running enabled expected <<< "$row"
  rm -f "$work/log"
  if [[ $running == yes ]]; then mkdir -p "$work/systemd"; else rmdir "$work/systemd" 2>/dev/null || true; fi
  read -ra argv <<< "$args"
  if ! output=$(PATH="$work/bin:$PATH" WAS_ENABLED=$enabled "$work/scripts/$script" "${argv[@]}" 2>&1); then
    echo "FAIL: $script $args exited with an error: $output"; failures=$((failures + 1)); continue
  fi
  [[ -z $output ]] || { echo "FAIL: $script $args printed: $output"; failures=$((failures + 1)); }
  got=$(paste -sd ';' "$work/log" 2>/dev/null || true)
  [[ $got == "$expected" ]] || {
    echo "FAIL: $script $args (systemd running: $running, enabled: $enabled)"
    echo "  expected: $expected"
    echo "  got:      $got"
    failures=$((failures + 1))
  }
done
echo "${#cases[@]} maintainer script cases, $failures failures"
[[ $failures == 0 ]]
