#!/usr/bin/env bash
# The webhook end to end with a real pellicksrv (or pellicksrv.exe under Wine): set and refused on the
# dashboard, a cpu.stalled event once per stall with the CPU's row and its job, 3 tries at a hook that
# answers 500, and a hook that hangs holding neither /status.json nor the stop.
#
# usage: webhook_test.sh <pellicksrv or pellicksrv.exe> <work folder> <status_sender> <webhook_receiver.py>
set -u
[ $# -eq 4 ] || { echo "usage: $0 <server> <work folder> <status_sender> <receiver.py>" >&2; exit 2; }
server=$1 work=$2 sender=$3 receiver=$4
rm -rf "$work"
mkdir -p "$work" || exit 1
. "$(dirname "$0")/../tools/lib.sh"
server_pid="" xvfb_pid="" sender_pid="" receiver_pid=""
windows=0
case "$server" in *.exe) windows=1 ;; esac
# Run in the background, the process itself takes the job's pid (exec), so it can be stopped and waited for.
run() { if [ $windows -eq 1 ]; then exec wine "$@"; else exec "$@"; fi; }
cleanup() {
  exec 7>&- 2>/dev/null
  [ -n "$sender_pid" ] && kill "$sender_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$receiver_pid" ] && kill "$receiver_pid" 2>/dev/null
  if [ $windows -eq 1 ]; then wineserver -k 2>/dev/null; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ $windows -eq 1 ]; then
  export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # The window needs a display: a private Xvfb.
  start_xvfb "$work/xvfb.log" || exit 1
  wineboot -i >/dev/null 2>&1
else
  export XDG_CONFIG_HOME=$work/config
fi

take_port status_port && take_port http_port && take_port hook_port || { echo "no free ports" >&2; exit 1; }
python3 "$receiver" "$hook_port" "$work/hooks.log" >"$work/receiver.out" 2>&1 &
receiver_pid=$!
wait_for 20 grep -q ready "$work/receiver.out" || { echo "the receiver did not start: $(cat "$work/receiver.out")" >&2; exit 1; }
hook=http://127.0.0.1:$hook_port

# Each try of the hook ends after 1 s.
export PELLICK_TEST_PORT=$status_port PELLICK_TEST_HTTP_PORT=$http_port PELLICK_TEST_WEBHOOK_MS=1000
base=http://127.0.0.1:$http_port
(run "$server") >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
status_ok() { curl -sf -m 5 -o "$work/status.json" "$base/status.json"; }
wait_for 240 status_ok || { fail "the dashboard did not answer on port $http_port: $(cat "$work/server.err")"; exit 1; }
echo "dashboard on $base, hooks to $hook"

if [ $windows -eq 1 ]; then
  token=$(wine reg query 'HKCU\Software\Zandrel\Pellick' /v DashboardToken 2>/dev/null | tr -d '\r' | awk '$1 == "DashboardToken" {print $3}')
  webhook_stored() { wine reg query 'HKCU\Software\Zandrel\Pellick' /v Webhook 2>/dev/null | tr -d '\r' | awk '$1 == "Webhook" {print $3}'; }
else
  token=$(cat "$XDG_CONFIG_HOME/Zandrel/Pellick/dashboard.token")
  webhook_stored() { sed -n 's/^Webhook=//p' "$XDG_CONFIG_HOME/Zandrel/Pellick/settings.ini"; }
fi
post() {  # body -> prints "status body"
  curl -s -m 10 -o "$work/answer" -w '%{http_code}' -H 'Content-Type: application/json' \
    -H "Authorization: Bearer $token" -d "$1" "$base/options"
  printf ' '
  cat "$work/answer"
}

# Set and refused on the dashboard; the status shows only scheme, host and port.
while IFS='|' read -r body want; do
  answer=$(post "$body")
  case "$answer" in
    "$want "*) ;;
    *) fail "$body: $answer (wanted $want)" ;;
  esac
done <<CASES
{"webhook":"ftp://127.0.0.1/x"}|400
{"webhook":"http://127.0.0.1/a\u000ab"}|400
{"webhook":"$(printf 'http://h/%02100d' 0)"}|400
{"webhook":7}|400
{"webhook":"$hook/ok?secret=1","stallSeconds":10}|200
CASES
[ "$(webhook_stored)" = "$hook/ok?secret=1" ] || fail "the stored webhook: '$(webhook_stored)'"
shown=$(curl -sf "$base/status.json" | jq -r .settings.webhook)
[ "$shown" = "$hook/..." ] || fail "the status shows the webhook as '$shown'"

