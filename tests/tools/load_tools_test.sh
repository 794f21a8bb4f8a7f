#!/usr/bin/env bash
# loadgen against pellicksrv and nullsink over real sockets: every message counted, shown in the report, nothing lost, also in random pieces and flat out.
# usage: load_tools_test.sh PELLICKSRV LOADGEN NULLSINK WORKDIR
set -uo pipefail
server=$1 loadgen=$2 sink=$3 work=$4
. "$(dirname "$0")/lib.sh"
rm -rf "$work" && mkdir -p "$work/config/Zandrel/Pellick" || exit 1
html=$work/status.html
printf 'HTML=%s\n' "$html" >"$work/config/Zandrel/Pellick/settings.ini"
trap 'stop_listener; [ -n "${gen_pid:-}" ] && kill "$gen_pid" 2>/dev/null' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out "$work"/*.stats; do echo "--- $f"; cat "$f"; done; exit 1; }
# expect OUTPUT KEY VALUE
expect() { [ "$(stat_value "$1" "$2")" = "$3" ] || fail "$(basename "$1"): want $2=$3, have $(stat_value "$1" "$2")"; }

# The dashboard on a port of the system's choosing, which the server prints.
run_server() {
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$PORT PELLICK_TEST_HTTP_PORT=0 exec "$server" \
    --stats-file "$work/server.stats" </dev/null >"$work/server.out" 2>&1
}
start_listener "$work/server.stats" run_server || fail "pellicksrv did not start"
http_port=$(sed -n 's|.*dashboard at http://localhost:\([0-9]*\)/.*|\1|p' "$work/server.out")
[ -n "$http_port" ] || fail "no dashboard port in the server's output"

# 60 CPUs in 3 jobs, 8 messages each (the first at once), sent in random pieces; the
# connections stay open a while after, so the report still shows them.
out=$work/paced.out
"$loadgen" --port "$listener_port" -c 60 -j 3 -r 20 -m 8 --chunking random --seed 7 \
  --stats-file "$work/server.stats" --html-file "$html" --settle 30 --hold 60 --ready-file "$work/ready" \
  >"$out" 2>&1 &
gen_pid=$!
wait_for 60 test -e "$work/ready" || fail "loadgen did not finish sending"
for kv in connections=60 sent=480 serverAccepted=480 lost=0 closedByServer=0 sendErrors=0 \
          latencyCount=420 latencyUnseen=0; do
  expect "$out" "${kv%%=*}" "${kv#*=}"
done
expect "$work/server.stats" messagesRejected 0
# Every CPU's row shows its 7 counted passes, in three jobs.
rows=$(grep -o '<tr><td>[1-9][0-9]*</td><td>[1-3]</td><td>[0-9]*</td><td>7</td>' "$html" | wc -l)
[ "$rows" -eq 60 ] || fail "want 60 CPU rows with 7 passes, have $rows"
grep -q 'Job 3 Stats' "$html" || fail "no third job in the report"
kill "$gen_pid"; wait "$gen_pid" 2>/dev/null; gen_pid=""

# Every message shows in the dashboard's /status.json too.
out=$work/status.out
"$loadgen" --port "$listener_port" -c 20 -j 2 -r 10 -m 4 --stats-file "$work/server.stats" --status-port "$http_port" \
  --settle 30 >"$out" 2>&1 || fail "loadgen failed"
for kv in sent=80 serverAccepted=80 lost=0 latencyCount=60 latencyUnseen=0; do
  expect "$out" "${kv%%=*}" "${kv#*=}"
done

# Flat out for a second: what was sent is what the server accepted.
out=$work/flat.out
"$loadgen" --port "$listener_port" -c 30 -j 2 -r 0 -d 1 --stats-file "$work/server.stats" --settle 60 >"$out" 2>&1 ||
  fail "loadgen failed"
expect "$out" lost 0
expect "$out" closedByServer 0
[ "$(stat_value "$out" sent)" -gt 30 ] || fail "flat out sent only $(stat_value "$out" sent)"
stop_listener
expect "$work/server.stats" state stopped
expect "$work/server.stats" messagesRejected 0

# The null sink counts whole messages, also from random pieces.
run_sink() { exec "$sink" --port "$PORT" --stats-file "$work/sink.stats" >"$work/sink.out" 2>&1; }
start_listener "$work/sink.stats" run_sink || fail "nullsink did not start"
out=$work/sink-load.out
"$loadgen" --port "$listener_port" -c 20 -r 0 -m 500 --chunking random --stats-file "$work/sink.stats" --settle 60 \
  >"$out" 2>&1 || fail "loadgen failed"
expect "$out" sent 10000
expect "$out" serverAccepted 10000
expect "$out" lost 0
stop_listener
expect "$work/sink.out" messages 10000
expect "$work/sink.out" connections 20
echo "load tools: paced, random pieces, flat out and the null sink all counted every message"
