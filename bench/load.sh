#!/usr/bin/env bash
# Load benchmark: messages per second ingested by pellicksrv (HTML output and dashboard on) and by the null sink at 100, 1,000 and 10,000 connections, send-to-report latency at one message per CPU per second, a farm of 15,000 CPUs arriving in random order and leaving at once, and resident memory at 10,000 idle connections.
# usage: bench/load.sh [BUILD_DIR]   (default build/linux; ./dev bench runs it after the Google benchmarks)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
. "$root/tests/tools/lib.sh"
srv=$build/server/pellicksrv sink=$build/tools/nullsink gen=$build/tools/loadgen
for p in "$srv" "$sink" "$gen"; do
  [ -x "$p" ] || { echo "load bench: $p is not built" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/pellick-load.XXXXXX") || exit 1
gen_pid=""
trap 'stop_listener; [ -n "$gen_pid" ] && kill "$gen_pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/config/Zandrel/Pellick"
# Every simulated CPU connects from 127.0.0.1: one address may hold them all.
printf 'HTML=%s\nMaxCpusPerAddress=1048576\n' "$work/status.html" >"$work/config/Zandrel/Pellick/settings.ini"
stats=$work/stats
# The farm-scale run: two processes of about 19,000 descriptors each fit under a 20,000 hard limit.
farm=15000

# The dashboard on a port of the system's choosing, which the server prints.
run_server() {
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$PORT PELLICK_TEST_HTTP_PORT=0 \
    exec "$srv" --stats-file "$stats" </dev/null >"$work/server.out" 2>&1
}
dashboard_port() { sed -n 's|.*dashboard at http://localhost:\([0-9]*\)/.*|\1|p' "$work/server.out" | tail -1; }
run_sink() { exec "$sink" --port "$PORT" --stats-file "$stats" >"$work/sink.out" 2>&1; }
started() { start_listener "$stats" "$1" || { echo "load bench: $1 did not start" >&2; cat "$work"/*.out >&2; exit 1; }; }
# load OUTPUT LOADGEN-OPTIONS...: one loadgen run against the listener.
load() {
  local out=$1; shift
  "$gen" --port "$listener_port" --server-pid "$listener_pid" "$@" >"$out" 2>"$out.err" ||
    { echo "load bench: loadgen failed:" >&2; cat "$out" "$out.err" >&2; exit 1; }
}
v() { stat_value "$1" "$2"; }
missed=0
verdict() { if [ "$1" = 1 ]; then echo "met"; else missed=1; echo "MISSED"; fi; }

echo "machine: $(nproc) CPUs, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -r);" \
     "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%F %H:%M UTC')"

echo
echo "Ingestion, flat out (each CPU sends as fast as the kernel takes it; 10 jobs; 1 s warm-up, 3 s measured)"
printf '%12s %15s %13s %17s %7s %15s %10s\n' connections "nullsink msg/s" "loadgen CPU" "pellicksrv msg/s" ratio \
  "pellicksrv CPU" "loop CPU"
for n in 100 1000 10000; do
  started run_sink
  load "$work/sink-$n" -c "$n" -j 10 -r 0 -d 4 --warmup 1 --stats-file "$stats" --settle 120
  stop_listener
  started run_server
  load "$work/srv-$n" -c "$n" -j 10 -r 0 -d 4 --warmup 1 --stats-file "$stats" --settle 120
  stop_listener
  sink_rate=$(v "$work/sink-$n" serverRate) srv_rate=$(v "$work/srv-$n" serverRate)
  ratio=$(awk -v a="$srv_rate" -v b="$sink_rate" 'BEGIN { printf "%.0f%%", (b > 0 ? 100 * a / b : 0) }')
  printf '%12s %15s %12s%% %17s %7s %14s%% %9s%%\n' "$n" "$sink_rate" "$(v "$work/sink-$n" loadgenCpuPercent)" \
    "$srv_rate" "$ratio" "$(v "$work/srv-$n" serverCpuPercent)" "$(v "$work/srv-$n" serverLoopCpuPercent)"
  [ "$n" = 1000 ] && ratio_1000=${ratio%\%}
  for f in "$work/sink-$n" "$work/srv-$n"; do
    [ "$(v "$f" lost)" = 0 ] || echo "  $(basename "$f"): $(v "$f" lost) messages not counted"
  done
done

echo
echo "Latency, one message per CPU per second (10 jobs; 4 s warm-up, 10 s measured): send to the CPU's row showing it"
printf '%12s %-18s %9s %9s %9s %6s %10s %12s %13s\n' connections "seen in" "p50 ms" "p99 ms" "max ms" lost "loop CPU" "process CPU" \
  "longest turn"
latency() {  # latency CONNECTIONS NAME LABEL PROBE-OPTIONS...
  local n=$1 name=$2 label=$3; shift 3
  local f=$work/lat-$n-$name
  started run_server
  local probe=("$@")
  [ "${probe[0]}" = --status-port ] && probe[1]=$(dashboard_port)
  [ -n "${probe[1]}" ] || { echo "load bench: no dashboard port" >&2; cat "$work/server.out" >&2; exit 1; }
  load "$f" -c "$n" -j 10 -r 1 -d 14 --warmup 4 --stats-file "$stats" --settle 30 "${probe[@]}"
  stop_listener
  echo "longestTurnMs=$(awk -v u="$(v "$stats" longestTurnUs)" 'BEGIN { printf "%.1f", u / 1000 }')" >>"$f"
  printf '%12s %-18s %9s %9s %9s %6s %9s%% %11s%% %10s ms\n' "$n" "$label" "$(v "$f" latencyP50Ms)" "$(v "$f" latencyP99Ms)" \
    "$(v "$f" latencyMaxMs)" "$(v "$f" lost)" "$(v "$f" serverLoopCpuPercent)" "$(v "$f" serverCpuPercent)" "$(v "$f" longestTurnMs)"
  [ "$(v "$f" latencyUnseen)" = 0 ] || echo "  $(v "$f" latencyUnseen) messages never shown"
  [ "$(v "$f" requestCount)" = "" ] || printf '%12s %-18s %9s %9s %9s   (%s requests: asked to the whole answer)\n' "" \
    "  answered in" "$(v "$f" requestP50Ms)" "$(v "$f" requestP99Ms)" "$(v "$f" requestMaxMs)" "$(v "$f" requestCount)"
}
latency 1000 json /status.json --status-port dashboard
latency 10000 html "HTML file" --html-file "$work/status.html"
latency 10000 json /status.json --status-port dashboard

echo
echo "Farm of $farm CPUs: first reports in random order, 1 msg/s per CPU (10 jobs; 2 s warm-up, 8 s measured), then every connection closed at once"
f=$work/farm
started run_server
load "$f" -c "$farm" -j 10 -r 1 -d 10 --warmup 2 --random-order --farm-times --stats-file "$stats" --settle 30 \
  --html-file "$work/status.html"
stop_listener
farm_turn=$(awk -v u="$(v "$stats" longestTurnUs)" 'BEGIN { printf "%.1f", u / 1000 }')
printf '  connect %s s; all first reports shown %s ms after the last was sent\n' "$(v "$f" connectSeconds)" \
  "$(v "$f" firstReportsShownMs)"
printf '  closing every connection took loadgen %s ms; all gone from the HTML %s ms after the last close\n' \
  "$(v "$f" closeAllMs)" "$(v "$f" closedGoneMs)"
printf '  send to HTML: p50 %s ms, p99 %s ms, max %s ms; lost %s; event loop CPU %s%%\n' "$(v "$f" latencyP50Ms)" \
  "$(v "$f" latencyP99Ms)" "$(v "$f" latencyMaxMs)" "$(v "$f" lost)" "$(v "$f" serverLoopCpuPercent)"
printf '  the longest the event loop went without taking new events: %s ms\n' "$farm_turn"

echo
echo "Memory at 10,000 idle connections (each sent one message, then waits)"
started run_server
base_kib=$(awk '/VmRSS/ { print $2 }' "/proc/$listener_pid/status")
"$gen" --port "$listener_port" -c 10000 -j 10 -m 1 --settle 30 --stats-file "$stats" --hold 600 \
  --ready-file "$work/ready" >"$work/idle" 2>&1 &
gen_pid=$!
wait_for 120 test -e "$work/ready" || { echo "load bench: the idle connections did not open" >&2; cat "$work/idle" >&2; exit 1; }
settled() { [ "$(v "$stats" clients)" = 10000 ] && [ "$(v "$stats" messagesAccepted)" = 10000 ]; }
wait_for 60 settled || echo "  the server holds $(v "$stats" clients) clients, accepted $(v "$stats" messagesAccepted)"
sleep 1
idle_kib=$(awk '/VmRSS/ { print $2 }' "/proc/$listener_pid/status")
kill "$gen_pid"; wait "$gen_pid" 2>/dev/null; gen_pid=""
stop_listener
per_conn=$(( (idle_kib - base_kib) * 1024 / 10000 ))
echo "  pellicksrv resident: ${base_kib} KiB at start, ${idle_kib} KiB with 10,000 clients: ${per_conn} bytes per connection"

echo
echo "Targets"
f10k=$work/lat-10000-html
echo "  pellicksrv >= 50% of the null sink at 1,000 connections: ${ratio_1000}% -> $(verdict "$([ "$ratio_1000" -ge 50 ] && echo 1)")"
p99=$(v "$f10k" latencyP99Ms) loopcpu=$(v "$f10k" serverLoopCpuPercent)
ok=$(awk -v p="$p99" -v c="$loopcpu" -v l="$(v "$f10k" lost)" -v u="$(v "$f10k" latencyUnseen)" \
  'BEGIN { print (p < 250 && c < 90 && l == 0 && u == 0) ? 1 : 0 }')
echo "  10,000 CPUs at 1 msg/s: lost $(v "$f10k" lost), p99 ${p99} ms (< 250), event loop ${loopcpu}% of a core (< 90%) -> $(verdict "$ok")"
fj=$work/lat-10000-json p99j=$(v "$fj" requestP99Ms)
ok=$(awk -v p="$p99j" -v n="$(v "$fj" requestCount)" -v l="$(v "$fj" lost)" -v u="$(v "$fj" latencyUnseen)" \
  'BEGIN { print (n > 0 && p < 50 && l == 0 && u == 0) ? 1 : 0 }')
echo "  /status.json at 10,000 CPUs: answered in p99 ${p99j} ms (< 50), a message in it p99 $(v "$fj" latencyP99Ms) ms after" \
  "it was sent -> $(verdict "$ok")"
turns=$(awk -v a="$(v "$f10k" longestTurnMs)" -v b="$(v "$fj" longestTurnMs)" -v c="$farm_turn" \
  'BEGIN { m = a; if (b > m) m = b; if (c > m) m = c; print m }')
echo "  the event loop never stops taking messages for 100 ms or more: longest ${turns} ms -> $(verdict "$(awk -v t="$turns" 'BEGIN { print (t < 100) ? 1 : 0 }')")"
echo "  < 4 KiB per connection: ${per_conn} bytes -> $(verdict "$([ "$per_conn" -lt 4096 ] && echo 1)")"
ok=$(awk -v a="$(v "$f" firstReportsShownMs)" -v g="$(v "$f" closedGoneMs)" -v l="$(v "$f" lost)" \
  'BEGIN { print (a != "" && a < 1000 && g != "" && g != "unseen" && g < 300 && l == 0) ? 1 : 0 }')
echo "  $farm CPUs: shown $(v "$f" firstReportsShownMs) ms after arriving (< 1000), gone $(v "$f" closedGoneMs) ms after the" \
  "last close (< 300), lost $(v "$f" lost) -> $(verdict "$ok")"
echo "  descriptor limit: ctest -R fd_limit_test (ulimit -n 64, 100 connections)"
exit 0
