#!/usr/bin/env bash
# Forecast benchmark: four hostsim render nodes per frame-cost profile (constant, ramp:1-3, ramp:3-1, a spike) report to one pellicksrv; then prints, from /history.json, each run's forecast error ratio at 10, 25, 50, 75 and 90 % done.
# usage: bench/forecast.sh [BUILD_DIR] [SECONDS]   (default build/linux, about 40 s of rendering per run)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
seconds=${2:-40}
. "$root/tests/tools/lib.sh"
srv=$build/server/pellicksrv sim=$build/hostsim/hostsim plugin=$build/plugin/PellickTest.so
for p in "$srv" "$sim" "$plugin"; do
  [ -e "$p" ] || { echo "forecast bench: $p is not built" >&2; exit 1; }
done
command -v jq >/dev/null || { echo "forecast bench: needs jq" >&2; exit 1; }
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 5 ] || { echo "forecast bench: SECONDS must be 5 or more" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/pellick-forecast.XXXXXX") || exit 1
srv_pid="" sim_pids=()
trap 'kill "${sim_pids[@]}" "$srv_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# The scene: 40 frames of one pass, a quarter to each node; spike at frame 15, 8 times slower.
first=1 last=40 nodes=4
profiles=(constant ramp:1-3 ramp:3-1 spike:15:8)
# The mean factor of a profile over the frames, so every run renders about SECONDS.
mean_factor() {
  case "$1" in
    constant) echo 1 ;;
    ramp:*) local r=${1#ramp:}; awk -v a="${r%-*}" -v b="${r#*-}" 'BEGIN { print (a + b) / 2 }' ;;
    spike:*) local r=${1#spike:}; awk -v x="${r#*:}" -v n=$((last - first + 1)) 'BEGIN { print (n - 1 + x) / n }' ;;
  esac
}
scene_of() { echo "forecast-${1//:/-}"; }

# Every state the server keeps (settings, token, history) lives in the work folder.
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state
take_port status_port && take_port http_port || { echo "forecast bench: no free ports" >&2; exit 1; }
export PELLICK_TEST_PORT=$status_port PELLICK_TEST_HTTP_PORT=$http_port
base=http://127.0.0.1:$http_port
"$srv" </dev/null >"$work/server.out" 2>&1 &
srv_pid=$!
up() { curl -sf -o /dev/null "$base/status.json"; }
wait_for 30 up || { echo "forecast bench: pellicksrv did not start" >&2; cat "$work/server.out" >&2; exit 1; }

# All runs at once: the nodes sleep through their passes, so they do not compete for the CPUs.
per_node=$(((last - first + 1) / nodes))
for profile in "${profiles[@]}"; do
  pass_ms=$(awk -v s="$seconds" -v f="$per_node" -v m="$(mean_factor "$profile")" 'BEGIN { printf "%d", s * 1000 / f / m }')
  for node in $(seq "$nodes"); do
    from=$((first + (node - 1) * per_node))
    "$sim" --plugin "$plugin" --server 127.0.0.1 --node "$node" --scene-name "$(scene_of "$profile")" \
      --first "$first" --last "$last" --frames "$from-$((from + per_node - 1))" --passes 1 \
      --pass-ms "$pass_ms" --jitter 10 --seed "$node" --cost "$profile" --quiet \
      >"$work/$(scene_of "$profile")-$node.log" 2>&1 &
    sim_pids+=($!)
  done
done
echo "forecast bench: ${#profiles[@]} runs of $nodes nodes, about $seconds s each (frames $first-$last, one pass each)"
failed=0
for pid in "${sim_pids[@]}"; do wait "$pid" || failed=1; done
sim_pids=()
[ $failed -eq 0 ] || { echo "forecast bench: a hostsim node failed:" >&2; cat "$work"/*.log >&2; exit 1; }

# /history.json: runs[], newest first, each with forecasts [{percent, at, predictedCompletion, errorRatio}].
history() { curl -sf -o "$work/history.json" "$base/history.json"; }
if ! history; then
  echo "forecast bench: pellicksrv serves no /history.json (HTTP $(curl -s -o /dev/null -w '%{http_code}' "$base/history.json")); nothing to compare" >&2
  exit 3
fi
# A run's scene name, where the entry keeps it.
run_of() { jq -c --arg n "$1" '[.runs[] | select((.sceneName // .job.sceneName // .scene // "") == $n)][0] // empty' "$work/history.json"; }
all_ended() {
  history || return 1
  local profile
  for profile in "${profiles[@]}"; do [ -n "$(run_of "$(scene_of "$profile")")" ] || return 1; done
}
wait_for 30 all_ended || echo "forecast bench: not every run is in /history.json yet; printing what is" >&2

percents=(10 25 50 75 90)
printf '%-12s' "profile"
for p in "${percents[@]}"; do printf '%9s' "$p%"; done
printf '\n'
for profile in "${profiles[@]}"; do
  run=$(run_of "$(scene_of "$profile")")
  printf '%-12s' "$profile"
  for p in "${percents[@]}"; do
    ratio=""
    [ -n "$run" ] && ratio=$(jq -r --argjson p "$p" \
      '[.forecasts[]? | select(.percent == $p) | .errorRatio][0] // empty | if type == "number" then (. * 1000 | round / 1000) else . end' <<<"$run")
    printf '%9s' "${ratio:--}"
  done
  printf '\n'
done
echo "(error ratio: how far the completion forecast at that point was off, as /history.json defines it; - none)"
