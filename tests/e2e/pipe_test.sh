#!/bin/bash
# The client pipe of DulvexSrv.exe -debug, with termsim in the terminal's namespace: a program
# that holds the pipe's name before the service starts keeps it from serving; a client that
# never reads is dropped while another application's retransmissions keep their rhythm.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_configure 198.18.0.2
PEER=$DULVEX_BUILD/tests/e2e/pipe_peer.exe
PIPE='\\.\pipe\varnok\Dulvex'
peer() { $DULVEX_WINE "$PEER" "$@" </dev/null 2>>"$E2E_WORK/client.err"; }

# ---- Another program created the pipe's name first: the service ends with the pipe's result
# and says why, instead of serving as a second instance beside it.
bash "$NETNS" up && bash "$NETNS" check || { fail "the terminal's namespace"; exit 1; }
peer squat "$PIPE" >"$E2E_WORK/squat.out" &
squatter=$!
for i in $(seq 1 100); do grep -q holding "$E2E_WORK/squat.out" 2>/dev/null && break; sleep 0.1; done
expect_grep "$E2E_WORK/squat.out" "holding" "another program holds the pipe's name"
$DULVEX_WINE "$SRV" -debug -logfile="$(winpath "$E2E_WORK/squat.log")" </dev/null >"$E2E_WORK/squat-srv.out" 2>&1 &
srv=$!
for i in $(seq 1 300); do grep -q "Done -> \|'Petro': TerminalSend" "$E2E_WORK/squat.log" 2>/dev/null && break; sleep 0.1; done
if ! grep -q "Done -> " "$E2E_WORK/squat.log" 2>/dev/null; then
    fail "the service serves beside the program that holds its name"
    wine_quiet taskkill /F /IM DulvexSrv.exe
fi
wait "$srv"
expect_grep "$E2E_WORK/squat.log" "Done -> -4" "the service ends with the pipe's result"
expect_grep "$E2E_WORK/squat.log" "PipeCreate: the name '$PIPE' is held by another program" "the trace says why"
# A client reaches the squatter, which then ends.
client --connect-timeout 2000 send --mask 0x01 --cmd 0x0001 >/dev/null
wait "$squatter"

# ---- Petro never acknowledges; the other four answer every command.
e2e_termsim --apps=Master,MBCA,Maint,Fleet --reply=all
bash "$NETNS" exec "$TERMSIM" --apps=Petro --silent --log="$E2E_WORK/petro.log" >"$E2E_WORK/petro.out" 2>&1 &
petro=$!
trap 'kill "$petro" 2>/dev/null; e2e_cleanup' EXIT
for i in $(seq 1 50); do grep -q '^ready' "$E2E_WORK/petro.out" 2>/dev/null && break; sleep 0.1; done
e2e_console_start || exit 1
sleep 1
out=$(peer stall "$PIPE" 8000 | tr -d '\r')
echo "$out"
[ "$out" = "stall sent=15 dropped=yes error=$(echo "$out" | sed -n 's/.*error=//p')" ] &&
    pass "the client that never reads is dropped ($out)" || fail "the stalled client: $out"
expect_grep "$E2E_WORK/trace.log" "PipeWrite: client took nothing for 3000 ms -> drop it" "the drop is traced"
# Petro's frames (its start-up echo, then the client's three commands 0x0045) are each sent
# four times: every copy follows the one before after the retransmission interval and the
# timer's step, however full the client's pipe is.
petro_frames() {
    awk '$2 == "in" && $3 == "Petro" && $4 == "len=7" && $7 == "00" && $8 == "03" && $9 == "00" && $10 == "45"' \
        "$E2E_WORK/petro.log" 2>/dev/null | wc -l
}
for i in $(seq 1 200); do [ "$(petro_frames)" -ge 12 ] && break; sleep 0.1; done
sleep 1
kill -INT "$petro" 2>/dev/null
wait "$petro" 2>/dev/null
[ "$(petro_frames)" -eq 12 ] && pass "Petro's three frames were sent four times each" ||
    fail "Petro's frames: $(petro_frames) datagrams of command 0x0045"
# Gaps between copies of one frame (same number and command).
gaps=$(awk '$2 == "in" && $3 == "Petro" { key = $6 " " $9 $10; if (key in last) printf "%.3f ", $1 - last[key]; last[key] = $1 }
            END { print "" }' "$E2E_WORK/petro.log")
echo "Petro's gaps between copies (s): $gaps"
if [ "$(echo "$gaps" | wc -w)" -eq 12 ] &&
        echo "$gaps" | tr ' ' '\n' | awk 'NF && ($1 < 0.7 || $1 > 1.5) { bad = 1 } END { exit bad }'; then
    pass "Petro's retransmissions keep their rhythm behind the stalled client"
else
    fail "Petro's retransmissions out of rhythm: $gaps"
fi
client send --mask 0x01 --cmd 0x0123 --data 00ff --wait 1 >"$E2E_WORK/send.out"
expect_grep "$E2E_WORK/send.out" "mask=0x01 cmd=0x8123 status=0x0000 len=2 data=00ff" "the next client is served"

rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "orderly end" || fail "exit code: $rc"
e2e_termsim_stop
echo "pipe end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
