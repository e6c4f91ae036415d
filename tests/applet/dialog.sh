#!/bin/bash
# Runs the applet driver under Wine on a virtual display of its own, then stops the display.
# Usage: dialog.sh DRIVER.exe APPLET.cpl   (DULVEX_WINE from CTest; DIALOG_DISPLAY default :97)
set -u
driver=$1
cpl=$2
display=${DIALOG_DISPLAY:-:97}
number=${display#:}

if [ -e "/tmp/.X$number-lock" ]; then
    # Taken by another build's run: let the server choose a free number and report it.
    numfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$numfile" ] && break
        sleep 0.05
    done
    number=$(head -n1 "$numfile")
    rm -f "$numfile"
    if [ -z "$number" ]; then
        echo "FAIL: $display is taken and Xvfb found no free display"
        kill $xvfb 2>/dev/null
        exit 1
    fi
    display=:$number
else
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
fi
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null' EXIT
for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$number" ] && break
    sleep 0.05
done
if [ ! -e "/tmp/.X11-unix/X$number" ]; then
    echo "FAIL: Xvfb did not start on $display"
    exit 1
fi
export DISPLAY=$display

# Wine's desktop takes its display from the process that starts the prefix's session: other tests
# of the build's prefix may have started it without one. A copy of the prefix of this test's own
# starts its session here, on this display.
$DULVEX_WINE cmd /c exit </dev/null >/dev/null 2>&1
own_prefix=${DULVEX_BUILD:-$(dirname "$driver")}/applet-prefix
bash "$DULVEX_SOURCE/tools/wine/stop.sh" "$own_prefix"
rm -rf "$own_prefix"
cp -a "$WINEPREFIX" "$own_prefix"
export WINEPREFIX=$own_prefix
DULVEX_WINE="bash $DULVEX_SOURCE/tools/wine/run.sh $own_prefix"
trap 'bash "$DULVEX_SOURCE/tools/wine/stop.sh" "$own_prefix"; rm -rf "$own_prefix" "$own_prefix.lock"; kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null' EXIT
[ -n "${DULVEX_SRV_UNIX:-}" ] && export DULVEX_SRV="Z:${DULVEX_SRV_UNIX//\//\\}"
$DULVEX_WINE "$driver" "Z:${cpl//\//\\}"
