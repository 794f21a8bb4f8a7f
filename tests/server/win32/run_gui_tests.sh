#!/usr/bin/env bash
# Runs the pellicksrv GUI driver under Wine on a private Xvfb display, taking the screenshots it asks for.
#
# usage: run_gui_tests.sh <wine-run> <driver.exe> <pellicksrv.exe> <work folder> <screenshot folder> [driver args]
# The work folder holds the test's own Wine prefix (its own registry and
# wineserver, so tests running beside it cannot disturb the settings) and
# the HTML files; screenshots land as PNG files in the screenshot folder.
set -u
if [ $# -lt 5 ]; then
  echo "usage: $0 <wine-run> <driver.exe> <pellicksrv.exe> <work folder> <screenshot folder> [driver args]" >&2
  exit 2
fi
wine_run=$1 driver=$2 server=$3 work=$4 shots=$5
shift 5
. "$(dirname "$0")/../../tools/lib.sh"

mkdir -p "$work/html" "$work/requests" "$shots" || exit 1
rm -f "$work/requests"/*

export PELLICK_WINEPREFIX="$work/wineprefix"
export PELLICK_GUI_SERVER="$server"
export PELLICK_GUI_WORK="$work/html"
export PELLICK_GUI_SHOTS="$work/requests"

xvfb_pid="" driver_pid=""
cleanup() {
  [ -n "$driver_pid" ] && kill "$driver_pid" 2>/dev/null
  WINEPREFIX="$PELLICK_WINEPREFIX" wineserver -k 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A free display from :91 upward (other Wine tests start at :161 and :231).
start_xvfb "$work/xvfb.log" 91 160 || { cat "$work/xvfb.log" >&2; exit 1; }
echo "Xvfb on $DISPLAY, Wine prefix $PELLICK_WINEPREFIX"

"$wine_run" "$driver" "$@" &
driver_pid=$!

# Serve screenshot requests until the driver ends: <name>.req holds the
# window's geometry; <name>.done tells the driver the picture is taken.
while kill -0 "$driver_pid" 2>/dev/null; do
  for req in "$work/requests"/*.req; do
    [ -e "$req" ] || continue
    name=$(basename "$req" .req)
    geometry=$(tr -d '\r\n' <"$req")
    if import -window root -crop "$geometry" +repage "$shots/$name.png" 2>>"$work/import.log"; then
      echo "screenshot $shots/$name.png"
    else
      echo "screenshot $name failed (see $work/import.log)" >&2
    fi
    rm -f "$req"
    : >"$work/requests/$name.done"
  done
  sleep 0.1
done
wait "$driver_pid"
status=$?
driver_pid=""
exit $status
