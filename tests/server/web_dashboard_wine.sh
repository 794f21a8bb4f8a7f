#!/usr/bin/env bash
# The Windows pellicksrv.exe's web dashboard under Wine: served when a port is named, its change token
# kept in the registry and asked for, option changes reach the window thread and the registry, a typed
# non-ASCII path becomes the ANSI path of the file, a path at the 259-byte limit is written, and the
# window's once-a-second timer marks a CPU that went silent as stalled; MaxCpusPerAddress and
# StatusNetworks come from the registry, and a connection past the limit is closed and counted.
#
# usage: web_dashboard_wine.sh <pellicksrv.exe> <work folder> <status_sender.exe>
set -u
[ $# -eq 3 ] || { echo "usage: $0 <pellicksrv.exe> <work folder> <status_sender.exe>" >&2; exit 2; }
server=$1 work=$2 sender=$3
rm -rf "$work"
mkdir -p "$work" || exit 1
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/../tools/lib.sh"
server_pid="" xvfb_pid="" sender_pid=""
cleanup() {
  exec 7>&- 2>/dev/null
  [ -n "$sender_pid" ] && kill "$sender_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The window needs a display: a private Xvfb.
start_xvfb "$work/xvfb.log" || exit 1
wineboot -i >/dev/null 2>&1

take_port status_port && take_port http_port || { echo "no free ports" >&2; exit 1; }
export PELLICK_TEST_PORT=$status_port PELLICK_TEST_HTTP_PORT=$http_port
# The run history in the work folder, as the program sees it through drive Z:.
history_db=$work/data/history.sqlite3
rm -rf "$work/data"
export PELLICK_TEST_HISTORY="Z:${history_db//\//\\}"
base=http://127.0.0.1:$http_port
# The status port's rules from the registry: three connections per address, loopback only
# (the bad entry is left out).
wine reg add 'HKCU\Software\Zandrel\Pellick' /v MaxCpusPerAddress /t REG_DWORD /d 3 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Zandrel\Pellick' /v StatusNetworks /t REG_SZ /d '127.0.0.0/8, 10.300.0.0/16' /f >/dev/null 2>&1
wine "$server" >"$work/server.out" 2>&1 &
server_pid=$!
status_ok() { curl -sf -o "$work/status.json" "$base/status.json"; }
wait_for 240 status_ok || { fail "the dashboard did not answer on port $http_port: $(kill -0 $server_pid 2>&1 && echo running) $(ss -ltn | grep -c $http_port)"; exit 1; }
echo "dashboard of pellicksrv.exe on $base"

grep -q '"fields":\[{"id":1000,"label":"Active CPUs","text":"0"}' "$work/status.json" ||
  fail "status.json: $(head -c 300 "$work/status.json")"
curl -sf "$base/fragment.html" | grep -q 'No render in progress' || fail "the fragment is not the empty report"
curl -sf "$base/" | grep -q '<title>Render Status</title>' || fail "the page is not served"

# Four silent connections from 127.0.0.1: the fourth is closed at once and counted.
[ "$(jq -c '.settings | [.maxCpusPerAddress, .statusNetworks]' "$work/status.json")" = '[3,["127.0.0.0/8"]]' ] ||
  fail "the status port's rules in status.json: $(jq -c .settings "$work/status.json")"
exec 3<>"/dev/tcp/127.0.0.1/$status_port" 4<>"/dev/tcp/127.0.0.1/$status_port" 5<>"/dev/tcp/127.0.0.1/$status_port" \
  6<>"/dev/tcp/127.0.0.1/$status_port"
one_refused() { [ "$(curl -sf "$base/status.json" | jq -c '[.connections.open, .connections.refused.perAddress]')" = '[3,1]' ]; }
wait_for 60 one_refused || fail "past MaxCpusPerAddress: $(curl -sf "$base/status.json" | jq -c .connections)"
curl -sf "$base/metrics" | grep -qx 'pellick_connections_refused_total{reason="per_address"} 1' ||
  fail "the refusal in /metrics: $(curl -sf "$base/metrics" | grep refused)"
exec 3>&- 4>&- 5>&- 6>&-
none_open() { [ "$(curl -sf "$base/status.json" | jq '.connections.open')" = 0 ]; }
wait_for 60 none_open || fail "the silent connections did not leave: $(curl -sf "$base/status.json" | jq -c .connections)"

reg_value() { wine reg query 'HKCU\Software\Zandrel\Pellick' /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n {print $3}'; }
token=$(reg_value DashboardToken)
[[ "$token" =~ ^[0-9a-f]{48}$ ]] || fail "no change token in the registry: '$token'"
post() {  # body [header] -> prints "status body"
  curl -s -o "$work/answer" -w '%{http_code}' -H 'Content-Type: application/json' \
    -H "${2:-Authorization: Bearer $token}" -d "$1" "$base/options"
  printf ' '
  cat "$work/answer"
}
answer=$(post '{"maxScale":1}' 'X-No-Token: 1')
case "$answer" in
  "403 "*) ;;
  *) fail "a change without the token: $answer" ;;
esac
answer=$(post '{"maxScale":1,"resolution":2}')
case "$answer" in
  "200 "*'"persisted":true'*'"maxScale":1'*) ;;
  *) fail "changing the options: $answer" ;;
