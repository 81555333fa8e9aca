#!/usr/bin/env bash
# Tries the operating notes' Prometheus set-up as an operator would, on loopback: promtool checks
# the scrape configuration and the alerts (docs/metrics/), which the notes must show as they are;
# a real Prometheus with that configuration scrapes a real ostrel-server every second (a member
# chatting, a certificate that runs out in three days); then every expression of the dashboard,
# its server variable set to all as Grafana sends it, and of the alerts is evaluated through
# Prometheus's query API. Each must evaluate, and find the server's series unless it is about the
# engine (a server without --redis has none); every alert rule must evaluate without error, and
# the certificate's must fire. Takes the build directory; stops everything it started.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
docs="$root/docs/metrics"
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "metrics check: $*" >&2
    exit 1
}
# Waits up to the seconds given for the command to succeed.
within() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.2
    done
}

notes=$(cat "$root/docs/server-operations.md")
for file in prometheus.yml ostrel-alerts.yml; do
    [[ "$notes" == *"$(sed 's/^./    &/' "$docs/$file")"* ]] ||
        fail "docs/server-operations.md does not show docs/metrics/$file as it is"
done
cp "$docs/prometheus.yml" "$docs/ostrel-alerts.yml" "$work/"
promtool check config "$work/prometheus.yml" >"$work/promtool.txt" 2>&1 ||
    fail "promtool check config: $(cat "$work/promtool.txt")"
promtool check rules "$work/ostrel-alerts.yml" >"$work/promtool.txt" 2>&1 ||
    fail "promtool check rules: $(cat "$work/promtool.txt")"
jq -e '(.panels | length) > 0 and .templating.list[0].name == "instance"' \
    "$docs/ostrel-dashboard.json" >/dev/null || fail "the dashboard is no dashboard"

# The server, with a certificate that runs out in three days, and a member who chats.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3 -subj /CN=soon \
    -keyout "$work/soon.key" -out "$work/soon.crt" 2>/dev/null
"$build/ostrel-server" --port 0 --metrics 127.0.0.1:0 --tls-cert "$work/soon.crt" \
    --tls-key "$work/soon.key" >"$work/server.log" 2>&1 </dev/null &
pids+=($!)
within 10 grep -q "metrics at http://" "$work/server.log" || fail "no server: $(cat "$work/server.log")"
port=$(sed -n 's/.*port \([0-9]*\) for up to.*/\1/p' "$work/server.log")
metrics=$(sed -n 's|.*metrics at http://\([0-9.]*:[0-9]*\)/metrics.*|\1|p' "$work/server.log")
"$build/ostrel-peer" --port "$port" --name Alice --say "[12:00:00] [Alice]: hello" --pause 200 \
    --stay 60000 >/dev/null 2>&1 &
pids+=($!)

# Prometheus with the notes' configuration, every second, against that server.
sed -e "s/127.0.0.1:9464/$metrics/" -e 's/\(scrape_interval\|evaluation_interval\): 15s/\1: 1s/' \
    "$docs/prometheus.yml" >"$work/prometheus.yml"
taken=$(ss -Htln | awk '{ print $4 }')
for web in $(seq 19090 19190); do
    grep -q ":$web\$" <<<"$taken" || break
done
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$web" --log.level=warn >"$work/prometheus.log" 2>&1 &
pids+=($!)
api="http://127.0.0.1:$web/api/v1"
within 30 curl -sf "http://127.0.0.1:$web/-/ready" -o /dev/null ||
    fail "Prometheus did not start: $(cat "$work/prometheus.log")"
query() { curl -sf --get --data-urlencode "query=$1" "$api/query"; }
# Three scrapes and a line said: enough for every rate over a minute.
scraped() {
    [ "$(query 'sum(count_over_time(up{job="ostrel-server"}[1m]))' |
        jq -r '.data.result[0].value[1] // 0')" -ge 3 ] &&
        [ "$(query 'ostrel_lines_total' | jq -r '.data.result[0].value[1] // 0')" -ge 1 ]
}
within 30 scraped || fail "Prometheus did not scrape the server: $(query up)"

mapfile -t expressions < <(jq -r '.. | .expr? // empty' "$docs/ostrel-dashboard.json" |
    sed 's/\$instance/.*/g')
[ ${#expressions[@]} -ge 10 ] || fail "only ${#expressions[@]} expressions in the dashboard"
for expression in "${expressions[@]}"; do
    answer=$(query "$expression") || fail "Prometheus refuses: $expression"
    [ "$(jq -r .status <<<"$answer")" = success ] || fail "does not evaluate: $expression"
    if [[ "$expression" != *ostrel_engine_* ]]; then
        [ "$(jq '.data.result | length' <<<"$answer")" -gt 0 ] || fail "no series: $expression"
    fi
done
mapfile -t rules < <(sed -n 's/^ *expr: //p' "$docs/ostrel-alerts.yml")
for expression in "${rules[@]}"; do
    [ "$(query "$expression" | jq -r .status)" = success ] || fail "does not evaluate: $expression"
done
rulesEvaluated() {
    [ "$(curl -sf "$api/rules" | jq '[.data.groups[].rules[] | select(.health == "ok")] | length')" \
        -eq ${#rules[@]} ]
}
within 10 rulesEvaluated || fail "alert rules in error: $(curl -sf "$api/rules")"
certificateAlert() {
    curl -sf "$api/alerts" |
        jq -e '.data.alerts[] | select(.labels.alertname == "OstrelCertificateExpiresSoon" and .state == "firing")' >/dev/null
}
within 10 certificateAlert || fail "no alert for the certificate: $(curl -sf "$api/alerts")"
echo "metrics check: ${#expressions[@]} dashboard expressions and ${#rules[@]} alert rules evaluated in Prometheus against a real server; the certificate alert fires"
