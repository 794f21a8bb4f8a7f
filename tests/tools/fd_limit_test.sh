#!/usr/bin/env bash
# pellicksrv at a descriptor limit of 64 with 100 connections: no spinning, existing clients keep counting, the report and the dashboard still answer, waiting connections are taken once clients leave.
# usage: fd_limit_test.sh PELLICKSRV LOADGEN WORKDIR
set -uo pipefail
server=$1 loadgen=$2 work=$3
. "$(dirname "$0")/lib.sh"
rm -rf "$work" && mkdir -p "$work/config/Zandrel/Pellick" || exit 1
printf 'HTML=%s\n' "$work/status.html" >"$work/config/Zandrel/Pellick/settings.ini"
stats=$work/stats
fail() { echo "FAIL: $*"; echo "--- stats"; cat "$stats"; echo "--- loadgen"; cat "$work/loadgen.out" 2>/dev/null; exit 1; }
trap 'stop_listener; [ -n "${gen_pid:-}" ] && kill "$gen_pid" 2>/dev/null' EXIT

run_server() {
  ulimit -n 64 || exit 1  # soft and hard: the server cannot raise it
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$PORT PELLICK_TEST_HTTP_PORT=0 exec "$server" --stats-file "$stats" \
    </dev/null >"$work/server.out" 2>&1
}
start_listener "$stats" run_server || { cat "$work/server.out"; fail "pellicksrv did not start"; }
http_port=$(sed -n 's|.*dashboard at http://localhost:\([0-9]*\)/.*|\1|p' "$work/server.out")
[ -n "$http_port" ] || { cat "$work/server.out"; fail "no dashboard port in the server's output"; }

# 100 CPUs, each sending its first message and then two a second for 3 seconds, then idle for 4.
"$loadgen" --port "$listener_port" -c 100 -r 2 -d 3 --settle 0 --hold 4 --ready-file "$work/ready" \
  >"$work/loadgen.out" 2>&1 &
gen_pid=$!
wait_for 30 test -e "$work/ready" || fail "loadgen did not finish sending"
[ "$(stat_value "$work/loadgen.out" closedByServer)" = 0 ] || fail "the server closed connections"

# The clients it took keep counting: each sent 7 messages, or 6 when a loaded machine made loadgen miss its last tick.
clients=$(stat_value "$stats" clients)
{ [ "${clients:-0}" -ge 20 ] && [ "$clients" -lt 64 ]; } || fail "want 20 to 63 clients at the limit, have $clients"
all_counted() { [ "$(stat_value "$stats" messagesAccepted)" -ge $((clients * 6)) ]; }
wait_for 20 all_counted || fail "want at least $((clients * 6)) messages from $clients clients"
[ "$(stat_value "$stats" clients)" = "$clients" ] || fail "clients went from $clients to $(stat_value "$stats" clients)"
# The report is still written: a row per CPU that reported.
rows=$(grep -o '<tr><td>[1-9][0-9]*</td>' "$work/status.html" | wc -l)
[ "$rows" -eq "$clients" ] || fail "the HTML report shows $rows CPU rows for $clients clients"
# So does the dashboard.
curl -sf --max-time 10 "http://127.0.0.1:$http_port/status.json" >"$work/status.json" || fail "no /status.json at the limit"
listed=$(grep -o '"cpu":[0-9]*' "$work/status.json" | wc -l)
[ "$listed" -eq "$clients" ] || fail "/status.json lists $listed CPUs for $clients clients"

# Idle at the limit with connections waiting: the server does not spin.
before=$(cpu_ticks "$listener_pid")
sleep 2
used=$(($(cpu_ticks "$listener_pid") - before))
ticks=$(getconf CLK_TCK)
[ "$used" -le $((ticks / 5)) ] || fail "the server used $used of $((2 * ticks)) clock ticks while waiting"

# Once the clients leave, the waiting connections are taken and what they sent counts.
wait "$gen_pid"; gen_pid=""
sent=$(stat_value "$work/loadgen.out" sent)
# 7 per CPU when on time; a loaded machine can make loadgen miss a CPU's last tick.
[ "${sent:-0}" -ge 600 ] && [ "$sent" -le 700 ] || fail "loadgen sent $sent messages, want 600 to 700"
everything() { [ "$(stat_value "$stats" connections)" = 100 ] && [ "$(stat_value "$stats" clients)" = 0 ] &&
               [ "$(stat_value "$stats" messagesAccepted)" = "$sent" ]; }
wait_for 30 everything || fail "want all 100 connections taken and all $sent messages counted"
kill -0 "$listener_pid" || fail "the server ended"
stop_listener
[ "$(stat_value "$stats" state)" = stopped ] || fail "no orderly stop"
echo "descriptor limit 64: $clients clients served, 100 connections taken in the end, $used ticks of CPU in 2 s"
