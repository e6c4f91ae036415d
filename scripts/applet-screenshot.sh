#!/bin/bash
# Takes a picture of the applet's dialog under Wine on a private virtual display and writes it
# cropped to the dialog, while the service runs as in the demo (scripts/demo.sh): DulvexSrv.exe
# in console mode, termsim in the terminal's namespace playing every application but Fleet, so
# that the link lines show answering applications and one that does not answer.
#
# Usage: scripts/applet-screenshot.sh [BUILD_DIR [OUTPUT.png]]
#   BUILD_DIR  a win64 build tree holding applet/DulvexCpl.cpl (default build/win64)
#   OUTPUT     default docs/applet.png
# Environment: SHOT_DISPLAY (default :96), the X display number to start Xvfb on.
# Needs Xvfb, Wine, ImageMagick (import, convert), tmux, root (the namespace) and the native
# build's termsim. Uses the build tree's own Wine prefix.
set -eu
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build/win64}" && pwd)
out=${2:-$source_dir/docs/applet.png}
cpl=$build/applet/DulvexCpl.cpl
srv=$build/service/host/DulvexSrv.exe
termsim=$source_dir/build/native/tools/termsim/termsim
display=${SHOT_DISPLAY:-:96}
run="$source_dir/tools/wine/run.sh $build/wineprefix"

for f in "$cpl" "$srv" "$termsim"; do
    if [ ! -f "$f" ]; then
        echo "applet-screenshot: $f not found; build the win64 and native trees first" >&2
        exit 1
    fi
done
if [ -e "/tmp/.X${display#:}-lock" ]; then
    echo "applet-screenshot: display $display is in use; set SHOT_DISPLAY" >&2
    exit 1
fi

work=$(mktemp -d /tmp/dulvex-shot.XXXXXX)
session=dulvex-shot-$$
xvfb=
applet=
termsim_pid=
locked=
cleanup() {
    set +e
    [ -n "$applet" ] && kill "$applet" 2>/dev/null
    if tmux has-session -t "$session" 2>/dev/null; then
        tmux send-keys -t "$session" C-c
        for _ in $(seq 50); do grep -q "Done -> " "$work/trace.log" 2>/dev/null && break; sleep 0.1; done
        tmux send-keys -t "$session" Enter
        sleep 0.5
        tmux kill-session -t "$session" 2>/dev/null
    fi
    [ -n "$termsim_pid" ] && kill "$termsim_pid" 2>/dev/null
    [ -n "$locked" ] && bash "$source_dir/scripts/netns.sh" down
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The demo's terminal and service; one user of the namespace at a time, as the tests take it.
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "applet-screenshot: the terminal's namespace stayed busy" >&2; exit 1; }
locked=1
bash "$source_dir/scripts/netns.sh" up
$run reg add 'HKLM\Software\Varnok\PaymentTermService' /v Addr /t REG_SZ /d 198.18.0.2 /f </dev/null >/dev/null 2>&1 8>&-
bash "$source_dir/scripts/netns.sh" exec "$termsim" --apps=Master,MBCA,Maint,Petro >"$work/termsim.out" 2>&1 8>&- &
termsim_pid=$!
for _ in $(seq 50); do grep -q '^ready' "$work/termsim.out" 2>/dev/null && break; sleep 0.1; done
tmux new-session -d -s "$session" -x 160 -y 50 8>&- \
    "bash '$source_dir/tools/wine/run.sh' '$build/wineprefix' '$srv' -debug '-logfile=Z:${work//\//\\}\\trace.log'"
for _ in $(seq 300); do grep -q "'Petro': TerminalSend\|Done -> " "$work/trace.log" 2>/dev/null && break; sleep 0.1; done
# Fleet's start-up echo is given up after three retransmissions of 750 ms.
for _ in $(seq 100); do grep -q "'Fleet': TerminalTime - aborted" "$work/trace.log" 2>/dev/null && break; sleep 0.1; done
grep -q "'Fleet': TerminalTime - aborted" "$work/trace.log" || { echo "applet-screenshot: the service did not run" >&2; exit 1; }

Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 8>&- &
xvfb=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
done
export DISPLAY=$display

# The Control Panel program opens the dialog of a library that holds one entry at once.
$run control.exe "Z:${cpl//\//\\}" >/dev/null 2>&1 </dev/null 8>&- &
applet=$!
# Wait for the dialog's window to appear (a cold prefix takes seconds), then for one state
# refresh to have run.
shown=0
for _ in $(seq 300); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Varnok Payment Terminal Service Configuration"' && { shown=1; break; }
    sleep 0.1
done
[ "$shown" -eq 1 ] || { echo "applet-screenshot: the applet's dialog did not appear in 30 s" >&2; exit 1; }
sleep 1

shot=$(mktemp --suffix=.png)
import -window root "$shot"
# Nothing but the dialog is drawn on the black root window: trimming leaves the dialog.
trimmed=$(mktemp --suffix=.png)
convert "$shot" -trim +repage "$trimmed"
rm -f "$shot"
# A root window with nothing drawn trims to one pixel: never leave that as the picture.
width=$(identify -format '%w' "$trimmed" 2>/dev/null || echo 0)
[ "${width:-0}" -ge 100 ] || { rm -f "$trimmed"; echo "applet-screenshot: the picture came out empty" >&2; exit 1; }
mv "$trimmed" "$out"
$run taskkill.exe /IM control.exe >/dev/null 2>&1 </dev/null || true
echo "applet-screenshot: wrote $out"
