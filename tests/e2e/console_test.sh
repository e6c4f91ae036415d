#!/bin/bash
# DulvexSrv.exe -debug against termsim in the terminal's namespace, with dulvex-client.exe as the
# pipe client: the start-up echo, a packet to two applications and their responses, an echo
# request from Fleet answered by the service, capture records, a second copy refused, Ctrl+C
# and ESC; the keys A, P and C, and Ctrl+Break. The communication log of the first two runs:
# chosen by the option, then by the registry.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_configure 198.18.0.2

# ---- Phase 1: termsim answers every command; the service starts against it, its communication
# log named by the option and by the registry (the option wins), capped at 2 KB.
KEY='HKLM\Software\Varnok\PaymentTermService'
COMM=$E2E_WORK/comm.log
REGCOMM=$E2E_WORK/comm-reg.log
comm_values_off() { wine_quiet reg delete "$KEY" /v CommLog /f; wine_quiet reg delete "$KEY" /v CommLogMaxKB /f; }
trap 'comm_values_off; e2e_cleanup' EXIT
wine_quiet reg add "$KEY" /v CommLog /t REG_SZ /d "$(winpath "$REGCOMM")" /f
wine_quiet reg add "$KEY" /v CommLogMaxKB /t REG_DWORD /d 2 /f
e2e_termsim --reply=all
e2e_console_start "'-commlog=$(winpath "$COMM")'" || exit 1
sleep 1
# The echo request as a frame: host flag, number 0, length 3, command 0x0000, data 0x00.
for app in Master MBCA Maint Fleet Petro; do
    if grep -qE "^ *[0-9.]+ in +$app +len=7 +08 00 00 03 00 00 00 " "$E2E_WORK/termsim.log"; then
        pass "start-up echo reached $app"
    else
        fail "start-up echo on $app"
    fi
done

client send --mask 0x03 --cmd 0x1234 --data 4142 --wait 2 >"$E2E_WORK/send.out"
rc=$?
[ $rc -eq 0 ] && pass "client send exits 0" || fail "client send exit code $rc"
expect_grep "$E2E_WORK/send.out" "mask=0x01 cmd=0x9234 status=0x0000 len=2 data=4142" "Master's response reaches the client"
expect_grep "$E2E_WORK/send.out" "mask=0x02 cmd=0x9234 status=0x0000 len=2 data=4142" "MBCA's response reaches the client"
# The round trip in the communication log, which is written on the loop's 100 ms tick; at a 2 KB
# cap its lines may have just rolled over into comm.log.1.
sleep 0.5
cat "$COMM.1" "$COMM" 2>/dev/null | tr -d '\r' >"$E2E_WORK/comm-trip.txt"
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} [+-][0-9]{2}:[0-9]{2}'
for line in "client->svc mask=0x03 Master\|MBCA cmd=0x1234 status=- len=2 data=4142" \
        "svc->term Master data flags=HOST seq=0x[0-9a-f]{2} cmd=0x1234 status=- len=2 data=4142" \
        "term->svc Master ack flags=ACK seq=0x[0-9a-f]{2}" \
        "term->svc MBCA data flags=[A-Z|-]+ seq=0x[0-9a-f]{2} cmd=0x9234 status=0x0000 len=2 data=4142" \
        "svc->term MBCA ack flags=HOST\|ACK seq=0x[0-9a-f]{2}" \
        "svc->client mask=0x02 MBCA cmd=0x9234 status=0x0000 len=2 data=4142"; do
    grep -qE "$stamp $line\$" "$E2E_WORK/comm-trip.txt" && pass "communication log: $line" ||
        fail "communication log: no '$line'"
done
if grep -A2 'Got packet: App=03, Cmd=1234,Len=2' "$E2E_WORK/trace.log" | tr '\t' ' ' | tr '\n' '|' |
        grep -q 'use app 0 -> 1| *\[.*use app 1 -> 1'; then
    pass "mask 0x03 goes to Master, then MBCA"
else
    # the two lines may carry prefixes; check order by line numbers instead
    a=$(grep -n 'use app 0 -> 1' "$E2E_WORK/trace.log" | head -1 | cut -d: -f1)
    b=$(grep -n 'use app 1 -> 1' "$E2E_WORK/trace.log" | head -1 | cut -d: -f1)
    if [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]; then pass "mask 0x03 goes to Master, then MBCA"
    else fail "mask 0x03 goes to Master, then MBCA"; fi