# Two CPUs of 2-second passes; one goes silent, reports again, goes silent again.
start_sender "$work/feed" "$work/sender.out" run "$sender" "$status_port"
feed send cpu=0 scene=shot done=1 total=1000 recent=2
feed send cpu=1 scene=shot done=1 total=1000 recent=2
two_cpus() { [ "$(curl -sf "$base/status.json" | jq '.cpus | length')" = 2 ]; }
wait_for 120 two_cpus || fail "the two CPUs did not show: $(cat "$work/sender.out")"
done_passes=1
hooks() { local n; n=$(grep -c "\"path\": \"$1" "$work/hooks.log" 2>/dev/null); echo "${n:-0}"; }
# Keeps cpu 0 reporting until the receiver has seen n posts to path (at most 40 s).
await_posts() {  # path n
  local end=$((SECONDS + 40))
  while [ "$(hooks "$1")" -lt "$2" ] && [ $SECONDS -lt $end ]; do
    done_passes=$((done_passes + 1))
    feed send cpu=0 done=$done_passes
    sleep 1
  done
  [ "$(hooks "$1")" -ge "$2" ]
}
await_posts /ok 1 || fail "no cpu.stalled at the hook: $(cat "$work/server.err")"
event=$(grep '"path": "/ok' "$work/hooks.log" | head -1)
[ "$(jq -r .type <<<"$event")" = application/json ] || fail "content type: $event"
summary=$(jq -c '.body | fromjson | [.event, .cpu.cpu, .cpu.job, .cpu.stalled, .cpu.passes, .job.number, .job.sceneName, (.job.id | test("^[0-9a-f]{16}$"))]' <<<"$event")
[ "$summary" = '["cpu.stalled",2,1,true,1,1,"shot",true]' ] || fail "the event: $summary from $event"
job_id=$(curl -sf "$base/status.json" | jq -r '.jobs[0].id')
[ "$(jq -r '.body | fromjson | .job.id' <<<"$event")" = "$job_id" ] || fail "the event's job id is not the status' $job_id"
await_posts /ok 2 && fail "a second cpu.stalled for the same stall"

# The job's passes reach its total: one job.finished with the run, however long its CPUs stay.
done_passes=1000
feed send cpu=0 done=$done_passes
await_posts /ok 2 || fail "no job.finished at the hook: $(cat "$work/server.err")"
finished=$(grep '"path": "/ok' "$work/hooks.log" | sed -n 2p | jq -c '.body | fromjson | [.event, .job.outcome, .job.sceneName, .job.passesDone >= 1000, (.job.run | type)]')
[ "$finished" = '["job.finished","complete","shot",true,"number"]' ] || fail "the finished event: $finished"
await_posts /ok 3 && fail "the finished run was posted again: $(grep '"path": "/ok' "$work/hooks.log" | sed -n 3p)"

# A hook that answers 500: 3 tries, then a line on standard error.
answer=$(post "{\"webhook\":\"$hook/fail\"}")
case "$answer" in "200 "*) ;; *) fail "setting the failing hook: $answer" ;; esac
feed send cpu=1 done=2
await_posts /fail 3 || fail "the failing hook got $(hooks /fail) tries, not 3"
sleep 2
[ "$(hooks /fail)" = 3 ] || fail "the failing hook got $(hooks /fail) tries, not 3"
wait_for 5 grep -q "webhook: gave up on cpu.stalled to $hook/... after 3 tries: the answer was HTTP 500" "$work/server.err" ||
  fail "no line for the failed event: $(cat "$work/server.err")"

# A hook that never answers: the dashboard keeps serving and the stop stays short.
answer=$(post "{\"webhook\":\"$hook/hang\"}")
case "$answer" in "200 "*) ;; *) fail "setting the hanging hook: $answer" ;; esac
feed send cpu=1 done=3
await_posts /hang 1 || fail "the hanging hook got nothing"
slow=0
for _ in $(seq 5); do
  start=$(date +%s%N)
  curl -sf -m 5 -o /dev/null "$base/status.json" || fail "/status.json did not answer while the hook hangs"
  ms=$((($(date +%s%N) - start) / 1000000))
  [ $ms -gt 1000 ] && slow=$ms
  sleep 0.3
done
[ $slow -eq 0 ] || fail "/status.json took $slow ms while the hook hangs"
await_posts /hang 3 || fail "the hanging hook got $(hooks /hang) tries, not 3"
wait_for 10 grep -q "webhook: gave up on cpu.stalled .* after 3 tries: timed out" "$work/server.err" ||
  fail "no line for the timed-out event: $(cat "$work/server.err")"
# The stop while a post hangs: bounded (on Linux, where the stop is a signal the server handles).
feed send cpu=1 done=4
await_posts /hang 4 || fail "the fourth stall did not reach the hanging hook"
stop_sender
start=$SECONDS
kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
code=$?
server_pid=""
if [ $windows -eq 0 ]; then
  [ $((SECONDS - start)) -le 5 ] || fail "the stop took $((SECONDS - start)) s with a hanging hook"
  [ $code -eq 0 ] || fail "pellicksrv ended with status $code at the stop: $(tail -3 "$work/server.err")"
fi
echo "hooks received: ok $(hooks /ok), fail $(hooks /fail), hang $(hooks /hang)"
if [ "$failures" -eq 0 ]; then echo "all webhook checks passed"; fi
exit $((failures > 0))
