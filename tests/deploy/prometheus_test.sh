#!/usr/bin/env bash
# The shipped Prometheus files against two live pellicksrv: Debian's Prometheus scrapes both with a test copy of
# deploy/prometheus/prometheus.yml (1 s intervals, test ports) and the shipped rules, and its HTTP API must give the
# right farm-wide and per-site sums, every rule healthy, the "server down" alert, and an answer to every Grafana panel.
# usage: prometheus_test.sh SOURCE_DIR PELLICKSRV STATUS_SENDER WORK_DIR
set -uo pipefail
src=$1 server=$2 sender=$3 work=$4
. "$src/tests/tools/lib.sh"
for tool in prometheus promtool jq curl; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (./dev deps installs it)"; exit 1; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }
pids=()
cleanup() {
  exec 7>&- 8>&- 2>/dev/null
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work/data"
}
trap cleanup EXIT

# Two status servers, one per site, each fed by a status_sender that keeps its connections open.
# Site a: castle (2 CPUs) and forest (1); site b: castle (1) and river (2). The castle job has the
# same identity at both sites, so the farm has 6 CPUs and 3 jobs, though the servers report 4.
declare -A status_port http_port
feed_a="send cpu=0 scene=castle done=30 total=100 recent=60
send cpu=1 scene=castle done=10 total=100 recent=30
send cpu=2 scene=forest done=5 total=50 recent=20"
feed_b="send cpu=0 scene=castle done=20 total=100 recent=40
send cpu=1 scene=river done=1 total=10 recent=10
send cpu=2 scene=river done=2 total=10 recent=12"
fd=7
for site in a b; do
  take_port "status_port[$site]" && take_port "http_port[$site]" || { echo "FAIL: no free ports"; exit 1; }
  mkdir -p "$work/$site"
  XDG_CONFIG_HOME=$work/$site PELLICK_TEST_PORT=${status_port[$site]} PELLICK_TEST_HTTP_PORT=${http_port[$site]} \
    "$server" --stats-file "$work/$site/stats" 2>"$work/$site/server.log" &
  pids+=($!)
  wait_for 30 curl -sf -o /dev/null "http://127.0.0.1:${http_port[$site]}/metrics" ||
    { echo "FAIL: server $site"; cat "$work/$site/server.log"; exit 1; }
  mkfifo "$work/$site/feed"
  "$sender" "${status_port[$site]}" <"$work/$site/feed" >"$work/$site/sender.log" 2>&1 &
  pids+=($!)
  eval "exec $fd>\"$work/$site/feed\""
  feed=feed_$site
  echo "${!feed}" >&$fd
  fd=$((fd + 1))
done
server_b_pid=${pids[2]}
metric_sum() {  # metric_sum NAME SITE...: the sum of a metric's samples on those servers' /metrics
  local name=$1 site; shift
  for site in "$@"; do curl -sf "http://127.0.0.1:${http_port[$site]}/metrics"; done |
    awk -v n="$name" '$1 == n || index($1, n "{") == 1 { s += $2 } END { printf "%.17g\n", s }'
}
servers_have_all() { [ "$(metric_sum pellick_active_cpus a b)" = 6 ]; }
wait_for 10 servers_have_all || bad "the servers report $(metric_sum pellick_active_cpus a b) CPUs, not 6"
castle_ids=$(for site in a b; do curl -sf "http://127.0.0.1:${http_port[$site]}/metrics"; done |
  sed -n 's/^pellick_job_cpus{.*id="\([0-9a-f]*\)",scene="castle"}.*/\1/p' | sort -u | wc -l)
[ "$castle_ids" = 1 ] || bad "the castle job has $castle_ids identities across the servers, not 1"
for site in a b; do
  curl -sf "http://127.0.0.1:${http_port[$site]}/metrics" | promtool check metrics >"$work/$site/lint.txt" 2>&1 ||
    bad "promtool check metrics on server $site: $(cat "$work/$site/lint.txt")"
done

