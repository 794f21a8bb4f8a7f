#!/usr/bin/env bash
# Windows refresh pacing under Wine: how long pellicksrv.exe (HTML output and dashboard on) takes to show 1,000 and 5,000 CPUs that each send 10 messages flat out, from the Linux loadgen over 127.0.0.1.
# usage: bench/wine_load.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]   (defaults build/windows, build/linux)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wbuild=${1:-$root/build/windows} lbuild=${2:-$root/build/linux}
. "$root/tests/tools/lib.sh"
srv=$wbuild/server/pellicksrv.exe gen=$lbuild/tools/loadgen
for p in "$srv" "$gen"; do
  [ -e "$p" ] || { echo "wine load bench: $p is not built" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/pellick-wine-load.XXXXXX") || exit 1
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server_pid="" xvfb_pid="" gen_pid=""
cleanup() {
  [ -n "$gen_pid" ] && kill "$gen_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }

# The window needs a display: a private Xvfb.
start_xvfb "$work/xvfb.log" 300 399 || exit 1
wineboot -i >/dev/null 2>&1
# Every simulated CPU connects from 127.0.0.1: one address may hold them all.
wine reg add 'HKCU\Software\Zandrel\Pellick' /v MaxCpusPerAddress /t REG_DWORD /d 1048576 /f >/dev/null 2>&1

take_port status_port && take_port http_port || { echo "wine load bench: no free ports" >&2; exit 1; }
export PELLICK_TEST_PORT=$status_port PELLICK_TEST_HTTP_PORT=$http_port
base=http://127.0.0.1:$http_port
wine "$srv" >"$work/server.out" 2>&1 &
server_pid=$!
wait_for 240 curl -sf -o /dev/null "$base/status.json" || { echo "wine load bench: the server did not start" >&2; exit 1; }
# HTML output on, into the run's folder (Wine maps / to Z:).
html="Z:${work//\//\\}\\status.htm"
# Changes need the token the server keeps in the registry.
token=$(wine reg query 'HKCU\Software\Zandrel\Pellick' /v DashboardToken 2>/dev/null | tr -d '\r' |
  awk '$1 == "DashboardToken" {print $3}')
curl -sf -o /dev/null -H 'Content-Type: application/json' -H "Authorization: Bearer $token" \
  -d "{\"htmlPath\":\"${html//\\/\\\\}\"}" "$base/options" || { echo "wine load bench: cannot set the HTML file" >&2; exit 1; }

# Polled from /metrics, which stays small however many CPUs report; the generation (one per
# refresh) from /status.json before and after each run.
metric() { curl -sf "$base/metrics" | sed -n "s/^$1 \([0-9]*\)\$/\1/p"; }
accepted() { metric pellick_messages_accepted_total; }
active() { metric pellick_active_cpus; }
idle() { [ "$(active)" = 0 ]; }
generation() { curl -sf "$base/status.json" | sed -n 's/.*"generation":\([0-9]*\).*/\1/p'; }

echo "machine: $(nproc) CPUs, $(uname -r), $(wine --version 2>/dev/null); $(date -u '+%F %H:%M UTC')"
printf '%10s %10s %14s %9s\n' CPUs messages "shown after s" refreshes
missed=0 base_accepted=0
for n in 1000 5000; do
  want=$((base_accepted + 10 * n))
  gen0=$(generation)
  start=$(now)
  "$gen" --server 127.0.0.1 --port "$status_port" -c "$n" -j 10 -r 0 -m 10 -d 600 --hold 600 \
    --ready-file "$work/ready-$n" >"$work/gen-$n.out" 2>&1 &
  gen_pid=$!
  shown=""
  while [ -z "$shown" ]; do
    a=$(accepted)
    if [ "${a:-0}" -ge "$want" ]; then shown=$(now); break; fi
    kill -0 "$gen_pid" 2>/dev/null || { echo "wine load bench: loadgen ended early" >&2; cat "$work/gen-$n.out" >&2; exit 1; }
    [ "$(awk -v a="$(now)" -v b="$start" 'BEGIN { print (a - b > 300) }')" = 1 ] && break
    sleep 0.05
  done
  gen1=$(generation)
  secs=$(awk -v a="${shown:-0}" -v b="$start" 'BEGIN { if (a == 0) print "over 300"; else printf "%.1f", a - b }')
  printf '%10s %10s %14s %9s\n' "$n" "$((10 * n))" "$secs" "$((gen1 - gen0))"
  [ "$n" = 5000 ] && { [ -z "$shown" ] || [ "$(awk -v s="$secs" 'BEGIN { print (s > 20) }')" = 1 ]; } && missed=1
  kill "$gen_pid" 2>/dev/null; wait "$gen_pid" 2>/dev/null; gen_pid=""
  base_accepted=$want
  wait_for 120 idle
done
[ "$missed" = 0 ] && echo "target: 5,000 CPUs shown within 20 s: met" || { echo "target: 5,000 CPUs shown within 20 s: MISSED"; exit 1; }
