#!/bin/bash
# Common ground of the reliability tests, on top of the end-to-end helpers: the machine-wide
# namespace lock, the suite's size (REL_MODE=ci or long), our pipe client, and value lookups in
# "key=value" summaries.
if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
    echo "reliability: needs root and iproute2 for the terminal's namespace: skipped"
    exit 77
fi
# One user of the namespace and the terminal's ports at a time, across build trees.
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "reliability: the namespace stayed busy"; exit 1; }

# termsim and the fault model's limits (fault_limit) from the native build named by
# DULVEX_NATIVE_BUILD, else build/rel-native, else the end-to-end tests' default (build/native).
for nb in ${DULVEX_NATIVE_BUILD:-} "$DULVEX_SOURCE/build/rel-native" "$DULVEX_SOURCE/build/native"; do
    [ -z "${DULVEX_TERMSIM:-}" ] && [ -x "$nb/tools/termsim/termsim" ] && DULVEX_TERMSIM=$nb/tools/termsim/termsim
    [ -z "${FAULT_LIMIT:-}" ] && [ -x "$nb/tests/reliability/fault_limit" ] && FAULT_LIMIT=$nb/tests/reliability/fault_limit
done
export DULVEX_TERMSIM
FAULT_LIMIT=${FAULT_LIMIT:-fault_limit}
# Time stamps on every verdict show where a slow run spends its time.
SHELL_LIB_STAMP=1
source "$DULVEX_SOURCE/tests/e2e/lib.sh"
REL_MODE=${REL_MODE:-ci}
REL_CLIENT=$DULVEX_BUILD/tests/reliability/rel_client.exe
[ -e "$REL_CLIENT" ] || { echo "missing $REL_CLIENT"; exit 1; }
[ -x "$FAULT_LIMIT" ] || { echo "missing $FAULT_LIMIT: build the native target fault_limit"; exit 1; }
e2e_require
# The service sends to the terminal's address from its start: the pair must exist before it does,
# or its datagrams would take the machine's default route.
bash "$NETNS" up || { echo "cannot create the terminal's namespace"; exit 1; }
bash "$NETNS" check || exit 1

# Runs our pipe client under Wine; its standard output is the summary.
rel_client() { $DULVEX_WINE "$REL_CLIENT" "$@" </dev/null 2>>"$E2E_WORK/client.err"; }

# value FILE LINE-PREFIX KEY: the value of KEY on the first line that starts with LINE-PREFIX.
value() {
    local v
    v=$(tr -d '\r' <"$1" | grep "^$2 " | head -1 | tr ' ' '\n' | sed -n "s/^$3=//p" | head -1)
    echo "${v:-0}"
}

# rule CONDITION-TEXT DESCRIPTION: evaluates an arithmetic condition, passes or fails.
rule() {
    if (( $1 )); then pass "$2"; else fail "$2 ($1)"; fi
}

# The well-behaved client after an abuse: one command to all five applications, five answers.
rel_check() {
    local out
    out=$(rel_client check --timeout 10000)
    if echo "$out" | grep -q '^check=ok'; then pass "$1: the next client is served ($out)"
    else fail "$1: the next client is not served: $out"; fi
}

# Lines of the service's trace from line $1 on that match $2 (fixed text).
trace_count_from() {
    tail -n +"$1" "$E2E_WORK/trace.log" 2>/dev/null | grep -cF -- "$2"
}

trace_lines() { wc -l <"$E2E_WORK/trace.log" 2>/dev/null || echo 0; }

# Stops the service (Ctrl+C in its console) and checks its orderly end.
rel_service_stop() {
    local rc
    rc=$(e2e_console_stop)
    [ "$rc" = 0 ] && pass "$1: the service ends in order" || fail "$1: the service's exit code is $rc"
}

# Is the service's process still there? (its console's tmux session ends with it)
rel_service_alive() {
    [ ! -s "$E2E_WORK/srv.rc" ] && tmux has-session -t "$TMUX_SESSION" 2>/dev/null
}

# kv TEXT KEY: the value of KEY in a line of "key=value" words.

# On failure the work folder (traces, termsim's log, the client's output) is kept for a look.
rel_cleanup() {
    if [ "$FAILURES" -ne 0 ] || [ "${REL_KEEP:-0}" = 1 ]; then
        local keep=/tmp/dulvex-rel-kept.$$
        cp -a "$E2E_WORK" "$keep" 2>/dev/null && echo "work folder kept: $keep"
    fi
    e2e_cleanup
}
trap rel_cleanup EXIT
