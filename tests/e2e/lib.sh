#!/bin/bash
# Shared set-up of the end-to-end tests: the terminal's namespace with termsim playing the
# terminal, DulvexSrv.exe under Wine in the build's prefix, dulvex-client.exe as the pipe client.
# Needs DULVEX_BUILD, DULVEX_SOURCE, WINEPREFIX and DULVEX_WINE (set by CTest), root (namespaces).
set -u

E2E_WORK=$(mktemp -d /tmp/dulvex-e2e.XXXXXX)
SRV=$DULVEX_BUILD/service/host/DulvexSrv.exe
CLIENT=$DULVEX_BUILD/tools/client/dulvex-client.exe
TERMSIM=${DULVEX_TERMSIM:-$DULVEX_SOURCE/build/native/tools/termsim/termsim}
NETNS=$DULVEX_SOURCE/scripts/netns.sh
TMUX_SESSION=dulvex-e2e-$$
TERMSIM_PID=
source "$DULVEX_SOURCE/tests/shell_lib.sh"

expect_grep() {  # file, fixed text, description
    if grep -qF -- "$2" "$1"; then pass "$3"; else fail "$3 (no '$2' in $(basename "$1"))"; fi
}

wine_quiet() { $DULVEX_WINE "$@" </dev/null >/dev/null 2>&1; }

PRIVATE_PREFIX=

# Moves this test to a copy of the build's prefix, so that what it registers with the service
# manager, and the restarts of that prefix's wineserver, touch no other test.
e2e_private_prefix() {
    wine_quiet cmd /c exit  # the template exists and its registry is on disk
    PRIVATE_PREFIX=$DULVEX_BUILD/e2e-prefix-$1
    bash "$DULVEX_SOURCE/tools/wine/stop.sh" "$PRIVATE_PREFIX"
    rm -rf "$PRIVATE_PREFIX"
    cp -a "$WINEPREFIX" "$PRIVATE_PREFIX"
    export WINEPREFIX=$PRIVATE_PREFIX
    DULVEX_WINE="bash $DULVEX_SOURCE/tools/wine/run.sh $PRIVATE_PREFIX"
}

# Wine's service manager reads the service database when its wineserver starts.
e2e_restart_wine() {
    bash "$DULVEX_SOURCE/tools/wine/stop.sh" "$WINEPREFIX"
    WINEPREFIX=$WINEPREFIX wineserver -w 2>/dev/null
}

