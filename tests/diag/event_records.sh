#!/bin/bash
# Wine prints the strings of each event record on its debug channel, and with fixme+advapi a
# line with the record's type and id: an information of its own id, an error with the error
# value in its text, a warning with two strings; a plain logged line writes no record.
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
expect 'probe info 1'
expect 'DulvexService error: 5: probe error 2'
expect '0x0004,0x0000,0x40020110'
expect '0x0001,0x0000,0xc0020130'
expect '0x0002,0x0000,0x80020102'
expect 'DulvexService warning'
expect 'probe notice 3'
records=$(grep -F 'ReportEventA' "$out" | grep -c ',0x0000,0x')
[ "$records" -eq 3 ] || { echo "records: $records, not 3"; fail=1; }
if grep -qF 'probe trace only' "$out"; then
    echo "a plain logged line wrote a record"
    fail=1
fi
[ $fail -eq 0 ] || { echo "--- wine debug output:"; grep -iE 'eventlog|advapi' "$out" | head -40; }
exit $fail
