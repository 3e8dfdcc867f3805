#!/bin/sh
# Runs the dialog driver under Wine on a private virtual display, and takes
# screenshots of that display when the driver asks for them (it creates
# <name>.request in the artefact folder and waits for <name>.done).
# Usage: run_dialog_e2e.sh <wine-run.sh> <driver.exe> <artefact folder>
set -u
wine_run=$1
driver=$2
artifacts=$3
mkdir -p "$artifacts"
rm -f "$artifacts"/*.request "$artifacts"/*.done

work=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
watcher=""
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

i=0
while [ ! -s "$work/display" ] && [ $i -lt 100 ]; do
  sleep 0.1
  i=$((i + 1))
done
if [ ! -s "$work/display" ]; then
  echo "Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY
export DRAVOLIN_SCREENSHOT_DIR="$artifacts"
# No window manager runs on this display: without one, the X server's focus
# changes as windows close reach Wine late and can deactivate the program
# under test. In a desktop window of Wine's own, focus and activation follow
# the Windows rules only.
export DRAVOLIN_WINE_DESKTOP=1024x768

(
  while :; do
    for request in "$artifacts"/*.request; do
      [ -f "$request" ] || continue
      name=${request%.request}
      rm -f "$request"
      xwd -root -silent | convert xwd:- "png:$name.png"
      touch "$name.done"
    done
    sleep 0.2
  done
) &
watcher=$!

"$wine_run" "$driver"
status=$?
# Let this prefix's Wine processes end while the display still exists.
if [ -n "${DRAVOLIN_WINEPREFIX:-}" ]; then
  WINEPREFIX="$DRAVOLIN_WINEPREFIX" timeout 30 wineserver -w
fi
exit $status
