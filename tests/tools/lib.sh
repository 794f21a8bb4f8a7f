# Shell helpers of the load tool tests and the load benchmark: free ports, polling, counters, CPU time.

# Polls a command until it succeeds or the seconds pass.
wait_for() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  while ! "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# A port nobody listens on, below the ephemeral range where outgoing connections cannot hold it.
free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 12000))
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  return 1
}

# The value of key in a key=value file (pellicksrv's --stats-file, loadgen's output).
stat_value() { sed -n "s/^$2=//p" "$1" 2>/dev/null | tail -1; }

# CPU time of process pid so far, in clock ticks (user + system).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }

# Starts a listening program on a free port: start_listener STATS_FILE COMMAND...
# The command runs with PORT set; the listener counts as up once it wrote its stats
# file. Sets listener_pid and listener_port; a port taken meanwhile is retried.
start_listener() {
  local stats=$1; shift
  local attempt candidate
  listener_pid="" listener_port=""
  for attempt in 1 2 3 4 5 6 7 8; do
    candidate=$((20000 + RANDOM % 12000))  # below the ephemeral ports (32768 up) that other tests' connections take
    port_in_use "$candidate" && continue
    rm -f "$stats"
    PORT=$candidate "$@" &
    listener_pid=$!
    if wait_for 20 test -s "$stats" && kill -0 "$listener_pid" 2>/dev/null; then
      listener_port=$candidate
      return 0
    fi
    kill "$listener_pid" 2>/dev/null; wait "$listener_pid" 2>/dev/null; listener_pid=""
  done
  return 1
}

stop_listener() {
  [ -n "${listener_pid:-}" ] || return 0
  kill -TERM "$listener_pid" 2>/dev/null
  wait "$listener_pid" 2>/dev/null
  listener_pid=""
}
