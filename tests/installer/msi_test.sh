#!/bin/bash
# Dulvex.msi under Wine's msiexec, against termsim: a bad ADDR fails with its reason in the
# verbose log and leaves nothing; an install of the previous version, then a major upgrade without
# ADDR, keep the address and a service that answers through the pipe; the Sdk feature comes and
# goes with REMOVE/ADDLOCAL; /x leaves nothing of ours in the registry, the service database or
# the program folder; DulvexSetup.exe and Dulvex.msi leave the same files, values, service and
# folders behind.
#
# Usage: msi_test.sh MSI PREVIOUS_MSI VERSION SETUP PROBE
source "$(dirname "$0")/../e2e/lib.sh"
msi=$1
previous=$2
version=$3
setup=$4
probe=$5
e2e_require
e2e_private_prefix msi
e2e_termsim --reply=all

instdir="$WINEPREFIX/drive_c/Program Files/Dulvex/Dulvex Bridge"
makerdir="$WINEPREFIX/drive_c/Program Files/Dulvex"
datadir="$WINEPREFIX/drive_c/ProgramData/Dulvex"
sysdir="$WINEPREFIX/drive_c/windows/system32"
config='HKLM\Software\Varnok\PaymentTermService'
svckey='HKLM\System\CurrentControlSet\Services\DulvexService'
eventkey='HKLM\System\CurrentControlSet\Services\EventLog\Application\DulvexService'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

