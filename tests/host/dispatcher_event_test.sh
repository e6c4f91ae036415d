#!/bin/bash
# Started from a console with no option, the program takes the default path: banner, usage,
# the dispatcher lines, exit code 1, and exactly one error event (a failed system call) for the
# refused dispatcher.
# Wine prints event records (type, id and strings) on the program's own stderr.
# Usage: dispatcher_event_test.sh FAKE_EXE (a DulvexSrv built with the stand-in bridge)
set -u
source "$(dirname "$0")/lib.sh"
fake=$1
work=$(mktemp -d "${DULVEX_BUILD:-/tmp}/host-dispatcher.XXXXXX")
trap 'rm -rf "$work"' EXIT

WINEDEBUG=warn+eventlog,fixme+advapi $DULVEX_WINE "$fake" </dev/null >"$work/out" 2>"$work/err"
check_cmd "exit code 1" test $? -eq 1
tr -d '\r' <"$work/out" >"$work/out.lf"
check_cmd "banner first" grep -qx 'Platform:  Windows NT (AMD64)' <(head -n 1 "$work/out.lf")
check_cmd "usage and dispatcher lines last" diff <(tail -n 8 "$work/out.lf") <(printf '%s\n' \
    "DulvexService -install          to install the service" \
    "DulvexService -remove           to remove the service" \
    "DulvexService -debug <params>   to run as a console app for debugging" \
    "DulvexService -log <file_name>  to log into (service or debug)" \
    "DulvexService -commlog=<file_name> to log every message and datagram into (support only)" \
    "" \
    "StartServiceCtrlDispatcher being called." \
    "This may take several seconds.  Please wait.")
check_cmd "one event record" test "$(grep -c 'ReportEventA (' "$work/err")" -eq 1
check_cmd "an error (type 1) with id 0xc0020130 and one string" \
    grep -q 'ReportEventA ([0-9A-Fa-f]*,0x0001,0x0000,0xc0020130,[0-9A-Fa-f]*,0x0001,' "$work/err"
check_cmd "its string: the service name, the dispatcher's error and the text" \
    grep -q 'eventlog:ReportEventW L"DulvexService error: 1063: StartServiceCtrlDispatcher failed."$' "$work/err"
[ "$FAILURES" -eq 0 ] || cat "$work/err"
echo "$FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
