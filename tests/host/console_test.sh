#!/bin/bash
# Console debug mode in a real console (a tmux pane): Ctrl+C ends the bridge through the
# console control handler; keys reach the bridge folded, Escape by its virtual key; C clears
# the screen; the final wait takes one key; with standard input not a console nothing blocks.
# Usage: console_test.sh FAKE_EXE (a DulvexSrv built with the stand-in bridge)
set -u
source "$(dirname "$0")/lib.sh"
fake=$1
work=$(mktemp -d "${DULVEX_BUILD:-/tmp}/host-console.XXXXXX")
sock=$work/tmux-none

pane() { tmux -S "$sock" capture-pane -p -t main 2>/dev/null; }
cleanup() {
    local name
    for name in ctrlc keys; do tmux -S "$work/tmux-$name" kill-server 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# Runs the stand-in in a fresh pane; the exit code lands in $work/$name.exit. bash with a trap
# on INT (a handler, not an ignore, so Wine still gets its own SIGINT) outlives the Ctrl+C.
start_pane() { # name, arguments...
    local name=$1
    shift
    {
        echo "trap true INT"
        printf '%s ' $DULVEX_WINE
        printf '%q ' "$fake" "$@"
        printf '\necho EXIT=$? > %q\nsleep 600\n' "$work/$name.exit"
    } >"$work/$name.sh"
    # A server per pane: a new session on a server that is still going down can fail.
    tmux -S "$sock" kill-server 2>/dev/null
    sock=$work/tmux-$name
    tmux -S "$sock" new-session -d -s main -x 120 -y 30 "bash '$work/$name.sh'"
}

# --- Ctrl+C ------------------------------------------------------------------------------
log=$work/ctrlc.log
start_pane ctrlc -debug fakemode=wait fakeresult=-2 "fakelog=$(winpath "$log")"
check_cmd "bridge started in the console" wait_for "$log" "running" 60
tmux -S "$sock" send-keys -t main C-c
check_cmd "Ctrl+C ends the run" wait_for "$work/ctrlc.exit" "EXIT=" 30
check_cmd "exit code 0 whatever the bridge returned" grep -qx "EXIT=0" "$work/ctrlc.exit"
check_cmd "bridge saw the stop event and returned its own result" \
    diff <(grep -v '^argv\[0\]' "$log" | tr -d '\r') <(printf '%s\n' \
        "argc=5" "argv[1]=-debug" "argv[2]=fakemode=wait" "argv[3]=fakeresult=-2" \
        "argv[4]=fakelog=$(winpath "$log")" "console=1 event=1" "running" "stop event" \
        "return -2")
# The terminal echoes the ^C itself in front of the handler's line.
screen=$(pane)
check_cmd "console shows the run and the stop" \
    bash -c "grep -qx 'Debugging DulvexService.' <<<\"\$0\" && grep -qE '^(\\^C)?Stopping DulvexService\\.\$' <<<\"\$0\"" "$screen"
[ "$FAILURES" -eq 0 ] || echo "$screen"

# --- Keys --------------------------------------------------------------------------------
log=$work/keys.log
start_pane keys -debug fakemode=keys "fakelog=$(winpath "$log")"
check_cmd "key loop started" wait_for "$log" "running" 60
check_cmd "banner line on screen before clearing" bash -c "grep -qx 'Debugging DulvexService.' <<<\"\$0\"" "$(pane)"
tmux -S "$sock" send-keys -t main a x P
check_cmd "letters arrive folded" wait_for "$log" "key 50" 20
tmux -S "$sock" send-keys -t main c
check_cmd "C arrives" wait_for "$log" "key 43" 20
sleep 0.5
check_cmd "C cleared the screen" bash -c "! grep -q 'Debugging' <<<\"\$0\"" "$(pane)"
tmux -S "$sock" send-keys -t main Escape
check_cmd "Escape ends the key loop" wait_for "$log" "keys done" 20
sleep 1
check_cmd "the final wait holds the program" test ! -e "$work/keys.exit"
tmux -S "$sock" send-keys -t main q
check_cmd "one key ends the final wait" wait_for "$work/keys.exit" "EXIT=0" 20
check_cmd "keys recorded exactly" \
    diff <(sed -n '/^running/,$p' "$log" | tr -d '\r') <(printf '%s\n' \
        "running" "key 41" "key 58" "key 50" "key 43" "key 1B" "keys done" "waited" "return 0")

# --- No console on standard input ---------------------------------------------------------
log=$work/nocon.log
$DULVEX_WINE "$fake" -debug fakemode=keys fakepasses=10 "fakelog=$(winpath "$log")" </dev/null >"$work/nocon.out" 2>&1
check_cmd "exit code 0 without a console" test $? -eq 0
check_cmd "no key read and no wait without a console" \
    diff <(sed -n '/^running/,$p' "$log" | tr -d '\r') <(printf '%s\n' \
        "running" "keys done" "waited" "return 0")

echo "$FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