fi

# Each application answers with its own bit.
client send --mask 0x1F --cmd 0x0042 --data 01 --wait 5 >"$E2E_WORK/all.out"
for m in 0x01 0x02 0x04 0x08 0x10; do
    expect_grep "$E2E_WORK/all.out" "mask=$m cmd=0x8042 status=0x0000 len=1 data=01" "response from application bit $m"
done

# Capture records land in the capture log.
client capture "e2e capture line" >/dev/null
client capture --stamp 1000.5 "old stamp" >/dev/null
sleep 0.5

# A second copy fails at the links: their ports are taken.
$DULVEX_WINE "$SRV" -debug -logfile="$(winpath "$E2E_WORK/second.log")" </dev/null >"$E2E_WORK/second.out" 2>&1
expect_grep "$E2E_WORK/second.log" "Done -> -3" "a second copy ends with -3"
expect_grep "$E2E_WORK/second.log" "' bind() '" "the second copy names bind() as the failing call"

rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "Ctrl+C ends console mode with exit code 0" || fail "Ctrl+C exit code: $rc"
expect_grep "$E2E_WORK/trace.log" "Got EVENT to stop" "the stop event ends the loop"
expect_grep "$E2E_WORK/trace.log" "Done -> 0" "orderly end"
[ -s "$COMM.1" ] && [ "$(stat -c %s "$COMM")" -lt 2400 ] && pass "the communication log rolled over at its cap" ||
    fail "communication log rollover: $(ls -l "$E2E_WORK"/comm*)"
expect_grep "$E2E_WORK/trace.log" "CommLog: $(winpath "$COMM") reached" "the trace names the rollover"
[ ! -e "$REGCOMM" ] && pass "the option's communication log wins over the registry's" ||
    fail "the registry's communication log was written beside the option's"
expect_grep "$E2E_WORK/console.out" "Stopping DulvexService." "Ctrl+C is announced"

