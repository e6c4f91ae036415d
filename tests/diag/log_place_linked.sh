#!/bin/bash
# A log folder reached through a link is refused with its warning event under Wine: a Unix
# symbolic link to a folder shows as a reparse point there (Wine makes no junctions), and each
# event record's id shows on Wine's advapi channel. A folder of mode 0777 reads back with an
# Everyone ACE that may write: it is refused, or protected when asked, which Wine turns into
# mode bits that no longer let others write.
# Usage: log_place_linked.sh LOG_PLACE_TEST.exe   (DULVEX_BUILD and DULVEX_WINE from CTest)
set -u
dir=$DULVEX_BUILD/log-place-folder
rm -rf "$dir"
mkdir -p "$dir/target"
ln -s "$dir/target" "$dir/link"
mkdir -p "$dir/open"
chmod 0777 "$dir/open"
DULVEX_LOG_LINK="Z:${dir//\//\\}\\link" DULVEX_LOG_OPEN="Z:${dir//\//\\}\\open" \
    WINEDEBUG=fixme+advapi,warn+eventlog $DULVEX_WINE "$1" \
    --gtest_filter='LogPlaceEdge.LinkedFolderIsRefused:LogPlaceEdge.OpenFolderIsRefusedOrProtected' \
    </dev/null >"$dir.out" 2>"$dir.err"
rc=$?
tr -d '\r' <"$dir.out"
fail=0
grep -q '\[  SKIPPED \]' "$dir.out" && { echo "FAIL: a test was skipped"; fail=1; }
mode=$(stat -c %a "$dir/open")
(( (8#$mode & 8#002) == 0 )) || { echo "FAIL: the protected folder's mode is still $mode"; fail=1; }
# EVENT_LOG_REFUSED, a warning, once for the folder and once for the one below it.
events=$(grep -F 'ReportEventA' "$dir.err" | grep -cF -- '0x0002,0x0000,0x80020113')
[ "$events" -ge 2 ] || { echo "FAIL: $events EVENT_LOG_REFUSED records, not 2"; fail=1; }
grep -qF 'refused: folder Z:' "$dir.err" || { echo "FAIL: no event text names the folder"; fail=1; }
grep -qF 'a reparse point (a junction or symbolic link); the log stays off' "$dir.err" \
    || { echo "FAIL: no event text says why"; fail=1; }
[ $fail -eq 0 ] || grep -iE 'eventlog|advapi' "$dir.err" | head -20
rm -rf "$dir" "$dir.out" "$dir.err"
[ "$rc" -eq 0 ] && exit $fail
exit "$rc"