# The shipped files, and the test's copy: 1 s intervals, the test servers, the shipped rules.
shipped=$src/deploy/prometheus
promtool check config "$shipped/prometheus.yml" >/dev/null 2>&1 || bad "promtool check config $shipped/prometheus.yml"
promtool check rules "$shipped/pellick-rules.yml" >/dev/null 2>&1 || bad "promtool check rules"
sed -e 's/_interval: 15s$/_interval: 1s/' -e "s|^  - pellick-rules.yml$|  - $shipped/pellick-rules.yml|" \
    -e "s|render-head-a.example:10432|127.0.0.1:${http_port[a]}|" -e "s|render-head-b.example:10432|127.0.0.1:${http_port[b]}|" \
    "$shipped/prometheus.yml" >"$work/prometheus.yml"
[ "$(grep -cE '_interval: 1s$|127\.0\.0\.1:|- /' "$work/prometheus.yml")" = 5 ] || bad "the test config is not derived as expected"
promtool check config "$work/prometheus.yml" >/dev/null 2>&1 || bad "promtool check config (test copy)"

take_port prom_port || { echo "FAIL: no free ports"; exit 1; }
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" --web.listen-address="127.0.0.1:$prom_port" \
  --log.level=warn >"$work/prometheus.log" 2>&1 &
pids+=($!)
api=http://127.0.0.1:$prom_port/api/v1
wait_for 30 curl -sf -o /dev/null "http://127.0.0.1:$prom_port/-/ready" || { echo "FAIL: prometheus"; cat "$work/prometheus.log"; exit 1; }

query() { curl -sf --get "$api/query" --data-urlencode "query=$1"; }
value() { query "$1" | jq -r '.data.result[0].value[1] // "none"'; }
farm_seen() { [ "$(value 'farm:pellick_active_cpus:sum')" = 6 ]; }
wait_for 30 farm_seen || bad "farm:pellick_active_cpus:sum is $(value 'farm:pellick_active_cpus:sum')"

# Farm-wide and per-site figures: query, expected value.
near() { awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(a != "none" && d <= 1e-9 * (b < 0 ? -b : b) + 1e-12) }'; }
while IFS='|' read -r expr expected; do
  got=$(value "$expr")
  near "$got" "$expected" || bad "$expr = $got, expected $expected"
done <<CASES
farm:pellick_active_cpus:sum|6
site:pellick_active_cpus:sum{site="studio-a"}|3
site:pellick_active_cpus:sum{site="studio-b"}|3
farm:pellick_jobs:count|3
site:pellick_jobs:sum{site="studio-a"}|2
sum(site:pellick_jobs:sum)|4
sum(up{job="pellick"})|2
sum(pellick_job_stalled_cpus)|0
farm:pellick_job_throughput_passes_per_second:sum|$(metric_sum pellick_job_throughput_passes_per_second a b)
site:pellick_job_throughput_passes_per_second:sum{site="studio-b"}|$(metric_sum pellick_job_throughput_passes_per_second b)
CASES

# Every rule of the shipped file loaded, evaluated and healthy.
rules_total=$(grep -cE '^ *- (record|alert):' "$shipped/pellick-rules.yml")
rules_ok() { [ "$(curl -sf "$api/rules" | jq '[.data.groups[].rules[] | select(.health == "ok")] | length')" = "$rules_total" ]; }
wait_for 15 rules_ok || bad "not every rule is healthy: $(curl -sf "$api/rules" | jq -c '[.data.groups[].rules[] | {name, health, lastError}]')"

# Every query of the Grafana dashboard answers, with the dashboard's variables as "All".
while IFS= read -r expr; do
  expr=${expr//\$site/.*}
  expr=${expr//\$__rate_interval/1m}
  answers() { [ "$(query "$expr" | jq '.data.result | length')" -gt 0 ] 2>/dev/null; }
  wait_for 15 answers || bad "dashboard query answers nothing: $expr"
done < <(jq -r '.panels[].targets[].expr' "$src/deploy/grafana/pellick-dashboard.json")

# A status server stops: its "down" alert becomes pending.
kill "$server_b_pid"
pending() { [ "$(curl -sf "$api/alerts" | jq '[.data.alerts[] | select(.labels.alertname == "PellickServerDown" and .labels.site == "studio-b")] | length')" = 1 ]; }
wait_for 15 pending || bad "no PellickServerDown alert for studio-b: $(curl -sf "$api/alerts")"

[ $fail -eq 0 ] && echo "prometheus checks passed: 2 servers, $rules_total rules, $(jq '[.panels[].targets[]] | length' "$src/deploy/grafana/pellick-dashboard.json") dashboard queries"
exit $fail
