#!/usr/bin/env bash
# The service's way to a TLS key only root may read, followed as
# /etc/default/tag-exporter tells it: the key (mode 0600, root's) is out of
# reach of the service's own user, and read once handed over the way
# systemd's LoadCredential= does, a copy the service alone may read in a
# folder named by $CREDENTIALS_DIRECTORY. Without root the user cannot be
# changed, and only the hand-over is checked. With systemd-analyze, the unit
# and the drop-in the file gives are verified too. Everything on 127.0.0.1
# with a port chosen at run time.
# Usage: service_credentials.sh UNIT_FILE DEFAULT_FILE TAG_EXPORTER MODULES_FILE
set -euo pipefail
unit=$1 defaults=$2 exporter_bin=$(realpath "$3") modules=$4
source "$(dirname "$0")/process_harness.sh"

# The steps as the file gives them, so that a test passing means they work.
credentials=$(sed -n 's/^#   LoadCredential=//p' "$defaults")
args=$(sed -n 's/^#   ARGS="\(--web.config.file=[^"]*\)"$/\1/p' "$defaults")
[[ $(wc -l <<< "$credentials") == 3 ]] || fail "$defaults gives no three LoadCredential= lines: $credentials"
[[ $args == --web.config.file=web.yml ]] || fail "$defaults names no web configuration: $args"

etc=$work/etc
mkdir -p "$etc"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$etc/server.key" -out "$etc/server.crt" 2>"$work/openssl.log"
chmod 0600 "$etc/server.key"
printf 'tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n' >"$etc/web.yml"
cp "$modules" "$work/modules.yml"
chmod 0644 "$etc/web.yml" "$etc/server.crt" "$work/modules.yml"
chmod 0755 "$work"

# As systemd does: each ID:PATH copied to the folder as ID, the folder and
# copies the service user's alone.
service_uid=61934
creds=$work/credentials
mkdir -m 0500 "$creds"
while IFS=: read -r id path; do
  cp "$etc/$(basename "$path")" "$creds/$id"
  chmod 0400 "$creds/$id"
done <<< "$credentials"
as_service=()
if [[ $(id -u) == 0 ]]; then
  chown -R "$service_uid:$service_uid" "$creds"
  as_service=(setpriv --reuid="$service_uid" --regid="$service_uid" --clear-groups)
  # The key where the administrator keeps it cannot be read by the service.
  if "${as_service[@]}" "$exporter_bin" --config.file="$work/modules.yml" --web.config.file="$etc/web.yml" \
      --web.listen-address=127.0.0.1:0 2>"$work/direct.log"; then
    fail "the service's user read a key of mode 0600"
  fi
  grep -q "key_file $etc/server.key cannot be read" "$work/direct.log" || fail "unexpected: $(cat "$work/direct.log")"
else
  echo "not root: the hand-over is checked as $(id -un), the refused read is not"
fi

(cd / && CREDENTIALS_DIRECTORY=$creds exec "${as_service[@]}" "$exporter_bin" --config.file="$work/modules.yml" \
  "$args" --web.listen-address=127.0.0.1:0) 2>"$work/exporter.log" &
pids+=($!)
line=$(wait_for_line "$work/exporter.log" 'listening on port')
[[ $line == *' at 127.0.0.1 (TLS)"' ]] || fail "not serving TLS: $(cat "$work/exporter.log")"
port=$(sed 's/.*listening on port \([0-9]*\).*/\1/' <<< "$line")
healthy=$(curl -sS --max-time 5 --cacert "$etc/server.crt" "https://127.0.0.1:$port/-/healthy" 2>&1 || true)
[[ $healthy == *Healthy* ]] || fail "no answer over TLS: $healthy"

if command -v systemd-analyze >/dev/null; then
  mkdir -p "$work/units/tag-exporter.service.d"
  sed "s|^ExecStart=[^ ]*|ExecStart=$exporter_bin|" "$unit" >"$work/units/tag-exporter.service"
  { echo '[Service]'; sed 's/^/LoadCredential=/' <<< "$credentials"; } >"$work/units/tag-exporter.service.d/tls.conf"
  SYSTEMD_UNIT_PATH=$work/units: systemd-analyze verify --man=no "$work/units/tag-exporter.service" \
    >"$work/verify.log" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.log")"
  [[ ! -s $work/verify.log ]] || fail "systemd-analyze verify: $(cat "$work/verify.log")"
else
  echo "systemd-analyze not found: the unit is not verified"
fi
echo "the key reaches the service as a credential"
