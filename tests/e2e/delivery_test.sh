#!/bin/bash
# Delivery guarantees of DulvexSrv.exe -debug with termsim in the terminal's namespace: a client
# that does not announce itself sees exactly the old bytes; an announced one is told of commands
# given up or refused, and gets the answers held while no client was there, bounded by HeldMax.
# Master and MBCA answer, Petro never acknowledges, Fleet and Maint start late.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_configure 198.18.0.2
wine_quiet reg add 'HKLM\Software\Varnok\PaymentTermService' /v HeldMax /t REG_DWORD /d 2 /f
trap 'kill $petro $late 2>/dev/null; wine_quiet reg delete "HKLM\Software\Varnok\PaymentTermService" /v HeldMax /f; e2e_cleanup' EXIT
PEER=$DULVEX_BUILD/tests/e2e/pipe_peer.exe
TRACE=$E2E_WORK/trace.log

# Milliseconds of the day of the first trace line matching $1 (basic regular expression).
trace_ms() {
    grep -m1 -- "$1" "$TRACE" | awk '{ split($2, t, ":"); printf "%d\n", (t[1] * 3600 + t[2] * 60 + t[3]) * 1000 }'
}
sim() {  # name, then termsim options: one more termsim in the namespace, ready on return
    bash "$NETNS" exec "$TERMSIM" --log="$E2E_WORK/$1.log" "${@:2}" >"$E2E_WORK/$1.out" 2>&1 &
    local pid=$! i
    for i in $(seq 1 50); do grep -q '^ready' "$E2E_WORK/$1.out" 2>/dev/null && break; sleep 0.1; done
    echo $pid
}

e2e_termsim --apps=Master,MBCA --reply=all
petro=$(sim petro --apps=Petro --silent)
e2e_console_start || exit 1
# Nobody listens for Maint and Fleet yet: their start-up echoes are given up.
e2e_wait_trace "'Fleet': TerminalTime - aborted" 10 && e2e_wait_trace "'Maint': TerminalTime - aborted" 5 ||
    fail "the start-up echoes to Fleet and Maint were not given up"

# ---- After a restart: Master's and MBCA's answers to the service's start-up echo came while no
# client was there; the first announced client gets them.
out=$(client --announce listen --count 3 --timeout 1500 | tr -d '\r' | sort)
check_eq "the answers held since the start" "mask=0x01 cmd=0x8000 status=0x0000 len=1 data=00
mask=0x02 cmd=0x8000 status=0x0000 len=1 data=00" "$out"

# ---- A client that does not announce itself: today's bytes, and nothing for a lost command.
out=$(client send --mask 0x01 --cmd 0x0123 --data 00ff --wait 1 | tr -d '\r')
check_eq "a plain client's answer" "mask=0x01 cmd=0x8123 status=0x0000 len=2 data=00ff" "$out"
out=$(client send --mask 0x10 --cmd 0x0045 --wait 1 --timeout 4500 | tr -d '\r'); rc=$?
check_eq "a plain client learns nothing of a command given up (output)" "" "$out"
e2e_wait_trace "notice 2 for App=10, Cmd=0045 (1), no announced client" 3 &&
    pass "the give-up is traced with its application and command" || fail "no trace of the give-up of 0x0045"

# ---- An application that never answers: a notice within 3.5 s of the send.
out=$(client --announce send --mask 0x10 --cmd 0x0046 --wait 1 --timeout 6000 | tr -d '\r')
check_match "the announced client's notice" '^notice mask=0x10 cmd=0x0046 reason=2 count=1 ' "$out"
sent=$(trace_ms "'Petro': TerminalSend: 0x0046")
noticed=$(trace_ms "Delivery: notice 2 for App=10, Cmd=0046")
if [ -n "$sent" ] && [ -n "$noticed" ] && [ $((noticed - sent)) -ge 0 ] && [ $((noticed - sent)) -le 3500 ]; then
    pass "notice $((noticed - sent)) ms after the send"
else
    fail "notice after the send: sent=$sent noticed=$noticed"
fi

# ---- A full queue: one notice per refused command, at once (Petro's link holds 9 frames).
out=$($DULVEX_WINE "$PEER" burst '\\.\pipe\varnok\Dulvex' 0x10 0x0050 12 1000 </dev/null 2>>"$E2E_WORK/client.err" |
      tr -d '\r')
check_eq "one notice per refused command" "notice mask=0x10 cmd=0x0059 reason=1 count=1
notice mask=0x10 cmd=0x005a reason=1 count=1
notice mask=0x10 cmd=0x005b reason=1 count=1" "$out"

# Petro's nine queued frames are given up one by one from here on, each with a notice to the
# announced client of the moment: the checks below leave those out.
others() { tr -d '\r' | grep -v '^notice mask=0x10 '; }

# ---- A client that goes away between its command and the answer: the answer is held, a plain
# client does not get it, the next announced client gets it once.
client send --mask 0x08 --cmd 0x0061 --data 01 >/dev/null
late=$(sim fleet --apps=Fleet --reply=all)
e2e_wait_trace "answer App=08, Cmd=8061 held for the next announced client" 5 &&
    pass "the answer to the client that went away is held" || fail "the answer was not held"
out=$(client listen --count 1 --timeout 1000 | tr -d '\r')
check_eq "a plain client does not get the held answer" "" "$out"
out=$(client --announce listen --count 6 --timeout 1500 | others)
check_eq "the next announced client gets it once" "mask=0x08 cmd=0x8061 status=0x0000 len=1 data=01" "$out"
out=$(client --announce listen --count 6 --timeout 1000 | others)
check_eq "and the one after that nothing" "" "$out"
# Under Wine every client has the same account: the answer's owner and each client are named by it.
e2e_wait_trace "Cmd=8061 held for the next announced client of account 'S-1-5-21-" 1 &&
    e2e_wait_trace "PipeSrv: client [0-9]* is account S-1-5-21-" 1 &&
    e2e_wait_trace "of account 'S-1-5-21-[-0-9]*' announced itself, 1 answers held for it (1 in all)" 1 &&
    pass "the trace names the accounts by SID" || fail "no SID in the trace of the held answer"

# ---- Held bounds: Maint sends three echoes while no client is there, HeldMax is 2: the oldest
# is dropped, counted, traced and reported before the two held.
kill "$late"; wait "$late" 2>/dev/null
late=$(sim maint --apps=Maint --reply=all --echo=Maint,3)
e2e_wait_trace "Held answer App=04, Cmd=8000 dropped (count), 1 dropped so" 5 &&
    pass "the oldest held answer is dropped and traced" || fail "no trace of the dropped held answer"
sleep 0.5
out=$(client --announce listen --count 8 --timeout 1500 | others)
check_match "the drop is reported, then the two held" \
    '^notice mask=0x04 cmd=0x8000 reason=5 count=1 [^
]*
mask=0x04 cmd=0x8000 status=0x0000 len=[0-9]+ data=[0-9a-f]*
mask=0x04 cmd=0x8000 status=0x0000 len=[0-9]+ data=[0-9a-f]*$' "$out"

# ---- Link health on request.
out=$(client status | tr -d '\r')
echo "$out"
check_match "Petro is not answering" 'app=0x10 state=not-answering since-ms=[0-9]+ sent=[0-9]+ received=0 ' "$out"
check_match "Master answers" 'app=0x01 state=answering since-ms=[0-9]+ sent=2 received=2 retransmitted=0 given-up=0 queue=0 last-heard-ms=[0-9]+' "$out"

rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "orderly end" || fail "exit code: $rc"
e2e_termsim_stop
echo "delivery end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
