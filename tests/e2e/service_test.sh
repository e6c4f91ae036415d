#!/bin/bash
# DulvexSrv.exe as a real service under Wine's service control manager, against termsim: install,
# start (with its recovery actions), serve a client, stop, a start that fails because the terminal ports are taken, remove,
# and a second install refused.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_private_prefix service
e2e_configure 198.18.0.2
e2e_termsim --reply=all

sc_query() { $DULVEX_WINE sc query DulvexService </dev/null 2>/dev/null | tr -d '\r'; }
state_of() { sc_query | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
field() { sc_query | sed -n "s/^ *$1 *: *\([-0-9]*\).*/\1/p"; }
wait_state() {  # state, seconds
    local i
    for i in $(seq 1 $(($2 * 10))); do
        [ "$(state_of)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

wine_quiet "$SRV" -remove
# Wine's manager stores no recovery actions; its trace shows the call (level 2: failure actions).
WINEDEBUG=trace+service $DULVEX_WINE "$SRV" -install </dev/null >"$E2E_WORK/install.out" 2>"$E2E_WORK/install.err"
rc=$?
[ $rc -eq 0 ] && pass "-install exits 0" || fail "-install exit code $rc"
grep -aqE 'trace:service:ChangeServiceConfig2A [0-9A-Fa-f]+ 2 ' "$E2E_WORK/install.err" &&
    pass "-install sets the recovery actions" || fail "no ChangeServiceConfig2A of failure actions"
[ "$(state_of)" = "STOPPED" ] && pass "installed service is stopped" || fail "state after install: $(sc_query)"
$DULVEX_WINE reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\DulvexService' </dev/null \
    >"$E2E_WORK/eventsource.out" 2>&1
expect_grep "$E2E_WORK/eventsource.out" "EventMessageFile" "the event source names its message file"
expect_grep "$E2E_WORK/eventsource.out" "DulvexSrv.exe" "the message file is the program itself"

# The registered command line gets a trace file, so the run can be checked.
key='HKLM\System\CurrentControlSet\Services\DulvexService'
image=$($DULVEX_WINE reg query "$key" /v ImagePath </dev/null 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *ImagePath *REG_[A-Z_]* *//p')
[ -n "$image" ] && pass "ImagePath registered: $image" || fail "no ImagePath"
wine_quiet reg add "$key" /v ImagePath /t REG_EXPAND_SZ /d "\"${image//\"/}\" -logfile=$(winpath "$E2E_WORK/trace.log")" /f
e2e_restart_wine

# A second install is refused with the system's text.
$DULVEX_WINE "$SRV" -install </dev/null >"$E2E_WORK/install2.out" 2>&1
expect_grep "$E2E_WORK/install2.out" "CreateService failed - " "a second -install is refused"

wine_quiet net start DulvexService
if wait_state RUNNING 20; then pass "net start: RUNNING"; else fail "net start: $(sc_query)"; fi
e2e_wait_trace "'Petro': TerminalSend" 10 || fail "the service's bridge did not start"
client send --mask 0x01 --cmd 0x0123 --data 00ff --wait 1 >"$E2E_WORK/send.out"
expect_grep "$E2E_WORK/send.out" "mask=0x01 cmd=0x8123 status=0x0000 len=2 data=00ff" "a client is served by the service"
wine_quiet net stop DulvexService
if wait_state STOPPED 20; then pass "net stop: STOPPED"; else fail "net stop: $(sc_query)"; fi
[ "$(field WIN32_EXIT_CODE)" = "0" ] && pass "orderly stop: exit code 0" || fail "exit code after stop: $(sc_query)"
e2e_wait_trace "Done -> 0" 5 && pass "the bridge ended in order" || fail "no 'Done -> 0' in the service's trace"

# A start that fails: another program holds a terminal port.
mv "$E2E_WORK/trace.log" "$E2E_WORK/trace-run.log"
python3 -c 'import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",33335)); time.sleep(15)' &
holder=$!
sleep 0.5
wine_quiet net start DulvexService
wait_state STOPPED 20
e2e_wait_trace "Done -> -3" 10 && pass "the bridge fails at the links" || fail "no 'Done -> -3' in the trace"
code=$(field WIN32_EXIT_CODE)
specific=$(field SERVICE_EXIT_CODE)
[ "$code" = "1066" ] && pass "failed start: WIN32_EXIT_CODE 1066" || fail "failed start: $(sc_query)"
case "$specific" in
    -3|4294967293) pass "failed start: service-specific code -3" ;;
    *) fail "failed start: service-specific code $specific" ;;
esac
expect_grep "$E2E_WORK/trace.log" "' bind() '" "the failing call is named"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null

# A stored address the links cannot use: the service runs on the fallback and says why.
mv "$E2E_WORK/trace.log" "$E2E_WORK/trace-fail.log"
wine_quiet reg add 'HKLM\Software\Varnok\PaymentTermService' /v Addr /t REG_SZ /d 0.0.0.0 /f
wine_quiet net start DulvexService
if wait_state RUNNING 20; then pass "unusable stored address: RUNNING"; else fail "unusable stored address: $(sc_query)"; fi
e2e_wait_trace "Starting with IP-Addr '127.0.0.1'" 10 && pass "unusable stored address: the fallback is used" ||
    fail "no start with 127.0.0.1 in the trace"
expect_grep "$E2E_WORK/trace.log" \
    'ReadConfigAddr: value "Addr" "0.0.0.0" is 0.0.0.0, which names no host; default address 127.0.0.1 used' \
    "unusable stored address: the warning names the value and the rule"
sleep 1
[ "$(state_of)" = "RUNNING" ] && pass "unusable stored address: keeps running" || fail "ended: $(sc_query)"
wine_quiet net stop DulvexService
wait_state STOPPED 20

$DULVEX_WINE "$SRV" -remove </dev/null >"$E2E_WORK/remove.out" 2>&1
rc=$?
[ $rc -eq 0 ] && pass "-remove exits 0" || fail "-remove exit code $rc"
if $DULVEX_WINE sc query DulvexService </dev/null >/dev/null 2>&1; then
    fail "the service still exists after -remove"
else
    pass "-remove deletes the service"
fi

echo "service end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
