#!/usr/bin/env bash
# End-to-end run: the status server and six hostsim render nodes in two jobs; the server's counters, fields and HTML must match what the nodes rendered.
#
# usage: e2e.sh linux <pellicksrv> <hostsim> <plug-in> <work folder>
#        e2e.sh wine <pellicksrv.exe> <hostsim.exe> <plug-in.dll> <render_status_probe.exe> <work folder>
# The plug-in is the tests' variant, which takes its port and quiet time-out from the environment.
# Under Wine the run has its own prefix in the work folder and its own Xvfb display.
set -u
platform=${1:-}
case "$platform" in
  linux) [ $# -eq 5 ] || { echo "usage: $0 linux <pellicksrv> <hostsim> <plug-in> <work>" >&2; exit 2; }
         server=$2 hostsim=$3 plugin=$4 work=$5 ;;
  wine)  [ $# -eq 6 ] || { echo "usage: $0 wine <pellicksrv.exe> <hostsim.exe> <plug-in.dll> <probe.exe> <work>" >&2; exit 2; }
         server=$2 hostsim=$3 plugin=$4 probe=$5 work=$6 ;;
  *) echo "usage: $0 linux|wine ..." >&2; exit 2 ;;
esac

rm -rf "$work/run"
mkdir -p "$work/run" || exit 1
run=$work/run
html=$run/status.htm
release=$run/release
. "$(dirname "$0")/../tools/lib.sh"

