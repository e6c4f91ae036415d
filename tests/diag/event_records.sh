#!/bin/bash
# Wine prints the strings of each event record on its debug channel: an informational record
# with one string, then a warning with the error value first and the text second.
set -u
out=$(mktemp)
trap 'rm -f "$out"' EXIT
WINEDEBUG=+eventlog,warn+eventlog,fixme+advapi $DULVEX_WINE "$1" 2>"$out" >/dev/null
rc=$?
[ $rc -eq 0 ] || { echo "probe exited $rc"; cat "$out"; exit 1; }
fail=0
expect() {
    grep -qF -- "$1" "$out" || { echo "missing: $1"; fail=1; }
}
expect 'DulvexService: probe info 1'
expect 'DulvexService error: 5'
expect 'probe warning 2'
expect '0x0004,0x0000,0x40020101'
expect '0x0002,0x0000,0x80020102'
expect 'DulvexService warning'
expect 'probe notice 3'
warnings=$(grep -F 'ReportEventA' "$out" | grep -cF -- '0x0002,0x0000,0x80020102')
[ "$warnings" -eq 2 ] || { echo "warning records: $warnings, not 2"; fail=1; }
[ $fail -eq 0 ] || { echo "--- wine debug output:"; grep -iE 'eventlog|advapi' "$out" | head -40; }
exit $fail
