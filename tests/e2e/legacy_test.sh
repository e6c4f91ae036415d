#!/bin/bash
# The Windows 9x family's mode with the real bridge: Wine reports Windows 98 to DulvexSrv.exe
# (in a prefix of this test's own). "-install" writes the autostart value and goes on serving in
# the background; a second start is refused; "-remove" ends the running copy and deletes the
# value.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_private_prefix legacy
e2e_configure 198.18.0.2
e2e_termsim --reply=all

run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
wine_quiet reg add 'HKCU\Software\Wine\AppDefaults\DulvexSrv.exe' /v Version /d win98 /f
wine_quiet reg delete "$run_key" /v DulvexService /f

$DULVEX_WINE "$SRV" -install "-logfile=$(winpath "$E2E_WORK/trace.log")" </dev/null >"$E2E_WORK/install.out" 2>&1 &
copy=$!
e2e_wait_trace "'Petro': TerminalSend" 30 && pass "-install goes on serving in the background" ||
    fail "the background copy did not start"
$DULVEX_WINE reg query "$run_key" /v DulvexService </dev/null 2>/dev/null | tr -d '\r' >"$E2E_WORK/runservices.out"
expect_grep "$E2E_WORK/runservices.out" "DulvexSrv.exe" "the autostart value names the program"
expect_grep "$E2E_WORK/runservices.out" "-win9x" "the autostart value starts the hidden mode"

client send --mask 0x10 --cmd 0x0321 --data cafe --wait 1 >"$E2E_WORK/send.out"
expect_grep "$E2E_WORK/send.out" "mask=0x10 cmd=0x8321 status=0x0000 len=2 data=cafe" "the background copy serves a client"

$DULVEX_WINE "$SRV" -win9x </dev/null >"$E2E_WORK/second.out" 2>&1
expect_grep "$E2E_WORK/second.out" "Service already running !" "a second start is refused"

$DULVEX_WINE "$SRV" -remove </dev/null >"$E2E_WORK/remove.out" 2>&1
for i in $(seq 1 100); do kill -0 "$copy" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$copy" 2>/dev/null; then
    fail "-remove did not end the running copy"
    kill "$copy"
else
    pass "-remove ends the running copy"
fi
expect_grep "$E2E_WORK/trace.log" "Got EVENT to stop" "the copy ends through its named event"
expect_grep "$E2E_WORK/trace.log" "Done -> 0" "the copy ends in order"
if $DULVEX_WINE reg query "$run_key" /v DulvexService </dev/null >/dev/null 2>&1; then
    fail "the autostart value is still there"
else
    pass "-remove deletes the autostart value"
fi

echo "legacy end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
