#!/usr/bin/env bash
# A history folder whose disk fills up (a small tmpfs, filled before the start and during a run): history turns off with one clear line, the server runs on, and what was stored stays a valid database.
# usage: history_disk_full.sh PELLICKSRV STATUS_SENDER WORK   (needs root and tmpfs mounts; skips with 77 otherwise)
set -uo pipefail
srv=$1 sender=$2 work=$3
. "$(dirname "$0")/../tools/lib.sh"
rm -rf "$work" && mkdir -p "$work/mnt" "$work/config" || exit 1
mount -t tmpfs -o size=256k tmpfs "$work/mnt" 2>/dev/null || { echo "skipped: no tmpfs mount here"; exit 77; }
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  umount "$work/mnt" 2>/dev/null
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
fill() { dd if=/dev/zero of="$work/mnt/fill" bs=4k count=100 2>/dev/null; }
runs() { curl -sf -m 5 "http://127.0.0.1:$http_port/history.json" | jq -c '[.stored, (.runs | length)]'; }

# case: when the disk fills; the runs /history.json must then show (stored?, count)
for when in before during; do
  rm -f "$work/mnt"/*
  status_port=$(free_port) && http_port=$(free_port) || { echo "no free ports"; exit 1; }
  [ "$when" = before ] && fill
  XDG_CONFIG_HOME=$work/config PELLICK_TEST_PORT=$status_port PELLICK_TEST_HTTP_PORT=$http_port \
    PELLICK_TEST_HISTORY=$work/mnt/history.sqlite3 "$srv" >"$work/out" 2>"$work/err" </dev/null &
  server_pid=$!
  wait_for 30 curl -sf -m 2 -o /dev/null "http://127.0.0.1:$http_port/status.json" || { fail "$when: no dashboard"; continue; }
  {
    for i in $(seq 1 10); do echo "send cpu=$i scene=first$i done=10 total=10 recent=1"; done
    sleep 7  # the first runs are written
    [ "$when" = during ] && fill
    for i in $(seq 11 60); do echo "send cpu=$i scene=second$i file=/scenes/$(printf '%0200d' 0) done=10 total=10 recent=1"; done
    sleep 7
  } | "$sender" "$status_port" >/dev/null 2>&1
  grep -q "history off: .*database or disk is full" "$work/err" || fail "$when: no clear line: $(cat "$work/err")"
  [ "$(runs)" = '[false,60]' ] || fail "$when: /history.json shows $(runs), not the 60 runs kept in memory"
  kill "$server_pid"; wait "$server_pid"; code=$?; server_pid=""
  [ $code -eq 0 ] || fail "$when: the server ended with $code"
  rm -f "$work/mnt/fill"
  if [ "$when" = during ]; then
    check=$(sqlite3 "$work/mnt/history.sqlite3" "PRAGMA integrity_check; SELECT count(*) FROM runs;" 2>&1 | tr '\n' ' ')
    [ "$check" = "ok 10 " ] || fail "during: the file after the disk filled: $check"
  fi
done
[ $failures -eq 0 ] && echo "history on a full disk: all checks passed"
exit $((failures > 0))