e2e_cleanup() {
    tmux kill-session -t "$TMUX_SESSION" 2>/dev/null
    [ -n "$TERMSIM_PID" ] && kill "$TERMSIM_PID" 2>/dev/null && wait "$TERMSIM_PID" 2>/dev/null
    # A service left registered would start again with the next wineserver of this prefix.
    wine_quiet "$SRV" -remove
    if [ -n "$PRIVATE_PREFIX" ]; then
        bash "$DULVEX_SOURCE/tools/wine/stop.sh" "$PRIVATE_PREFIX"
        rm -rf "$PRIVATE_PREFIX" "$PRIVATE_PREFIX.lock"
    fi
    # Only the holder of the use lock may take the namespace down: a run that never got the lock
    # (still queued when it was stopped) would tear it down under the run that holds it.
    [ -n "${E2E_LOCKED:-}" ] && bash "$NETNS" down
    if [ "$FAILURES" -ne 0 ]; then
        for f in "$E2E_WORK"/*.log "$E2E_WORK"/*.out; do
            [ -f "$f" ] || continue
            echo "----- $(basename "$f") (last 60 lines)"
            tail -60 "$f"
        done
    fi
    rm -rf "$E2E_WORK"
}
trap e2e_cleanup EXIT

# One user of the terminal's namespace and its UDP ports at a time, across build trees.
e2e_lock() {
    exec 8>/run/lock/dulvex-netns-use.lock
    flock -w 1800 8 || { echo "the terminal's namespace stayed busy"; exit 1; }
    E2E_LOCKED=1
}

e2e_require() {
    e2e_lock
    local f
    for f in "$SRV" "$CLIENT" "$TERMSIM"; do
        [ -e "$f" ] || { echo "missing $f (build the native and win64 presets first)"; exit 1; }
    done
    command -v tmux >/dev/null || { echo "tmux is missing"; exit 1; }
}

# Configures the prefix for a terminal at $1 and makes the capture log's debug directory.
e2e_configure() {
    wine_quiet reg add 'HKLM\Software\Varnok\PaymentTermService' /v Addr /t REG_SZ /d "$1" /f
    mkdir -p "$WINEPREFIX/drive_c/VarnokPaymentTerminalServiceDebug"
    rm -f "$WINEPREFIX"/drive_c/VarnokPaymentTerminalServiceDebug/*.log
}

# Starts termsim inside the terminal's namespace with the given options; waits until it is ready.
e2e_termsim() {
    bash "$NETNS" up || { echo "cannot create the terminal's namespace"; exit 1; }
    bash "$NETNS" exec "$TERMSIM" --log="$E2E_WORK/termsim.log" "$@" >"$E2E_WORK/termsim.out" 2>&1 &
    TERMSIM_PID=$!
    local i
    for i in $(seq 1 50); do
        grep -q '^ready' "$E2E_WORK/termsim.out" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "termsim did not get ready"
    cat "$E2E_WORK/termsim.out"
    exit 1
}

# Ends termsim and waits for its summary.
e2e_termsim_stop() {
    [ -n "$TERMSIM_PID" ] || return
    kill -INT "$TERMSIM_PID" 2>/dev/null
    wait "$TERMSIM_PID" 2>/dev/null
    TERMSIM_PID=
}

# Runs DulvexSrv.exe -debug in a tmux console (Ctrl+C and keys reach it there), tracing to
# $E2E_WORK/trace.log; the exit code lands in $E2E_WORK/srv.rc. Its output goes to
# $E2E_WORK/console.out, or with E2E_SCREEN=1 to the console's screen (tmux capture-pane).
e2e_console_start() {
    local out=">$E2E_WORK/console.out 2>&1"
    [ "${E2E_SCREEN:-0}" = 1 ] && out=
    rm -f "$E2E_WORK/srv.rc"
    tmux new-session -d -s "$TMUX_SESSION" -x 160 -y 50 8>&- \
        "$DULVEX_WINE $SRV -debug '-logfile=$(winpath "$E2E_WORK/trace.log")' $* $out; echo \$? >$E2E_WORK/srv.rc"
    # The pipe is served once the start-up echo went out; "Done" means start-up failed.
    e2e_wait_trace "'Petro': TerminalSend\\|Done -> " 30
    if ! grep -q "'Petro': TerminalSend" "$E2E_WORK/trace.log" 2>/dev/null; then
        fail "the service did not start"
        return 1
    fi
}

# Waits until the trace holds a line matching the basic regular expression $1 (at most $2 s).
e2e_wait_trace() {
    local i
    for i in $(seq 1 $(( ${2:-10} * 10 ))); do
        grep -q -- "$1" "$E2E_WORK/trace.log" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Sends Ctrl+C to the console and waits for the program's exit (at most 20 s); prints the code.
e2e_console_stop() {
    tmux send-keys -t "$TMUX_SESSION" C-c
    # After the bridge's end, console mode waits for one character before the process exits.
    e2e_wait_trace "Done -> " 20 && tmux send-keys -t "$TMUX_SESSION" Enter
    local i
    for i in $(seq 1 200); do
        [ -s "$E2E_WORK/srv.rc" ] && { cat "$E2E_WORK/srv.rc"; return 0; }
        sleep 0.1
    done
    echo timeout
}

client() { $DULVEX_WINE "$CLIENT" "$@" </dev/null 2>>"$E2E_WORK/client.err"; }
