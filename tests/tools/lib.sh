# Shell helpers of the test and bench scripts: polling, free ports, failed checks, stats-file values, CPU time, listeners, a private Xvfb display and a status_sender fed through a fifo.

# Counts a failed check and says which on standard error; a script that wants otherwise defines its own.
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

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
# A port nobody listens on and not among the ports given (those the script took but has not opened
# yet), below the ephemeral ports (32768 up) that other tests' connections take: free_port [TAKEN...].
free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 12000))
    [[ " $* " == *" $p "* ]] && continue
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  return 1
}
# Sets the variable named VAR to a free port that no earlier take_port call gave: take_port VAR.
ports_taken=""
take_port() {
  local port
  port=$(free_port $ports_taken) || return 1
  ports_taken+=" $port"
  printf -v "$1" %s "$port"
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
    candidate=$(free_port) || return 1
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

# Starts a private Xvfb on the first free display of FIRST..LAST: start_xvfb LOGFILE [FIRST LAST]
# (default 231..299; scripts that may run at the same time use separate ranges). A display taken
# meanwhile makes Xvfb fail, and the next one is tried. Sets xvfb_pid, which the caller's cleanup
# kills, and exports DISPLAY.
start_xvfb() {
  local log=$1 first=${2:-231} last=${3:-299} n
  xvfb_pid=""
  for n in $(seq "$first" "$last"); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 >"$log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do  # up to 10 s
      kill -0 "$xvfb_pid" 2>/dev/null || break
      [ -S "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
      sleep 0.1
    done
    kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=""
  done
  echo "no free X display for Xvfb" >&2
  return 1
}

# Starts a status_sender that reads its commands from a fifo, which this shell holds open as
# descriptor 7: start_sender FIFO LOGFILE COMMAND... Sets sender_pid.
start_sender() {
  local fifo=$1; shift
  sender_log=$1; shift
  sender_gone=0
  mkfifo "$fifo" || return 1
  "$@" <"$fifo" >"$sender_log" 2>&1 &
  sender_pid=$!
  exec 7>"$fifo"
}

# Sends one line to the sender: feed WORD... A sender that ended makes the write fail instead of
# ending the script with SIGPIPE, and counts as one failure that shows the sender's output.
feed() {
  [ "$sender_gone" -eq 0 ] || return 1
  local sent=0
  trap '' PIPE
  echo "$*" >&7 2>/dev/null && sent=1
  trap - PIPE
  [ $sent -eq 1 ] && return 0
  sender_gone=1
  fail "the sender has ended: $(cat "$sender_log")"
  return 1
}

# Closes the sender's input, which ends it, and waits for it.
stop_sender() {
  exec 7>&-
  [ -n "${sender_pid:-}" ] && wait "$sender_pid" 2>/dev/null
  sender_pid=""
}
