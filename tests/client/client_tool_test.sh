#!/bin/bash
# dulvex-client against a stand-in server on a real pipe under Wine: output lines and exit
# codes as integrators and the end-to-end tests rely on them.
set -u
W=$DULVEX_WINE
B=$DULVEX_BUILD
TOOL=$B/tools/client/dulvex-client.exe
JSON_LINES=$(dirname "$0")/json_lines.py
PIPE='\\.\pipe\varnok\DulvexToolTest'
work=$(mktemp -d)
source "$(dirname "$0")/../shell_lib.sh"


client() {  # args...: runs the tool, stdout to $work/out, exit code to $rc
    $W "$TOOL" --pipe "$PIPE" "$@" >"$work/out" 2>"$work/err" </dev/null
    rc=$?
}

client --help
check_eq "help exits 0" 0 "$rc"
grep -q '^usage: dulvex-client' "$work/out"
check_eq "help prints usage" 0 $?

client --connect-timeout 200 send --mask 1 --cmd 1
check_eq "no service: exit 2" 2 "$rc"
check_eq "no service: nothing on stdout" "" "$(cat "$work/out")"

client send --mask 0 --cmd 1
check_eq "mask 0 refused" 1 "$rc"
client send --mask 1 --cmd 1 --data 414
check_eq "odd hex refused" 1 "$rc"
client send --mask 1 --cmd 0x0001 --status 3
check_eq "status without response bit refused" 1 "$rc"
client send --mask 0x100 --cmd 1
check_eq "mask above 0xFF refused" 1 "$rc"
client frobnicate
check_eq "unknown command refused" 1 "$rc"
for args in "--mask 0" "--mask 0x20" "--cmd 0x8000" "--count 0" "--timeout 0" "--count x"; do
    client ping $args
    check_eq "ping $args refused before connecting" 1 "$rc"
done

$W "$B/tests/client/client_echo_server.exe" "$PIPE" 60 >"$work/server" 2>"$work/server.err" </dev/null &
server=$!

client send --mask 0x03 --cmd 0x1234 --data 4142 --wait 2
check_eq "send --wait 2: exit 0" 0 "$rc"
check_eq "send --wait 2: one line per message" \
"mask=0x01 cmd=0x9234 status=0x0000 len=2 data=4142
mask=0x02 cmd=0x9234 status=0x0001 len=2 data=4142" "$(cat "$work/out")"

client send --mask 0x10 --cmd 0x8001 --status 7 --wait 1 --timeout 3000
check_eq "response with status: exit 0" 0 "$rc"
check_eq "response with status: line" "mask=0x10 cmd=0x8001 status=0x0004 len=0 data=" "$(cat "$work/out")"

client send --mask 0x08 --cmd 0x0000 --data 00 --wait 2 --timeout 1000
check_eq "fewer messages than asked: exit 3" 3 "$rc"
check_eq "fewer messages than asked: the one that came" "mask=0x08 cmd=0x8000 status=0x0003 len=1 data=00" "$(cat "$work/out")"

client listen --count 1 --timeout 300
check_eq "listen with nothing coming: exit 3" 3 "$rc"

client --json send --mask 0x03 --cmd 0x1234 --data 4142 --wait 2
check_eq "send --wait in JSON: exit 0" 0 "$rc"
check_eq "send --wait in JSON: one object per message" \
'{"type":"message","mask":1,"apps":["Master"],"cmd":37428,"status":0,"len":2,"data":"4142"}
{"type":"message","mask":2,"apps":["MBCA"],"cmd":37428,"status":1,"len":2,"data":"4142"}' "$(cat "$work/out")"
check_eq "send --wait in JSON: parses" "message
message" "$(python3 "$JSON_LINES" "$work/out" message=mask,apps,cmd,status,len,data)"

client --json ping --mask 0x11 --count 2
check_eq "ping in JSON: exit 0" 0 "$rc"
check_eq "ping in JSON: parses" "ping
ping" "$(python3 "$JSON_LINES" "$work/out" ping=mask,app,cmd,sent,answered,lost,late,min_ms,mean_ms,max_ms)"

# Round 1's answer comes after its time-out, while round 2 waits: it is late, and round 2 still
# gets its own answer.
client send --mask 0x80 --cmd 0xFFFE --data 05dc
client ping --mask 0x04 --count 3 --timeout 1000
check_eq "ping with one late answer: exit 3" 3 "$rc"
check_match "ping with one late answer: counted late, not as the next round's" \
    '^app=0x04 name=Maint cmd=0x0000 sent=3 answered=2 lost=1 late=1 min-ms=[0-9]+\.[0-9]{3} ' "$(cat "$work/out")"

# An announced client is handed the held answers once: a command that cannot print them refuses
# to announce, and one that prints prints them all, beyond the count asked for.
client send --mask 0x80 --cmd 0xFFFD --data 03
for args in "status" "ping --count 1" "capture x" "send --mask 1 --cmd 1"; do
    client --announce $args
    check_eq "--announce $args: refused" 1 "$rc"
    check_match "--announce $args: says why" "--announce takes the service's held answers" "$(cat "$work/err")"
done
client --announce send --mask 0x01 --cmd 0x0010 --wait 1 --timeout 3000
check_eq "--announce send --wait 1: exit 0" 0 "$rc"
check_eq "--announce send --wait 1: the drop, the three held answers, then the answer" \
"notice mask=0x04 cmd=0x8070 reason=5 count=1 (held answers dropped for count)
mask=0x04 cmd=0x8070 status=0x0000 len=1 data=01
mask=0x04 cmd=0x8070 status=0x0000 len=1 data=02
mask=0x04 cmd=0x8070 status=0x0000 len=1 data=03
mask=0x01 cmd=0x8010 status=0x0000 len=0 data=" "$(cat "$work/out")"

# A message that comes before the health answer was read on the user's behalf: it is printed.
client status
check_eq "status: exit 0" 0 "$rc"
check_eq "status: the message that came meanwhile, then one line per application" \
"mask=0x02 cmd=0x8099 status=0x0000 len=0 data=
app=0x01 state=unknown since-ms=0 sent=0 received=0 retransmitted=0 given-up=0 queue=0 last-heard-ms=0
app=0x02 state=unknown since-ms=0 sent=0 received=0 retransmitted=0 given-up=0 queue=0 last-heard-ms=0
app=0x04 state=unknown since-ms=0 sent=0 received=0 retransmitted=0 given-up=0 queue=0 last-heard-ms=0
app=0x08 state=unknown since-ms=0 sent=0 received=0 retransmitted=0 given-up=0 queue=0 last-heard-ms=0
app=0x10 state=unknown since-ms=0 sent=0 received=0 retransmitted=0 given-up=0 queue=0 last-heard-ms=0" \
    "$(cat "$work/out")"

client capture --stamp 1700000000.5 "hello world"
check_eq "capture: exit 0" 0 "$rc"

client send --mask 0x80 --cmd 0xFFFF
check_eq "stop the stand-in" 0 "$rc"
wait $server
check_eq "stand-in ended by request" 0 $?
check_eq "capture reached the server" "capture 1700000000 5 hello world" "$(tr -d '\r' <"$work/server")"

rm -rf "$work"
[ $FAILURES -eq 0 ] && echo "all passed" || echo "$FAILURES failed"
[ $FAILURES -eq 0 ]
