#!/usr/bin/env bash
# pellicksrv's dashboard against hostile HTTP clients while loadgen sends: endless request lines, header floods, hundreds of idle and dripping connections, stream readers that never read; the status port keeps counting, /status.json answers within 1 s, memory stays within 32 MiB of its start.
# usage: hostile_http_test.sh PELLICKSRV LOADGEN WORKDIR [sanitized]
# A sanitized build (its allocator keeps freed memory in quarantine, and every call is slower)
# reports the time and memory figures without judging them.
set -uo pipefail
server=$1 loadgen=$2 work=$3 sanitized=${4:-}
. "$(dirname "$0")/lib.sh"
rm -rf "$work" && mkdir -p "$work/config/Zandrel/Pellick" || exit 1
printf 'HTML=%s\n' "$work/status.html" >"$work/config/Zandrel/Pellick/settings.ini"
stats=$work/stats
hostile=()
cleanup() {
  for p in "${hostile[@]}"; do kill "$p" 2>/dev/null; done
  stop_listener
  [ -n "${gen_pid:-}" ] && kill "$gen_pid" 2>/dev/null
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- stats"; cat "$stats"; echo "--- loadgen"; cat "$work/loadgen.out" 2>/dev/null; exit 1; }
resident_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

run_server() {
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$PORT PELLICK_TEST_HTTP_PORT=0 exec "$server" --stats-file "$stats" \
    </dev/null >"$work/server.out" 2>&1
}
start_listener "$stats" run_server || { cat "$work/server.out"; fail "pellicksrv did not start"; }
http_port=$(sed -n 's|.*dashboard at http://localhost:\([0-9]*\)/.*|\1|p' "$work/server.out")
[ -n "$http_port" ] || { cat "$work/server.out"; fail "no dashboard port in the server's output"; }
curl -sf --max-time 5 -o /dev/null "http://127.0.0.1:$http_port/status.json" || fail "no /status.json at the start"
start_kib=$(resident_kib "$listener_pid")

# 100 CPUs sending two messages a second for 12 seconds.
"$loadgen" --port "$listener_port" -c 100 -r 2 -d 12 --settle 0 --hold 2 --ready-file "$work/ready" \
  >"$work/loadgen.out" 2>&1 &
gen_pid=$!

endless() {  # address: request lines that never end, one after the other
  while :; do (printf 'GET /'; head -c 50000000 /dev/zero | tr '\0' a) 2>/dev/null | curl -s --interface "$1" -o /dev/null \
    -T - "telnet://127.0.0.1:$http_port" 2>/dev/null; sleep 0.1; done
}
flood() {  # address: header floods
  while :; do (printf 'GET / HTTP/1.1\r\n'; yes $'X-Flood: aaaaaaaaaaaaaaaa\r' | head -c 20000000) 2>/dev/null |
    curl -s --interface "$1" -o /dev/null -T - "telnet://127.0.0.1:$http_port" 2>/dev/null; sleep 0.1; done
}
for a in 11 12; do endless "127.0.0.$a" & hostile+=($!); done
for a in 13 14; do flood "127.0.0.$a" & hostile+=($!); done
# Stream readers that never read, and hundreds of idle connections (most refused: 32 per address).
never_read() { exec 3<>"/dev/tcp/127.0.0.1/$http_port" && printf 'GET /events HTTP/1.1\r\nHost: x\r\n\r\n' >&3 && exec sleep 60; }
for i in $(seq 16); do never_read & hostile+=($!); done
idle() { exec 3<>"/dev/tcp/127.0.0.1/$http_port" 2>/dev/null; exec sleep 60; }
for i in $(seq 300); do idle & hostile+=($!); done
drip() { exec 3<>"/dev/tcp/127.0.0.1/$http_port" 2>/dev/null || return; while printf 'G' >&3 2>/dev/null; do sleep 1; done; }
for i in $(seq 10); do drip & hostile+=($!); done

# Meanwhile /status.json answers another client within 1 s, every time.
slowest=0
for i in $(seq 20); do
  t=$(curl -s --interface 127.0.0.2 --max-time 5 -o "$work/status.json" -w '%{time_total}' \
      "http://127.0.0.1:$http_port/status.json") || fail "no /status.json among hostile clients (try $i)"
  slowest=$(awk -v a="$slowest" -v b="$t" 'BEGIN { print (b > a) ? b : a }')
  sleep 0.4
done
grown=$(($(resident_kib "$listener_pid") - start_kib))
echo "among hostile clients: /status.json at most ${slowest} s, memory grew ${grown} KiB"
if [ -z "$sanitized" ]; then
  awk -v s="$slowest" 'BEGIN { exit !(s < 1) }' || fail "/status.json took ${slowest} s"
  [ "$grown" -lt $((32 * 1024)) ] || fail "the server grew by $grown KiB"
fi

# The status port kept counting: every message loadgen sent.
wait_for 30 test -e "$work/ready" || fail "loadgen did not finish sending"
[ "$(stat_value "$work/loadgen.out" closedByServer)" = 0 ] || fail "the server closed status connections"
sent=$(stat_value "$work/loadgen.out" sent)
counted() { [ "$(stat_value "$stats" messagesAccepted)" = "$sent" ]; }
wait_for 20 counted || fail "want $sent messages counted, have $(stat_value "$stats" messagesAccepted)"
kill -0 "$listener_pid" || fail "the server ended"
echo "all $sent messages counted"