capture=$(ls "$WINEPREFIX"/drive_c/VarnokPaymentTerminalServiceDebug/*.log 2>/dev/null | head -1)
if [ -n "$capture" ]; then
    cp "$capture" "$E2E_WORK/capture.log"
    expect_grep "$E2E_WORK/capture.log" "e2e capture line" "capture record in the capture log"
    expect_grep "$E2E_WORK/capture.log" "old stamp" "second capture record in the capture log"
else
    fail "no capture log in the debug directory"
fi
e2e_termsim_stop

# ---- Phase 2: the service runs first, so its start-up echo meets no terminal (port
# unreachable); termsim comes later. A listening client sees Fleet's echo request answered.
mv "$E2E_WORK/trace.log" "$E2E_WORK/trace1.log"
e2e_console_start || exit 1
comm_values_off
client listen --count 1 --timeout 20000 >"$E2E_WORK/listen.out" &
listener=$!
sleep 1.5
e2e_termsim --reply=all --echo=Fleet
wait $listener
rc=$?
[ $rc -eq 0 ] && pass "listener got a message" || fail "listener exit code $rc"
if grep -qE '^mask=0x08 cmd=0x8000 status=0x0000 len=[0-9]+ ' "$E2E_WORK/listen.out"; then
    pass "Fleet's echo reaches the client as ECHO_RESP with status 0"
else
    fail "Fleet's echo at the client: $(cat "$E2E_WORK/listen.out")"
fi
expect_grep "$E2E_WORK/trace.log" "Got ECHO, send ECHO_RESP" "the service answers the echo itself"
sleep 1

# ESC ends console mode too.
tmux send-keys -t "$TMUX_SESSION" Escape
e2e_wait_trace "ESC pressed, ending" 10 && pass "ESC ends the run" || fail "ESC ends the run"
e2e_wait_trace "Done -> 0" 10 && tmux send-keys -t "$TMUX_SESSION" Enter
for i in $(seq 1 100); do [ -s "$E2E_WORK/srv.rc" ] && break; sleep 0.1; done
[ "$(cat "$E2E_WORK/srv.rc" 2>/dev/null)" = "0" ] && pass "ESC exit code 0" || fail "ESC exit code $(cat "$E2E_WORK/srv.rc" 2>/dev/null)"
e2e_termsim_stop
# termsim saw the echo response on Fleet's port alone.
expect_grep "$E2E_WORK/termsim.out" "app=Fleet" "termsim summary"
cat "$REGCOMM.1" "$REGCOMM" 2>/dev/null | tr -d '\r' >"$E2E_WORK/comm-reg.txt"
expect_grep "$E2E_WORK/comm-reg.txt" "svc->client mask=0x08 Fleet cmd=0x8000 status=0x0000" \
    "without the option, the registry's communication log is written"

# ---- Phase 3: the console's own keys, output on the screen: A and P send ACTIVATE and
# PASSIVATE to every application, C clears the screen, Ctrl+Break ends the run as Ctrl+C does.
CTRL_EVENT=$DULVEX_BUILD/tests/e2e/ctrl_event.exe
[ -e "$CTRL_EVENT" ] || { fail "missing $CTRL_EVENT (build the win64 preset)"; exit 1; }
mv "$E2E_WORK/trace.log" "$E2E_WORK/trace2.log"
e2e_termsim --reply=none
E2E_SCREEN=1 e2e_console_start || exit 1
screen() { tmux capture-pane -p -t "$TMUX_SESSION"; }

# Waits until termsim logged the command (4 hex digits, spaced) arriving from every application.
command_reached_all() {  # command bytes "00 10", seconds
    local i app missing
    for i in $(seq 1 $(( $2 * 10 ))); do
        missing=
        for app in Master MBCA Maint Fleet Petro; do
            grep -qE "^ *[0-9.]+ in +$app +len=6 +08 [0-9a-f]{2} 00 02 $1 " "$E2E_WORK/termsim.log" ||
                missing="$missing $app"
        done
        [ -z "$missing" ] && return 0
        sleep 0.1
    done
    echo "not reached:$missing"
    return 1
}
tmux send-keys -t "$TMUX_SESSION" A
command_reached_all "00 10" 10 && pass "A: ACTIVATE reached all five applications" || fail "A: ACTIVATE on all five"
expect_grep "$E2E_WORK/trace.log" "Send ACTIVATE !!!" "A is traced"
tmux send-keys -t "$TMUX_SESSION" p
command_reached_all "00 11" 10 && pass "p: PASSIVATE reached all five applications" || fail "p: PASSIVATE on all five"
expect_grep "$E2E_WORK/trace.log" "Send PASSIVATE !!!" "P is traced"

if grep -qx 'Debugging DulvexService.' <<<"$(screen)"; then pass "banner on the screen"; else fail "banner on the screen: $(screen)"; fi
tmux send-keys -t "$TMUX_SESSION" C
e2e_wait_trace "Clearing console" 10 && pass "C is traced" || fail "C is traced"
cleared=no
for i in $(seq 1 30); do
    [ -z "$(screen | tr -d ' \n')" ] && { cleared=yes; break; }
    sleep 0.1
done
[ $cleared = yes ] && pass "C clears the screen" || fail "C clears the screen: $(screen)"

$DULVEX_WINE "$CTRL_EVENT" break DulvexSrv.exe </dev/null >"$E2E_WORK/ctrl_event.out" 2>&1
rc=$?
[ $rc -eq 0 ] && pass "Ctrl+Break delivered" || fail "Ctrl+Break delivery exit code $rc: $(cat "$E2E_WORK/ctrl_event.out")"
e2e_wait_trace "Got EVENT to stop" 10 && pass "Ctrl+Break sets the stop event" || fail "Ctrl+Break sets the stop event"
e2e_wait_trace "Done -> 0" 10 && pass "Ctrl+Break: orderly end" || fail "Ctrl+Break: orderly end"
if grep -qx 'Stopping DulvexService.' <<<"$(screen)"; then pass "Ctrl+Break is announced"; else fail "Ctrl+Break announced: $(screen)"; fi
tmux send-keys -t "$TMUX_SESSION" Enter
for i in $(seq 1 100); do [ -s "$E2E_WORK/srv.rc" ] && break; sleep 0.1; done
[ "$(cat "$E2E_WORK/srv.rc" 2>/dev/null)" = "0" ] && pass "Ctrl+Break exit code 0" || fail "Ctrl+Break exit code $(cat "$E2E_WORK/srv.rc" 2>/dev/null)"
e2e_termsim_stop

echo "console end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
