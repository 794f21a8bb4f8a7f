#!/usr/bin/env bash
# pellicksrv's status port on a hostile LAN, under `ulimit -n 64`: silent floods from 127.0.0.2 and 127.0.0.4 past MaxCpusPerAddress and past the descriptors, and a peer outside StatusNetworks, beside five CPUs from 127.0.0.3 whose messages all count.
# usage: status_port_limits_test.sh PELLICKSRV LOADGEN WORKDIR
set -uo pipefail
server=$1 loadgen=$2 work=$3
. "$(dirname "$0")/lib.sh"
rm -rf "$work" && mkdir -p "$work/config/Zandrel/Pellick" || exit 1
# One bad entry, so the start says so; 127.0.0.0/29 lets 127.0.0.1 to 127.0.0.7 in.
printf 'MaxCpusPerAddress=24\nStatusNetworks=127.0.0.0/29, 10.300.0.0/16\n' >"$work/config/Zandrel/Pellick/settings.ini"
stats=$work/stats
floods=()
cleanup() {
  for p in "${floods[@]}"; do kill "$p" 2>/dev/null; done
  stop_listener
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- stats"; cat "$stats"; echo "--- server"; cat "$work/server.out"; exit 1; }
# A silent flood of COUNT connections from ADDRESS, held for a minute: flood ADDRESS COUNT.
flood() {
  "$loadgen" --port "$listener_port" --from "$1" --silent -c "$2" -d 0 --settle 0 --hold 60 \
    --ready-file "$work/ready-$1" >"$work/flood-$1.out" 2>&1 &
  floods+=($!)
  wait_for 20 test -e "$work/ready-$1" || fail "the flood from $1 did not connect: $(cat "$work/flood-$1.out")"
}
counted() { [ "$(stat_value "$stats" "$1")" "$2" "$3" ]; }

run_server() {
  ulimit -n 64 || exit 1  # soft and hard: clients get at most 48 descriptors
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$PORT PELLICK_TEST_HTTP_PORT=0 exec "$server" --stats-file "$stats" \
    </dev/null >"$work/server.out" 2>&1
}
start_listener "$stats" run_server || { cat "$work/server.out"; fail "pellicksrv did not start"; }
http_port=$(sed -n 's|.*dashboard at http://localhost:\([0-9]*\)/.*|\1|p' "$work/server.out")
[ -n "$http_port" ] || fail "no dashboard port in the server's output"
grep -qx 'pellicksrv: StatusNetworks: ignored 10.300.0.0/16 (an octet past 255); status connections are taken from 127.0.0.0/29 only' \
  "$work/server.out" || fail "no line about the bad StatusNetworks entry"

# 34 from one address: 24 taken, 10 closed at once.
flood 127.0.0.2 34
wait_for 20 counted refusedPerAddress = 10 || fail "want 10 refused per address from 127.0.0.2"
[ "$(stat_value "$stats" clients)" = 24 ] || fail "want the flood's 24 connections held"
# 34 more from another: with the first flood's 24 they pass the descriptors, so the oldest
# silent connections make room; past its own 24 the rest are closed at once.
flood 127.0.0.4 34
wait_for 20 counted refusedPerAddress = 20 || fail "want 10 more refused per address from 127.0.0.4"
counted refusedDescriptors -ge 1 || fail "the floods did not run the descriptors short"
# A peer outside the networks.
flood 127.0.0.9 3
wait_for 20 counted refusedNetwork = 3 || fail "want 3 refused for their network"

# Five CPUs from a third address among the floods: every message they send counts.
"$loadgen" --port "$listener_port" --from 127.0.0.3 -c 5 -r 2 -d 2 --settle 10 --stats-file "$stats" \
  >"$work/sender.out" 2>&1 || fail "the sender failed: $(cat "$work/sender.out")"
sent=$(stat_value "$work/sender.out" sent)
[ "${sent:-0}" -ge 20 ] || fail "the sender sent ${sent:-nothing}"
[ "$(stat_value "$work/sender.out" lost)" = 0 ] || fail "of $sent messages the server counted $(stat_value "$work/sender.out" serverAccepted)"
[ "$(stat_value "$work/sender.out" closedByServer)" = 0 ] || fail "the server closed a reporting CPU"

# /metrics and /status.json say the same.
metrics=$(curl -sf --max-time 10 "http://127.0.0.1:$http_port/metrics") || fail "no /metrics"
for pair in per_address:refusedPerAddress network:refusedNetwork descriptors:refusedDescriptors; do
  want=$(stat_value "$stats" "${pair#*:}")
  grep -qx "pellick_connections_refused_total{reason=\"${pair%%:*}\"} $want" <<<"$metrics" ||
    fail "want ${pair%%:*} $want in /metrics: $(grep refused <<<"$metrics")"
done
curl -sf --max-time 10 "http://127.0.0.1:$http_port/status.json" | jq -e \
  '.settings.maxCpusPerAddress == 24 and .settings.statusNetworks == ["127.0.0.0/29"]' \
  >/dev/null || fail "/status.json does not show the rules"
stop_listener
echo "refused: $(stat_value "$stats" refusedPerAddress) per address, $(stat_value "$stats" refusedNetwork) network," \
     "$(stat_value "$stats" refusedDescriptors) silent to make room; all $sent messages of the five CPUs counted"
