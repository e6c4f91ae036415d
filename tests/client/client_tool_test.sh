#!/bin/bash
# dulvex-client against a stand-in server on a real pipe under Wine: output lines and exit
# codes as integrators and the end-to-end tests rely on them.
set -u
W=$DULVEX_WINE
B=$DULVEX_BUILD
TOOL=$B/tools/client/dulvex-client.exe
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
