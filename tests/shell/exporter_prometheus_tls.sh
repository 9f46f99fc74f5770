#!/usr/bin/env bash
# tag_exporter over HTTPS with basic authentication, scraped by a real
# Prometheus that checks the certificate against its own CA file and sends
# the credentials. A certificate authority, the server certificate and the
# password hash are made here; everything runs on 127.0.0.1 with ports chosen
# at run time. Prometheus must see the device's tags; without the
# credentials, or with wrong ones, the exporter's target must be down.
# Usage: exporter_prometheus_tls.sh TAGAGENT TAG_EXPORTER MODULES_FILE INSTALL_DEPS
set -euo pipefail
agent_bin=$1 exporter_bin=$2 modules=$3 install_deps=$4

if ! command -v prometheus >/dev/null || ! command -v openssl >/dev/null || ! command -v htpasswd >/dev/null; then
  bash "$install_deps" prometheus openssl apache2-utils
fi

source "$(dirname "$0")/process_harness.sh"

# A CA, and a server certificate for 127.0.0.1 that it signs.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=test-ca \
  -keyout "$work/ca.key" -out "$work/ca.crt" 2>"$work/openssl.log"
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
  -keyout "$work/server.key" -out "$work/server.csr" 2>>"$work/openssl.log"
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/san.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 1 \
  -extfile "$work/san.ext" -out "$work/server.crt" 2>>"$work/openssl.log"

# The password's bcrypt hash, made as the manual tells users to make theirs.
hash=$(htpasswd -nbBC 6 prometheus s3cret | sed -n 's/^prometheus://p')
[[ $hash == \$2* ]] || fail "no bcrypt hash: $hash"
cat >"$work/web.yml" <<YAML
tls_server_config:
  cert_file: server.crt
  key_file: server.key
basic_auth_users:
  prometheus: '$hash'
YAML

"$agent_bin" -p 0 >"$work/agent.log" 2>&1 &
pids+=($!)
device=$(wait_for_line "$work/agent.log" '^listening on ' | awk '{print $3}')

"$exporter_bin" --config.file="$modules" --web.config.file="$work/web.yml" --web.listen-address=127.0.0.1:0 \
  --probe.allowed-targets=127.0.0.0/8 2>"$work/exporter.log" &
pids+=($!)
exporter_port=$(wait_for_line "$work/exporter.log" 'listening on port' | sed 's/.*listening on port \([0-9]*\).*/\1/')
exporter=127.0.0.1:$exporter_port

# Three jobs: the right credentials, wrong ones, none.
job() {
  local name=$1 auth=$2
  cat <<YAML
  - job_name: $name
    metrics_path: /probe
    scheme: https
    tls_config:
      ca_file: $work/ca.crt
$auth
    params:
      module: [device]
    static_configs:
      - targets: ['$device']
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - target_label: __address__
        replacement: '$exporter'
YAML
}
{
  printf 'global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n'
  job good "    basic_auth:
      username: prometheus
      password: s3cret"
  job wrong "    basic_auth:
      username: prometheus
      password: guess"
  job none ""
} >"$work/prometheus.yml"

started=
for _ in 1 2 3 4 5; do
  prom_port=$((20000 + RANDOM % 30000))
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$prom_port" >"$work/prometheus.log" 2>&1 &
  prom_pid=$!
  for _ in $(seq 150); do
    if curl -sf "http://127.0.0.1:$prom_port/-/ready" >/dev/null 2>&1; then started=1; break; fi
    kill -0 "$prom_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -n $started ]]; then pids+=("$prom_pid"); break; fi
  kill "$prom_pid" 2>/dev/null || true; wait "$prom_pid" 2>/dev/null || true
done
[[ -n $started ]] || fail "Prometheus did not start"
api=http://127.0.0.1:$prom_port/api/v1
query() {
  curl -sf --get "$api/query" --data-urlencode "query=$1" |
    sed -n 's/.*"value":\[[0-9.e+]*,"\([^"]*\)"\].*/\1/p'
}

for _ in $(seq 300); do
  scrapes=$(query 'min(count_over_time(up[1m])) >= 2 and count(up) == 3')
  [[ -n $scrapes ]] && break
  sleep 0.1
done
[[ -n $scrapes ]] || fail "Prometheus did not scrape the three jobs twice"

check() {
  local what=$1 got=$2 want=$3
  [[ $got == "$want" ]] || fail "$what: Prometheus has '$got', expected '$want'"
  echo "ok: $what = $got"
}
check "up with the credentials" "$(query 'up{job="good"}')" 1
check "tag_probe_success over HTTPS" "$(query 'tag_probe_success{job="good"}')" 1
check "tag_dev_id over HTTPS" "$(query 'tag_dev_id{job="good"}')" 42
check "up with a wrong password" "$(query 'up{job="wrong"}')" 0
check "up without credentials" "$(query 'up{job="none"}')" 0
curl -sf "http://127.0.0.1:$prom_port/api/v1/targets" >"$work/targets.json"
grep -q '401 Unauthorized' "$work/targets.json" || fail "Prometheus did not report the 401 of the exporter"
echo "ok: Prometheus reports 401 Unauthorized for the jobs without the right credentials"

# Plain HTTP on the TLS port gets no HTTP answer.
status=$(curl -s -o /dev/null -w '%{http_code}' -m 5 "http://$exporter/-/healthy" || true)
[[ $status == 000 ]] || fail "plain HTTP on the TLS port was answered with $status"
echo "ok: plain HTTP is not spoken on the TLS port"
