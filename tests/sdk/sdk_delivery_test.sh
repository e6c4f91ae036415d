#!/bin/bash
# The SDK's delivery guarantees against the real DulvexSrv.exe -debug and termsim, through the C
# sample (which announces itself, as every session does by default): the answers held since the
# start come first with their count, an application that never acknowledges comes back as a
# notice, and the held answers are handed out once. Master, MBCA, Maint and Fleet answer; Petro
# never acknowledges.
source "$(dirname "$0")/../e2e/lib.sh"
SAMPLE=$DULVEX_BUILD/sdk/sdk_sample.exe
trap 'kill $petro 2>/dev/null; e2e_cleanup' EXIT
e2e_require
[ -e "$SAMPLE" ] || { echo "missing $SAMPLE (build the win64 preset first)"; exit 1; }
e2e_configure 198.18.0.2
e2e_termsim --apps=Master,MBCA,Maint,Fleet --reply=all
bash "$NETNS" exec "$TERMSIM" --log="$E2E_WORK/petro.log" --apps=Petro --silent >"$E2E_WORK/petro.out" 2>&1 &
petro=$!
for i in $(seq 1 50); do grep -q '^ready' "$E2E_WORK/petro.out" 2>/dev/null && break; sleep 0.1; done
e2e_console_start || exit 1
# Petro's link is busy with the start-up echo until it is given up: a command sent before would
# wait behind it.
e2e_wait_trace "'Petro': TerminalTime - aborted" 10 && e2e_wait_trace "(4 held)" 5 ||
    fail "the start-up echo to Petro was not given up, or the four answers to it not held"

sample() {  # args: runs the sample, its output (no CR) in $out, its exit code in $rc
    $DULVEX_WINE "$SAMPLE" "$@" </dev/null >"$E2E_WORK/sample.out" 2>&1
    rc=$?
    out=$(tr -d '\r' <"$E2E_WORK/sample.out")
}
sample 0x11 0x0123 00ff
echo "$out"
check_eq "a notice for Petro, an answer from Master: exit 3" 3 "$rc"
# The four answered the start-up echo in an order of their own: the held lines are compared sorted.
check_eq "the welcome's count, then the held answers, the answer and the notice" \
"sent command 0x0123 to mask 0x11, 2 data bytes
welcome: 4 held answer(s) first
held
held
held
held
from 0x01 (Master): command 0x8123 status 0x0000, 2 data bytes: 00 FF
notice: command 0x0123 to 0x10 (Petro) will not be answered: reason 2, count 1" \
    "$(echo "$out" | sed 's/^from 0x0[1248] ([A-Za-z]*): command 0x8000 status 0x0000, 1 data bytes: 00$/held/')"
check_eq "the held answers: one from each that answered" \
"from 0x01 (Master): command 0x8000 status 0x0000, 1 data bytes: 00
from 0x02 (MBCA): command 0x8000 status 0x0000, 1 data bytes: 00
from 0x04 (Maint): command 0x8000 status 0x0000, 1 data bytes: 00
from 0x08 (Fleet): command 0x8000 status 0x0000, 1 data bytes: 00" "$(echo "$out" | grep 'command 0x8000' | sort)"
e2e_wait_trace "Delivery: notice 2 for App=10, Cmd=0123 (1)" 1 &&
    pass "the service traces the notice it sent" || fail "no trace of the notice to the session"

sample 0x02 0x0124
check_eq "the next session: exit 0" 0 "$rc"
check_eq "the next session: no held answer again" \
"sent command 0x0124 to mask 0x02, 2 data bytes
welcome: 0 held answer(s) first
from 0x02 (MBCA): command 0x8124 status 0x0000, 2 data bytes: 41 42" "$out"

[ "$(e2e_console_stop)" = 0 ] && pass "the service stops with 0" || fail "the service did not stop in order"
e2e_termsim_stop
echo "SDK delivery end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