w() { $DULVEX_WINE "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# msiexec's status is the Win32 code modulo 256 under Wine: 0 done, 67 (1603) failed.
# A run that finds the previous one's install mutex still held gets 1618 (82), as on Windows
# right after another installation; and under load Wine now and then fails to start msiexec at
# all (exit 1, no log written). Both are tried again, as a deployment tool would.
msiexec() { # log-name, then msiexec's arguments
    local log=$1 rc try
    shift
    for try in 1 2 3 4 5; do
        rm -f "$E2E_WORK/$log.log"
        $DULVEX_WINE msiexec "$@" /qn /l*v "$(winpath "$E2E_WORK/$log.log")" </dev/null >/dev/null \
            2>"${MSI_STDERR:-/dev/null}"
        rc=$?
        if [ "$rc" -eq 82 ]; then
            echo "msiexec $log: 1618 (another installation runs), try $try"
        elif [ "$rc" -ne 0 ] && [ ! -e "$E2E_WORK/$log.log" ]; then
            echo "msiexec $log: exit $rc without a log (not started), try $try"
        else
            break
        fi
        sleep 1
    done
    # The failing action and what led to it, for the test's output (the log's tail shows only
    # the rollback). Wine's msi logs a failed action as "Return value 0", Windows' as 3.
    [ "$rc" -eq 0 ] || tr -d '\r\0' <"$E2E_WORK/$log.log" 2>/dev/null | grep -E -B6 -m1 'Return value [03]\.' |
        sed "s/^/  $log: /"
    return "$rc"
}
# The prefix is a copy of the build's shared one, where earlier tests may have left the service's
# key, its event source, its service entry or files: "nothing left behind" is judged against a
# machine that never had any of them.
for try in 1 2 3; do
    $DULVEX_WINE reg delete 'HKLM\Software\Varnok' /f </dev/null >/dev/null 2>&1
    $DULVEX_WINE reg delete "$eventkey" /f </dev/null >/dev/null 2>&1
    $DULVEX_WINE sc delete DulvexService </dev/null >/dev/null 2>&1
    if ! $DULVEX_WINE reg query 'HKLM\Software\Varnok' </dev/null >/dev/null 2>&1 &&
        ! $DULVEX_WINE reg query "$eventkey" </dev/null >/dev/null 2>&1; then
        break
    fi
done
rm -rf "$makerdir" "$datadir" "$sysdir/DulvexCpl.cpl"
reg_value() { # key value -> the data as reg query prints it, or "absent"
    local out
    out=$(w reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p")
    # Under a loaded machine Wine now and then fails to start a program at all (no output):
    # an absent value is asked once more.
    [ -n "$out" ] || out=$(w reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p")
    printf '%s\n' "${out:-absent}"
}
# The products registered under Add or Remove Programs with our name: "version" per line.
products() {
    local key
    w reg query "$uninstall" | grep -o '{[0-9A-F-]*}' | while read -r key; do
        [ "$(reg_value "$uninstall\\$key" DisplayName)" = "Dulvex Bridge" ] &&
            reg_value "$uninstall\\$key" DisplayVersion
    done
}
state() { w sc query DulvexService | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
served() { # name
    client send --mask 0x01 --cmd 0x0123 --data 00ff --wait 2 >"$E2E_WORK/send.out"
    expect_grep "$E2E_WORK/send.out" "mask=0x01 cmd=0x8123 status=0x0000 len=2 data=00ff" \
        "$1: the service answers through the pipe"
}
check_nothing_left() { # name
    check_eq "$1: no service" "" "$(state)"
    check_eq "$1: no product" "" "$(products)"
    check_eq "$1: no address" "absent" "$(reg_value "$config" Addr)"
    check_eq "$1: no client accounts" "absent" "$(reg_value "$config" ClientAccounts)"
    $DULVEX_WINE reg query 'HKLM\Software\Varnok' </dev/null >/dev/null 2>&1
    check_eq "$1: no configuration key" 1 $?
    check_eq "$1: no event source" "absent" "$(reg_value "$eventkey" EventMessageFile)"
    check_eq "$1: no program folder" "" "$(find "$makerdir" "$datadir" 2>/dev/null)"
    check_cmd "$1: no applet" test ! -e "$sysdir/DulvexCpl.cpl"
}
sdk_files() { (cd "$instdir" 2>/dev/null && find sdk tools dulvex-client.exe -type f 2>/dev/null | LC_ALL=C sort | wc -l); }

wine_quiet reg delete "$config" /v Addr /f
wine_quiet "$SRV" -remove

# --- A bad ADDR: the reason in the log, nothing left -----------------------------------------
while IFS='|' read -r bad reason; do
    msiexec bad /i "$(winpath "$msi")" "ADDR=$bad"
    check_eq "ADDR=$bad: msiexec fails (1603)" 67 $?
    check_match "ADDR=$bad: the reason in the log" \
        "The terminal address \"$bad\" $reason\\. Nothing was changed\\." "$(tr -d '\r\0' <"$E2E_WORK/bad.log")"
done <<'EOF'
198.18.0.256|has a number above 255
198.18.0|is not four numbers separated by single dots
0.0.0.0|.*
EOF
check_nothing_left "bad ADDR"

# --- The previous version, then a major upgrade without ADDR ---------------------------------
# Blanks around names and empty names are dropped; a name may hold a blank.
msiexec previous /i "$(winpath "$previous")" ADDR=198.18.0.2 "CLIENTACCOUNTS=POS; S-1-5-21-1-2-3-1001 ;;Kasse 2"
check_eq "previous version: installed" 0 $?
check_eq "previous version: service runs" RUNNING "$(state)"
check_eq "previous version: address" 198.18.0.2 "$(reg_value "$config" Addr)"
check_eq "previous version: client accounts, one string each" 'POS\0S-1-5-21-1-2-3-1001\0Kasse 2' \
    "$(reg_value "$config" ClientAccounts)"
served "previous version"

MSI_STDERR=$E2E_WORK/upgrade-service.trace WINEDEBUG=trace+service msiexec upgrade /i "$(winpath "$msi")"
check_eq "upgrade: installed" 0 $?
# Wine's Windows Installer is 4.5: the recovery actions come from our call, which Wine's service
# manager accepts and forgets; the call (level 2, FAILURE_ACTIONS) is what can be shown.
check_match "upgrade: the recovery actions are set" "ChangeServiceConfig2[AW] [0-9A-Fa-fx]+ 2 " \
    "$(grep -a ChangeServiceConfig2 "$E2E_WORK/upgrade-service.trace")"
check_match "upgrade: the recovery actions in the log" \
    "DulvexSetRecoveryActions: restart after 5 s twice, reset after a day -> 0" "$(tr -d '\r\0' <"$E2E_WORK/upgrade.log")"
check_eq "upgrade: one product, the new version" "$version" "$(products)"
check_eq "upgrade: address kept" 198.18.0.2 "$(reg_value "$config" Addr)"
check_eq "upgrade: client accounts kept" 'POS\0S-1-5-21-1-2-3-1001\0Kasse 2' \
    "$(reg_value "$config" ClientAccounts)"
check_eq "upgrade: service runs" RUNNING "$(state)"
check_eq "upgrade: the service's image, quoted" '"C:\Program Files\Dulvex\Dulvex Bridge\DulvexSrv.exe"' \
    "$(reg_value 'HKLM\System\CurrentControlSet\Services\DulvexService' ImagePath)"
check_eq "upgrade: event source" 'C:\Program Files\Dulvex\Dulvex Bridge\DulvexSrv.exe' \
    "$(reg_value "$eventkey" EventMessageFile)"
check_eq "upgrade: event types" 0x7 "$(reg_value "$eventkey" TypesSupported)"
check_cmd "upgrade: the service program is the built one" cmp -s "$SRV" "$instdir/DulvexSrv.exe"
check_cmd "upgrade: the log folder" test -d "$datadir/Logs"
served "upgrade"

# --- The Sdk feature on its own --------------------------------------------------------------
msiexec remove-sdk /i "$(winpath "$msi")" REMOVE=Sdk
check_eq "REMOVE=Sdk: done" 0 $?
check_eq "REMOVE=Sdk: no tools or SDK files" 0 "$(sdk_files)"
check_cmd "REMOVE=Sdk: the service program stays" test -f "$instdir/DulvexSrv.exe"
msiexec add-sdk /i "$(winpath "$msi")" ADDLOCAL=Sdk
check_eq "ADDLOCAL=Sdk: done" 0 $?
check_eq "ADDLOCAL=Sdk: the tools and SDK files" 18 "$(sdk_files)"
check_eq "features: address kept" 198.18.0.2 "$(reg_value "$config" Addr)"

# --- Removal ---------------------------------------------------------------------------------
msiexec remove /x "$(winpath "$msi")"
check_eq "/x: done" 0 $?
check_nothing_left "/x"

# --- Both installers leave the same ----------------------------------------------------------
# Files by content, the applet, the event source, the address, the service's registration and
# state, the log folder's DACL as Wine reads it back. NSIS's own uninstaller is its only extra.
snapshot() {
    (cd "$instdir" && find . -type f ! -name Uninstall.exe -exec md5sum {} + | LC_ALL=C sort -k2)
    md5sum <"$sysdir/DulvexCpl.cpl"
    local v
    for v in EventMessageFile TypesSupported; do echo "$v=$(reg_value "$eventkey" $v)"; done
    echo "Addr=$(reg_value "$config" Addr)"
    echo "ClientAccounts=$(reg_value "$config" ClientAccounts)"
    for v in ImagePath Start Type ErrorControl DisplayName Description ObjectName; do
        echo "$v=$(reg_value "$svckey" $v)"
    done
    echo "state=$(state)"
    echo "log folder: $(w "$probe" dacl 'C:\ProgramData\Dulvex\Logs')"
}
msiexec same /i "$(winpath "$msi")" ADDR=198.18.0.2 "CLIENTACCOUNTS=POS;Kasse 2"
check_eq "MSI for the comparison: installed" 0 $?
snapshot >"$E2E_WORK/msi.snap"
msiexec same-remove /x "$(winpath "$msi")"
check_eq "MSI for the comparison: removed" 0 $?
WINEDEBUG=trace+service $DULVEX_WINE "$setup" /S '/LOG=C:\setup.log' /ADDR=198.18.0.2 "/CLIENTS=POS;Kasse 2" </dev/null \
    >/dev/null 2>"$E2E_WORK/setup-service.trace"
check_eq "NSIS for the comparison: installed" 0 $?
# Wine stores no failure actions: the call is what can be shown (level 2, FAILURE_ACTIONS).
check_match "NSIS: the recovery actions are set" "ChangeServiceConfig2[AW] [0-9A-Fa-fx]+ 2 " \
    "$(grep -a ChangeServiceConfig2 "$E2E_WORK/setup-service.trace")"
check_match "NSIS: the recovery actions in the log" \
    "Recovery actions: restart after 5 s on the first and second failure, reset after a day \(result 0\)" \
    "$(tr -d '\r' <"$WINEPREFIX/drive_c/setup.log")"
snapshot >"$E2E_WORK/nsis.snap"
check_eq "both installers leave the same" "$(cat "$E2E_WORK/msi.snap")" "$(cat "$E2E_WORK/nsis.snap")"
# Wine keeps a DACL given at creation only as mode bits and reads back the process's account for
# the administrators and no "protected" flag: no other account may be the proof that is left.
check_match "the log folder: SYSTEM and the administrators' account only" \
    '^log folder: D:P?(\(A;OICI;FA;;;(SY|BA|S-1-5-21-0-0-0-1000)\))+$' "$(grep '^log folder' "$E2E_WORK/msi.snap")"
cp "$instdir/Uninstall.exe" "$WINEPREFIX/drive_c/uninstall-copy.exe"
# NSIS takes "_?=" only unquoted and last.
set -f
# shellcheck disable=SC2086
winstdir='C:\Program Files\Dulvex\Dulvex Bridge'
$DULVEX_WINE "$WINEPREFIX/drive_c/uninstall-copy.exe" /S _?=$winstdir </dev/null >/dev/null 2>&1
set +f
# NSIS's removal keeps the settings for a later installation.
check_eq "NSIS removal: client accounts kept" 'POS\0Kasse 2' "$(reg_value "$config" ClientAccounts)"
wine_quiet reg delete 'HKLM\Software\Varnok' /f
check_nothing_left "NSIS removal"

# --- A first installation with the program only, as the docs' fleet line ---------------------
msiexec program-only /i "$(winpath "$msi")" ADDR=198.18.0.2 ADDLOCAL=Program
check_eq "ADDLOCAL=Program: installed" 0 $?
check_eq "ADDLOCAL=Program: no tools or SDK files" 0 "$(sdk_files)"
check_eq "ADDLOCAL=Program: service runs" RUNNING "$(state)"
msiexec program-only-remove /x "$(winpath "$msi")"
check_nothing_left "ADDLOCAL=Program, then /x"

echo "$CHECKS checks, $FAILURES failed, ${SECONDS} s"
[ "$FAILURES" -eq 0 ]
