#!/usr/bin/env bash
# Render nodes that end right after their last pass, as a farm runs them: the run history and the webhook
# must see every node's last pass, so each job's run is complete with all its passes and scored forecasts.
#
# usage: farm_end_test.sh <pellicksrv> <hostsim> <plug-in> <webhook_receiver.py> <work folder>
set -u
[ $# -eq 5 ] || { echo "usage: $0 <pellicksrv> <hostsim> <plug-in> <receiver.py> <work>" >&2; exit 2; }
server=$1 hostsim=$2 plugin=$3 receiver=$4 work=$5
rm -rf "$work"
mkdir -p "$work/config/Zandrel/Pellick" || exit 1
. "$(dirname "$0")/../tools/lib.sh"
server_pid="" receiver_pid=""
node_pids=()
cleanup() {
  for p in "${node_pids[@]}"; do kill "$p" 2>/dev/null; done
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$receiver_pid" ] && kill "$receiver_pid" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

take_port status_port && take_port http_port && take_port hook_port || { echo "no free ports" >&2; exit 1; }
python3 "$receiver" "$hook_port" "$work/hooks.log" >"$work/receiver.out" 2>&1 &
receiver_pid=$!
wait_for 20 grep -q ready "$work/receiver.out" || { echo "the receiver did not start: $(cat "$work/receiver.out")" >&2; exit 1; }
printf 'Webhook=http://127.0.0.1:%s/ok\n' "$hook_port" >"$work/config/Zandrel/Pellick/settings.ini"

export XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$status_port PELLICK_TEST_HTTP_PORT=$http_port
export PELLICK_TEST_HISTORY=$work/history.sqlite3 PELLICK_TEST_QUIET_MS=1000
base=http://127.0.0.1:$http_port
"$server" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
wait_for 60 curl -sf -m 5 -o /dev/null "$base/status.json" || { fail "the dashboard did not answer: $(cat "$work/server.err")"; exit 1; }

# One job per pass time: frames 1-8 of 2 passes on four nodes of two frames each, 16 passes in all.
for ms in 300 600 1000; do
  scene=shot$ms
  node_pids=()
  for node in 1 2 3 4; do
    "$hostsim" --plugin "$plugin" --node "$node" --server 127.0.0.1 --scene-name "$scene" --first 1 --last 8 \
      --frames "$((node * 2 - 1))-$((node * 2))" --passes 2 --pass-ms "$ms" --quiet >"$work/$scene-node$node.out" 2>&1 &
    node_pids+=($!)
  done
  for i in "${!node_pids[@]}"; do
    wait "${node_pids[$i]}" || fail "$scene node $((i + 1)) ended with status $? ($(cat "$work/$scene-node$((i + 1)).out"))"
  done
  node_pids=()
  run_ended() { curl -sf "$base/history.json" | jq -e --arg s "$scene" '.runs[] | select(.sceneName == $s and .outcome != "running")' >/dev/null; }
  wait_for 60 run_ended || { fail "$scene: the run did not end: $(curl -s "$base/history.json")"; continue; }
  got=$(curl -sf "$base/history.json" | jq -c --arg s "$scene" '[.runs[] | select(.sceneName == $s)] |
    [length, .[0].outcome, .[0].passesDone, .[0].totalPasses, .[0].peakCpus, (.[0].forecasts | length),
     ([.[0].forecasts[] | select(.errorRatio != null)] | length) > 0, .[0].meanAbsErrorRatio != null]')
  [ "$got" = '[1,"complete",16,16,4,5,true,true]' ] || fail "$scene: the run [runs, outcome, passes, total, CPUs, forecasts, scored, mean]: $got"
  posted() { grep -q "$scene" "$work/hooks.log" 2>/dev/null; }
  wait_for 30 posted || { fail "$scene: no job.finished at the hook"; continue; }
  hook=$(grep "$scene" "$work/hooks.log" | jq -c '.body | fromjson | [.event, .job.outcome, .job.passesDone]')
  [ "$hook" = '["job.finished","complete",16]' ] || fail "$scene: the hook was told $hook"
  [ "$(jq '.cpus | length' <<<"$(curl -sf "$base/status.json")")" = 0 ] || fail "$scene: the gone CPUs still show"
  echo "$scene: $got, hook $hook"
done
kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
server_pid=""
if [ "$failures" -eq 0 ]; then echo "all farm-end checks passed"; fi
exit $((failures > 0))