# Paths as the programs see them: Wine reaches the Linux tree through drive Z:.
native() { if [ "$platform" = wine ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi; }

# Two jobs on six render nodes: node, scene, range, passes per frame, the node's frames.
# Job 1 (shotA): frames 1-12, 2 passes, 24 passes in all; job 2 (shotB): frames 1-9, 3 passes, 27.
nodes=(
  "1 shotA 1 12 2 1-4"
  "2 shotA 1 12 2 5-8"
  "3 shotA 1 12 2 9-12"
  "4 shotB 1 9 3 1-3"
  "5 shotB 1 9 3 4-6"
  "6 shotB 1 9 3 7-9"
)
# Expected per-CPU rows of the HTML: CPU, job, frame on, passes done.
expected_rows=$'1 1 4 8\n2 1 8 8\n3 1 12 8\n4 2 3 9\n5 2 6 9\n6 2 9 9'
head -c 1000 /dev/zero >"$run/shotA.scn"
head -c 2000 /dev/zero >"$run/shotB.scn"

export PELLICK_TEST_QUIET_MS=1000
server_pid="" xvfb_pid=""
node_pids=()

if [ "$platform" = wine ]; then
  export WINEPREFIX=$run/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
fi
win() { wine "$@"; }

cleanup() {
  for p in "${node_pids[@]}"; do kill "$p" 2>/dev/null; done
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  if [ "$platform" = wine ]; then wineserver -k 2>/dev/null; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

server_alive() { [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; }

if [ "$platform" = wine ]; then
  start_xvfb "$run/xvfb.log" 161 230 || exit 1
  wineboot -i >/dev/null 2>&1
  win reg add 'HKCU\Software\Zandrel\Pellick' /v HTML /t REG_SZ /d "$(native "$html")" /f >/dev/null 2>&1 ||
    { echo "cannot set the HTML path in the registry" >&2; exit 1; }
else
  export XDG_CONFIG_HOME=$run/config
  mkdir -p "$XDG_CONFIG_HOME/Zandrel/Pellick"
  printf 'HTML=%s\n' "$html" >"$XDG_CONFIG_HOME/Zandrel/Pellick/settings.ini"
fi

# A free port; a port taken meanwhile makes the server end, and another is tried.
port=""
for attempt in 1 2 3 4 5 6 7 8; do
  candidate=$(free_port) || break
  export PELLICK_TEST_PORT=$candidate
  if [ "$platform" = wine ]; then
    win "$server" >"$run/server.out" 2>&1 &
    server_pid=$!
    if win "$probe" wait 60 && server_alive; then port=$candidate; break; fi
  else
    "$server" --print --stats-file "$run/stats" >"$run/server.out" 2>&1 &
    server_pid=$!
    # Listening once it shows its first status (probing the port would count as a client).
    if wait_for 20 grep -q '^Render Status' "$run/server.out" && server_alive; then port=$candidate; break; fi
  fi
  kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; server_pid=""
done
[ -n "$port" ] || { echo "the status server did not start"; cat "$run/server.out"; exit 1; }
echo "status server on port $port"

for node_args in "${nodes[@]}"; do
  read -r node scene first last passes frames <<<"$node_args"
  args=(--node "$node" --server 127.0.0.1 --scene-name "$scene" --scene-file "$(native "$run/$scene.scn")"
        --first "$first" --last "$last" --passes "$passes" --frames "$frames" --pass-ms 40 --jitter 25
        --evaluates 200 --hold-file "$(native "$release")" --hold-ms 600000)
  if [ "$platform" = wine ]; then
    win "$hostsim" --plugin "$(native "$plugin")" "${args[@]}" >"$run/node$node.out" 2>&1 &
  else
    "$hostsim" --plugin "$plugin" "${args[@]}" >"$run/node$node.out" 2>&1 &
  fi
  node_pids+=($!)
done

# The per-CPU rows of the HTML file as "cpu job frame passes" lines, sorted.
html_rows() {
  [ -f "$html" ] || return 0
  grep -o '<tr><td>[0-9]*</td><td>[0-9]*</td><td>-\?[0-9]*</td><td>[0-9]*</td>' "$html" |
    sed -e 's/<tr><td>//' -e 's#</td><td># #g' -e 's#</td>##' | sort -n
}
final_state() { [ "$(html_rows)" = "$expected_rows" ]; }
if ! wait_for 120 final_state; then
  fail "the HTML never showed the six nodes' final state"
  echo "rows:"; html_rows
fi

contains() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }
job_table() {  # job title, cpus, passes
  printf '<tr><td colspan=2>%s</td></tr><tr><td>CPUs</td><td>%s</td></tr><tr><td>Passes Rendered</td><td>%s</td></tr><tr><td>Total Passes</td><td>%s</td></tr><tr><td>Percent Complete</td><td>100.000000%%</td></tr>' "$1" "$2" "$3" "$3"
}
contains "$html" "$(job_table 'Job 1 Stats' 3 24)"
contains "$html" "$(job_table 'Job 2 Stats' 3 27)"
contains "$html" '<tr><td colspan=2>Overall Stats</td></tr><tr><td>CPUs</td><td>6</td></tr>'

# The window's fields: Active CPUs, Passes Rendered, Total Passes, Percent Complete. They are
# set right after the HTML file is written, so they are polled too.
want_fields=("6" "51" "51" "100.000000%")
labels=("Active CPUs" "Passes Rendered" "Total Passes" "Percent Complete")
read_fields() {  # one value per line, in the order of labels
  if [ "$platform" = wine ]; then
    win "$probe" fields 2>/dev/null | tr -d '\r' | sed -n 's/^100[0-3]=//p'
  else
    awk '/^Render Status$/ { block = "" } { block = block $0 "\n" } END { printf "%s", block }' "$run/server.out" |
      sed -n -E 's/^(Active CPUs|Passes Rendered|Total Passes|Percent Complete): +//p'
  fi
}
fields_match() { [ "$(read_fields)" = "$(printf '%s\n' "${want_fields[@]}")" ]; }
if ! wait_for 20 fields_match; then
  mapfile -t have < <(read_fields)
  for i in "${!labels[@]}"; do
    [ "${have[$i]:-}" = "${want_fields[$i]}" ] || fail "${labels[$i]}: want ${want_fields[$i]}, have '${have[$i]:-}'"
  done
fi
if [ "$platform" = linux ]; then
  six_clients() { grep -qx "clients=6" "$run/stats"; }
  wait_for 20 six_clients || fail "stats: want clients=6, have $(grep clients= "$run/stats")"
fi

# The nodes end their runs; the server loses every client.
: >"$release"
for i in "${!node_pids[@]}"; do
  wait "${node_pids[$i]}" || fail "node $((i + 1)) ended with status $? ($(cat "$run/node$((i + 1)).out"))"
done
node_pids=()
no_render() { grep -qF '<tr><td>No render in progress</td></tr>' "$html"; }
wait_for 60 no_render || fail "the HTML still shows a render after the nodes ended"

if [ "$platform" = wine ]; then
  win "$probe" close 60 || fail "the Render Status window did not close"
  wait "$server_pid"; status=$?; server_pid=""
  [ $status -eq 0 ] || fail "pellicksrv.exe ended with status $status"
else
  kill -TERM "$server_pid"
  wait "$server_pid"; status=$?; server_pid=""
  [ $status -eq 0 ] || fail "pellicksrv ended with status $status"
  server_stat() { stat_value "$run/stats" "$1"; }
  [ "$(server_stat state)" = stopped ] || fail "stats: state is $(server_stat state)"
  [ "$(server_stat connections)" = 6 ] || fail "stats: want 6 connections, have $(server_stat connections)"
  [ "$(server_stat clients)" = 0 ] || fail "stats: want 0 clients, have $(server_stat clients)"
  [ "$(server_stat messagesRejected)" = 0 ] || fail "stats: $(server_stat messagesRejected) messages rejected"
  # One message at each start and one per pass (51), unless the sender merged some.
  accepted=$(server_stat messagesAccepted)
  { [ "${accepted:-0}" -ge 12 ] && [ "${accepted:-0}" -le 57 ]; } || fail "stats: $accepted messages accepted, want 12 to 57"
  echo "messages accepted: $accepted of 57 sent at most"
fi
no_render || fail "the HTML does not say No render in progress after the stop"

if [ $failures -ne 0 ]; then
  echo "--- server output (tail)"; tail -25 "$run/server.out"
  exit 1
fi
echo "end to end: 2 jobs on 6 render nodes reported and shown as rendered"
