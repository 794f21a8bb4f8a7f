#!/usr/bin/env bash
# Status-port fairness benchmark: two loopback hosts hold a silent flood past the server's descriptors while a third brings five real CPUs; how long until the report shows all five, and how many of their messages were counted.
# usage: bench/flood.sh PELLICKSRV LOADGEN [FLOOD_PER_HOST [MAX_CPUS_PER_ADDRESS [SERVER_DESCRIPTORS]]]
#   defaults: 10,000 silent connections per host, MaxCpusPerAddress unset (the default), the
#   hard descriptor limit (20,000 here) for the server. Prints key=value lines.
set -uo pipefail
srv=$1 gen=$2 per_host=${3:-10000} max_per_address=${4:-} fds=${5:-$(ulimit -Hn)}
. "$(cd "$(dirname "$0")/.." && pwd)/tests/tools/lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/pellick-flood.XXXXXX") || exit 1
floods=()
trap 'for p in "${floods[@]}"; do kill "$p" 2>/dev/null; done; stop_listener; rm -rf "$work"' EXIT
mkdir -p "$work/config/Zandrel/Pellick"
{ printf 'HTML=%s\n' "$work/status.html"; [ -n "$max_per_address" ] && printf 'MaxCpusPerAddress=%s\n' "$max_per_address"; } \
  >"$work/config/Zandrel/Pellick/settings.ini"
stats=$work/stats
run_server() {
  ulimit -n "$fds" || exit 1
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$PORT exec "$srv" --stats-file "$stats" </dev/null >"$work/server.out" 2>&1
}
start_listener "$stats" run_server || { echo "flood bench: pellicksrv did not start" >&2; cat "$work/server.out" >&2; exit 1; }

# The floods: silent connections, held far longer than the server's 60 s message wait.
for host in 127.0.0.2 127.0.0.4; do
  "$gen" --port "$listener_port" --from "$host" --silent -c "$per_host" -d 0 --settle 0 --hold 400 \
    --ready-file "$work/ready-$host" >"$work/flood-$host.out" 2>&1 &
  floods+=($!)
  wait_for 120 test -e "$work/ready-$host" || { echo "flood bench: the flood from $host failed" >&2; cat "$work/flood-$host.out" >&2; exit 1; }
done
sleep 1  # the server takes what it will of the floods
echo "floodConnections=$((2 * per_host))"
echo "floodConnectSeconds=$(stat_value "$work/flood-127.0.0.2.out" connectSeconds)+$(stat_value "$work/flood-127.0.0.4.out" connectSeconds)"
echo "serverDescriptors=$fds"
echo "clientsDuringFlood=$(stat_value "$stats" clients)"

# Five CPUs from a third host, one message a second each for 10 s; the report's arrival is timed.
"$gen" --port "$listener_port" --from 127.0.0.3 -c 5 -r 1 -d 10 --settle 150 --stats-file "$stats" \
  --html-file "$work/status.html" --farm-times >"$work/sender.out" 2>&1
for key in connectSeconds firstReportsShownMs sent serverAccepted lost closedByServer; do
  echo "sender.$key=$(stat_value "$work/sender.out" "$key")"
done
# From the sender's start (its first connect) until the report shows all five CPUs.
awk -v c="$(stat_value "$work/sender.out" connectSeconds)" -v f="$(stat_value "$work/sender.out" firstReportsShownMs)" \
  'BEGIN { if (f != "") printf "sender.allShownAfterStartMs=%.1f\n", c * 1000 + f; else print "sender.allShownAfterStartMs=" }'
for key in refusedPerAddress refusedNetwork refusedDescriptors longestTurnUs; do
  echo "$key=$(stat_value "$stats" "$key")"
done
