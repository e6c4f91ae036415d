#!/bin/bash
# The Windows 9x family's run mode, with Wine reporting Windows 98 to the stand-in program only:
# install writes the autostart value and goes on as the background copy; a second start is
# refused; remove signals the running copy through the named event and deletes the value.
# Usage: legacy_test.sh FAKE_EXE (a DulvexSrv built with the stand-in bridge)
set -u
source "$(dirname "$0")/lib.sh"
fake=$1
exe=$(basename "$fake")
work=$(mktemp -d "${DULVEX_BUILD:-/tmp}/host-legacy.XXXXXX")
copy=

wine_run() { $DULVEX_WINE "$@"; }
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
app_key="HKCU\\Software\\Wine\\AppDefaults\\$exe"
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\DulvexService'

cleanup() {
    [ -n "$copy" ] && kill "$copy" 2>/dev/null
    wine_run reg delete "$run_key" /v DulvexService /f >/dev/null 2>&1 </dev/null
    wine_run reg delete "$source_key" /f >/dev/null 2>&1 </dev/null
    wine_run reg delete "$app_key" /f >/dev/null 2>&1 </dev/null
    rm -rf "$work"
}
trap cleanup EXIT

same() { # expected text, file (CR LF compared as LF)
    diff <(printf '%s' "$1") <(tr -d '\r' <"$2")
}

wine_run reg add "$app_key" /v Version /d win98 /f >/dev/null 2>&1 </dev/null
wine_run reg delete "$run_key" /v DulvexService /f >/dev/null 2>&1 </dev/null

# --- install, then at once the background copy ---------------------------------------------
log=$work/copy.log
wine_run "$fake" -install fakemode=wait "fakelog=$(winpath "$log")" </dev/null >"$work/install.out" 2>/dev/null &
copy=$!
check_cmd "install goes on as the background copy" wait_for "$log" "running" 60
check_cmd "the copy got the whole vector" \
    diff <(sed -n '3,5p' "$log" | tr -d '\r') <(printf '%s\n' "argv[1]=-install" \
        "argv[2]=fakemode=wait" "argv[3]=fakelog=$(winpath "$log")")
check_cmd "the copy is detached and not in console debug mode" grep -q '^console=0 event=1' "$log"
check_cmd "install printed nothing" test ! -s "$work/install.out"
wine_run reg query "$run_key" /v DulvexService </dev/null >"$work/run.txt" 2>/dev/null
check_cmd "autostart value is the path with -win9x" \
    grep -qF "DulvexService    REG_SZ    $(winpath "$fake") -win9x" "$work/run.txt"
wine_run reg query "$source_key" /v EventMessageFile </dev/null >"$work/source.txt" 2>/dev/null
check_cmd "event source names the program" \
    grep -qF "EventMessageFile    REG_EXPAND_SZ    $(winpath "$fake")" "$work/source.txt"

# --- a second start is refused -------------------------------------------------------------
second=$work/second.log
wine_run "$fake" -win9x "fakelog=$(winpath "$second")" </dev/null >"$work/second.out" 2>/dev/null
check_cmd "second start exits 0" test $? -eq 0
check_cmd "second start says so" same $'Service already running !\n' "$work/second.out"
check_cmd "second start never ran the bridge" test ! -e "$second"
check_cmd "the first copy still runs" kill -0 "$copy"

# --- remove stops the copy and deletes the value -------------------------------------------
wine_run "$fake" -remove </dev/null >"$work/remove.out" 2>/dev/null
check_cmd "remove exits 0" test $? -eq 0
check_cmd "remove signals the running copy" same $'Service currently running, will stop....\n' "$work/remove.out"
check_cmd "the copy's bridge got the stop signal" wait_for "$log" "return 0" 30
wait "$copy"
check_cmd "the copy exits with 0" test $? -eq 0
copy=
check_cmd "the copy's record ends with the stop" \
    diff <(tail -n 3 "$log" | tr -d '\r') <(printf '%s\n' "running" "stop event" "return 0")
wine_run reg query "$run_key" /v DulvexService </dev/null >/dev/null 2>&1
check_cmd "autostart value deleted" test $? -ne 0

# --- remove with no copy running -----------------------------------------------------------
wine_run "$fake" -remove </dev/null >"$work/remove2.out" 2>/dev/null
check_cmd "remove with nothing running exits 0" test $? -eq 0
check_cmd "remove with nothing running prints nothing" test ! -s "$work/remove2.out"

echo "$FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