esac
[ "$(reg_value MaxScale)" = 0x1 ] || fail "MaxScale in the registry: $(reg_value MaxScale)"
[ "$(reg_value Resolution)" = 0x2 ] || fail "Resolution in the registry: $(reg_value Resolution)"
curl -sf "$base/status.json" | grep -q '"sample":"4643:47.12"' || fail "the sample does not show the new form"

# A path typed on the page in UTF-8 reaches the ANSI file calls as code page 1252.
target="$work/R$(printf '\xc3\xa9')sum$(printf '\xc3\xa9').htm"
native="Z:${target//\//\\\\}"
answer=$(post "{\"htmlPath\":\"$native\"}")
case "$answer" in
  "200 "*) ;;
  *) fail "choosing the HTML file: $answer" ;;
esac
wait_for 20 test -s "$target" || fail "no report written at $target: $(ls "$work")"
grep -q 'No render in progress' "$target" 2>/dev/null || fail "the report at the typed path is not the report"

# A path of 259 bytes, its folder near the folder limit: the temporary file beside it is longer
# than the old 260-character limit.
long_dir="$work/$(printf 'd%.0s' $(seq $((240 - ${#work} - 1))))"
mkdir -p "$long_dir"
long_name="$(printf 'n%.0s' $(seq $((259 - 2 - ${#long_dir} - 1 - 4)))).htm"  # "Z:", the folder, "\", name
answer=$(post "{\"htmlPath\":\"Z:${long_dir//\//\\\\}\\\\$long_name\"}")
case "$answer" in
  "200 "*) ;;
  *) fail "choosing a 259-byte HTML path: $answer" ;;
esac
wait_for 20 test -s "$long_dir/$long_name" || fail "no report at the 259-byte path: $(ls -A "$long_dir" | head -3)"
ls -A "$long_dir" | grep -q '\.tmp' && fail "a temporary file was left: $(ls -A "$long_dir")"

# Stalled CPUs: the stall time set from the page, two CPUs of 2-second passes, one goes silent.
answer=$(post '{"stallSeconds":10}')
case "$answer" in
  "200 "*'"stallSeconds":10'*) ;;
  *) fail "setting the stall time: $answer" ;;
esac
[ "$(reg_value StallSeconds)" = 0xa ] || fail "StallSeconds in the registry: $(reg_value StallSeconds)"
start_sender "$work/feed" "$work/sender.out" wine "$sender" "$status_port"
feed send cpu=0 scene=shot done=1 total=100 recent=2
feed send cpu=1 scene=shot done=1 total=100 recent=2
status() { curl -sf "$base/status.json"; }
throughput() { curl -sf "$base/fragment.html" | sed -n 's|.*<tr><td>Recent Throughput</td><td>\([^<]*\)</td>.*|\1|p'; }
two_cpus() { [ "$(status | jq '.cpus | length')" = 2 ]; }
wait_for 120 two_cpus || fail "the two CPUs did not show: $(status | head -c 300) $(cat "$work/sender.out")"
both=$(throughput)
silent_since=$SECONDS
stalled_after=""
for i in $(seq 2 40); do
  feed send cpu=0 done=$i  # the other CPU says nothing
  if [ "$(status | jq '.cpus[1].stalled')" = true ]; then stalled_after=$((SECONDS - silent_since)); break; fi
  sleep 1
done
if [ -z "$stalled_after" ]; then
  fail "the silent CPU never showed as stalled: $(status | jq -c '{cpus: [.cpus[] | {cpu, stalled}], overall}')"
else
  [ "$stalled_after" -ge 8 ] && [ "$stalled_after" -le 20 ] || fail "stalled after $stalled_after s, not 10 s"
  summary=$(status | jq -c '[.cpus[0].stalled, .jobs[0].cpus, .jobs[0].stalledCpus, .overall.activeCpus, .overall.stalledCpus]')
  [ "$summary" = '[false,2,1,2,1]' ] || fail "while stalled (cpu0 stalled, job cpus, job stalled, active, stalled): $summary"
  alone=$(throughput)
  [ -n "$alone" ] && [ "$alone" != "$both" ] || fail "the fragment's throughput stayed $both with one CPU stalled"
  feed send cpu=1 done=2
  rejoined() { [ "$(status | jq '.overall.stalledCpus')" = 0 ] && [ "$(throughput)" = "$both" ]; }
  wait_for 10 rejoined || fail "the CPU did not rejoin after reporting: $(status | jq -c .overall) $(throughput)"
  echo "a silent CPU showed as stalled after $stalled_after s and rejoined (throughput $both, alone $alone)"
fi
stop_sender

# The sender's CPUs left before their job was done: an interrupted run, stored in the SQLite file.
interrupted() { [ "$(curl -sf "$base/history.json" | jq -c '[.stored, .runs[0].outcome, .runs[0].sceneName]')" = '[true,"interrupted","shot"]' ]; }
wait_for 20 interrupted || fail "no interrupted run in the history: $(curl -sf "$base/history.json" | head -c 400)"
integrity=$(python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute("PRAGMA integrity_check").fetchone()[0])' "$history_db" 2>&1)
[ "$integrity" = ok ] || fail "the history file at $history_db: $integrity"

kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
server_pid=""
if [ "$failures" -eq 0 ]; then echo "all dashboard checks passed"; fi
exit $((failures > 0))
