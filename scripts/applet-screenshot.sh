#!/bin/bash
# Takes a picture of the applet's dialog under Wine on a private virtual display and writes it
# cropped to the dialog.
#
# Usage: scripts/applet-screenshot.sh [BUILD_DIR [OUTPUT.png]]
#   BUILD_DIR  a win64 build tree holding applet/DulvexCpl.cpl (default build/win64)
#   OUTPUT     default docs/applet.png
# Environment: SHOT_DISPLAY (default :96), the X display number to start Xvfb on.
# Needs Xvfb, Wine and ImageMagick (import, convert). Uses the build tree's own Wine prefix.
set -eu
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build/win64}" && pwd)
out=${2:-$source_dir/docs/applet.png}
cpl=$build/applet/DulvexCpl.cpl
display=${SHOT_DISPLAY:-:96}
run="$source_dir/tools/wine/run.sh $build/wineprefix"

if [ ! -f "$cpl" ]; then
    echo "applet-screenshot: $cpl not found; build the win64 tree first" >&2
    exit 1
fi
if [ -e "/tmp/.X${display#:}-lock" ]; then
    echo "applet-screenshot: display $display is in use; set SHOT_DISPLAY" >&2
    exit 1
fi

Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
applet=
cleanup() {
    [ -n "$applet" ] && kill "$applet" 2>/dev/null
    kill "$xvfb" 2>/dev/null
    wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
done
export DISPLAY=$display

# The Control Panel program opens the dialog of a library that holds one entry at once.
$run control.exe "Z:${cpl//\//\\}" >/dev/null 2>&1 </dev/null &
applet=$!
# Wait for the dialog's window to appear, then for one state refresh to have run.
for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Varnok Payment Terminal Service Configuration"' && break
    sleep 0.1
done
sleep 1

shot=$(mktemp --suffix=.png)
import -window root "$shot"
# Nothing but the dialog is drawn on the black root window: trimming leaves the dialog.
convert "$shot" -trim +repage "$out"
rm -f "$shot"
$run taskkill.exe /IM control.exe >/dev/null 2>&1 </dev/null || true
echo "applet-screenshot: wrote $out"
