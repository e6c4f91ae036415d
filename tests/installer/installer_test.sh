#!/bin/bash
# The installer end to end under Wine, in a clean prefix of its own: refused addresses change
# nothing, a silent install leaves a running service that a client can reach, an install over it
# replaces the files and restarts the service, a failed start is rolled back, and the uninstaller
# removes everything but the terminal address. The tools and SDK are installed unless /NOSDK says
# otherwise, and go with the uninstaller, the rollback or an install with /NOSDK.
#
# Usage: installer_test.sh SETUP PROBE SRV_EXE [CPL_FILE]
# Environment (from CTest): DULVEX_BUILD, DULVEX_SOURCE, DULVEX_CLIENT_EXE (the built pipe client
# tool).
# Only loopback terminal addresses: the installed service sends to the one it is given.
set -u
setup=$1
probe=$2
srv_built=$3
cpl_built=${4:-}

# Where the system allows it, the whole test runs in a network namespace of its own with only a
# loopback interface: nothing the service sends can leave the machine, and terminal ports held by
# other programs on this host do not get in the way.
if [ -z "${DULVEX_INSTALLER_NETNS:-}" ] && unshare -n true 2>/dev/null; then
    export DULVEX_INSTALLER_NETNS=1
    exec unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi

template=$DULVEX_BUILD/installer-template
prefix=$DULVEX_BUILD/installer-prefix
SHELL_LIB_QUIET=1
source "$(dirname "$0")/../shell_lib.sh"

# The service binds the terminal ports on this host; a test or tool of another build that holds
# them would make every start fail. Wait for them, or skip.
skip=77
for ((waited = 0; ; waited++)); do
    busy=$(ss -Huan 2>/dev/null | awk '{print $4}' | grep -E ':3333[2-6]$')
    [ -z "$busy" ] && break
    if [ "$waited" -ge 180 ]; then
        echo "SKIP: UDP ports 33332-33336 stay in use on this host: $busy"
        exit $skip
    fi
    sleep 1
done

# A fresh prefix made once per build tree and then only copied: the build's own prefix carries
# whatever other tests registered in it. Its server is stopped first so the copy is consistent.
"$DULVEX_SOURCE/tools/wine/run.sh" "$template" cmd /c exit >/dev/null 2>&1 </dev/null
WINEPREFIX=$template wineserver -k >/dev/null 2>&1
WINEPREFIX=$template wineserver -w >/dev/null 2>&1
rm -rf "$prefix"
cp -a "$template" "$prefix" || exit 1

# A virtual display of its own for the interactive installer, there before the session starts:
# Wine's desktop process is made by the session's first program and keeps its display.
xvfb=
unset DISPLAY
if command -v Xvfb >/dev/null; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$prefix.display" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 50); do
        [ -s "$prefix.display" ] && break
        sleep 0.1
    done
    [ -s "$prefix.display" ] && export DISPLAY=:$(head -n 1 "$prefix.display")
fi

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The session's first command starts services.exe, which keeps the descriptors it inherits.
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null

interactive=
cleanup() {
    [ -n "$interactive" ] && kill "$interactive" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -f "$prefix.display"
    wine "$probe" release >/dev/null 2>&1 </dev/null
    # An auto-start service would start again with this prefix's next server.
    wine sc stop DulvexService >/dev/null 2>&1 </dev/null
    wine sc delete DulvexService >/dev/null 2>&1 </dev/null
    wine sc delete DvxSquatter >/dev/null 2>&1 </dev/null
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ "$FAILURES" -eq 0 ]; then
        rm -rf "$prefix"
    fi
}
trap cleanup EXIT

instdir="$prefix/drive_c/Program Files/Dulvex/Dulvex Bridge"
makerdir="$prefix/drive_c/Program Files/Dulvex"
sysdir="$prefix/drive_c/windows/system32"
datadir="$prefix/drive_c/ProgramData/Dulvex"
winstdir='C:\Program Files\Dulvex\Dulvex Bridge'
log="$prefix/drive_c/setup.log"

# Runs a program in the prefix; its output without carriage returns.
w() { wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# The probe always prints an answer; an empty one means Wine failed to start it (seen once under
# a heavily loaded machine), so it is asked once more.
probe() {
    local out
    out=$(w "$probe" "$@")
    [ -n "$out" ] || out=$(w "$probe" "$@")
    printf '%s\n' "$out"
}
runs=0
setup() {
    local rc
    wine "$setup" /S '/LOG=C:\setup.log' "$@" </dev/null >/dev/null 2>&1
    rc=$?
    runs=$((runs + 1))
    { echo "== run $runs: $* -> $rc"; tr -d '\r' <"$log"; echo; } >>"$prefix/setup-runs.log" 2>/dev/null
    return $rc
}

check_file_same() { # name built installed
    if cmp -s "$2" "$3"; then pass "$1"; else fail "$1: $3 is not the built file $2"; fi
}
check_absent() { # name path
    if [ -e "$2" ]; then
        fail "$1: $2 exists:"
        find "$2" | sed 's/^/  /'
    else
        pass "$1"
    fi
}
# The 16 bytes the service reads for an address: its text, its NUL, zeros after it.
addr_bytes() {
    local text=$1 out="" i
    for ((i = 0; i < 16; i++)); do
        local c=00
        [ $i -lt ${#text} ] && c=$(printf '%02x' "'${text:i:1}")
        out+="${out:+ }$c"
    done
    echo "type=1 size=16 data=$out"
}
service_pid() { probe service | sed -n 's/.* pid=\([0-9]*\) .*/\1/p'; }
# Every file under the program folder, by its path there.
installed_files() { (cd "$instdir" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }
check_no_sdk() { # name
    check_eq "$1: only the program files" "DulvexSrv.exe
Uninstall.exe" "$(installed_files)"
    check_absent "$1: no SDK folder" "$instdir/sdk"
    check_absent "$1: no tools folder" "$instdir/tools"
}

# --- Refused addresses, before anything is installed ----------------------------------------
# Each built so that a wrong acceptance could only ever point the service at a loopback address.
for bad in "127.0.0" "127.0.0.256" "127.0.0.1.5" "127.0.0.01" "127..0.1" "a.b.c.d" "" "0.0.0.0" \
           "224.0.0.1" "255.255.255.255" "127.0.0.9x" "-127.0.0.1" "127.0.0.9/24" "1270.0.0.1" \
           ".127.0.0.1" " 127.0.0.9" "127.0.0.9 x"; do
    setup "/ADDR=$bad"
    check_eq "bad address '$bad': exit code" 3 $?
    check_match "bad address '$bad': logged" "The terminal address \"$bad\" .*; nothing was changed" \
        "$(tr -d '\r' <"$log" 2>/dev/null)"
done
check_eq "bad addresses: no service" "absent (1060)" "$(probe service)"
check_eq "bad addresses: no address value" "absent key" "$(probe addr)"
check_eq "bad addresses: no Add/Remove entry" "absent" "$(probe entry)"
check_absent "bad addresses: no program folder" "$makerdir"
check_absent "bad addresses: no log folder" "$datadir"

# --- A registration that fails is reported in the program's own words ----------------------
# Another service that shows our service's name as its display name makes CreateService fail.
w sc create DvxSquatter binpath= 'C:\nothing.exe' displayname= DulvexService >/dev/null
setup /ADDR=127.0.0.2
check_eq "failed registration: exit code" 2 $?
check_match "failed registration: the program's output in the message" \
    "Installation failed: the service could not be registered: CreateService failed - " "$(tr -d '\r' <"$log")"
w sc delete DvxSquatter >/dev/null
check_eq "failed registration: no service" "absent (1060)" "$(probe service)"
check_absent "failed registration: no program folder" "$makerdir"
check_eq "failed registration: no address value" "absent key" "$(probe addr)"

# --- First installation ---------------------------------------------------------------------
setup /ADDR=127.0.0.2
check_eq "install: exit code" 0 $?
check_eq "install: last log line" "Dulvex Bridge 1.0.2.1 is installed and the service runs." \
    "$(tr -d '\r' <"$log" | tail -n 1)"
check_file_same "install: service program" "$srv_built" "$instdir/DulvexSrv.exe"
if [ -n "$cpl_built" ]; then
    check_file_same "install: applet in the system folder" "$cpl_built" "$sysdir/DulvexCpl.cpl"
fi
check_eq "install: the program folder with the tools and SDK" "DulvexSrv.exe
Uninstall.exe
dulvex-client.exe
sdk/bin/SdkSample.exe
sdk/bin/dulvex.dll
sdk/bin/sdk_sample.exe
sdk/docs/configuration.md
sdk/docs/delivery.md
sdk/docs/field-kit.md
sdk/docs/installer.md
sdk/docs/link-protocol.md
sdk/docs/pipe-protocol.md
sdk/docs/troubleshooting.md
sdk/include/dulvex_sdk.h
sdk/lib/dulvex.lib
sdk/lib/libdulvex.dll.a
sdk/samples/csharp/DulvexSdk.cs
sdk/samples/csharp/SdkSample.cs
sdk/samples/sdk_sample.c
tools/wireshark/dulvex.lua" "$(installed_files)"
while read -r built installed; do
    check_file_same "install: $installed" "$built" "$instdir/$installed"
done <<EOF
$DULVEX_CLIENT_EXE dulvex-client.exe
$DULVEX_BUILD/sdk/dulvex.dll sdk/bin/dulvex.dll
$DULVEX_BUILD/sdk/dulvex.lib sdk/lib/dulvex.lib
$DULVEX_SOURCE/tools/client/dulvex_sdk.h sdk/include/dulvex_sdk.h
$DULVEX_SOURCE/tools/wireshark/dulvex.lua tools/wireshark/dulvex.lua
EOF
# A usage error comes after the loader has found the DLL beside the sample.
wine "$instdir/sdk/bin/sdk_sample.exe" 0 </dev/null >/dev/null 2>&1
check_eq "install: the installed sample loads the installed DLL (usage error)" 2 $?
check_match "install: service runs, auto start, installed program" \
    "^state=4 start=2 pid=[0-9]+ image=\"C:\\\\Program Files\\\\Dulvex\\\\Dulvex Bridge\\\\DulvexSrv.exe\"$" \
    "$(probe service)"
check_match "install: sc query" "STATE +: 4  RUNNING" "$(w sc query DulvexService)"
check_eq "install: address value" "$(addr_bytes 127.0.0.2)" "$(probe addr)"
check_eq "install: client pipe" "pipe=open message-mode=1" "$(probe pipe)"
# The integrators' own tool, as installed: one capture record (dropped by the service without its
# debug folder) proves a client connects and writes.
wine "$instdir/dulvex-client.exe" capture "installer test" </dev/null >/dev/null 2>&1
check_eq "install: dulvex-client connects and writes" 0 $?
pid1=$(service_pid)
check_eq "install: status block" "pid=$pid1 addr=127.0.0.2" "$(probe ident)"
check_eq "install: Add/Remove entry" "DisplayName=Dulvex Bridge
DisplayVersion=1.0.2.1
Publisher=Dulvex
InstallLocation=$winstdir
UninstallString=\"$winstdir\\Uninstall.exe\"" "$(probe entry)"
check_eq "install: event source" "EventMessageFile=$winstdir\\DulvexSrv.exe" "$(probe eventsource)"
# Wine keeps a DACL given at creation as mode bits: no Everyone entry is what can be read back.
check_match "install: the log folder for SYSTEM and the administrators only" \
    '^D:P?(\(A;OICI;FA;;;(SY|BA|S-1-5-21-0-0-0-1000)\))+$' "$(probe dacl 'C:\ProgramData\Dulvex\Logs')"

# --- A refused address leaves the installation alone ----------------------------------------
setup /ADDR=127.0.0.256
check_eq "bad address over an installation: exit code" 3 $?
check_eq "bad address over an installation: same service" "$pid1" "$(service_pid)"
check_eq "bad address over an installation: address kept" "$(addr_bytes 127.0.0.2)" "$(probe addr)"

# --- Install over it without the SDK: files replaced, SDK removed, service restarted ---------
printf 'stale' >>"$instdir/DulvexSrv.exe"
if [ -n "$cpl_built" ]; then
    printf 'stale' >"$sysdir/DulvexCpl.cpl"
fi
setup /NOSDK
check_eq "upgrade: exit code" 0 $?
check_file_same "upgrade: service program replaced" "$srv_built" "$instdir/DulvexSrv.exe"
if [ -n "$cpl_built" ]; then
    check_file_same "upgrade: applet replaced" "$cpl_built" "$sysdir/DulvexCpl.cpl"
fi
pid2=$(service_pid)
check_match "upgrade: service runs" "^state=4 " "$(probe service)"
if [ -z "$pid2" ] || [ "$pid2" = "$pid1" ]; then
    fail "upgrade: the service was not restarted (pid $pid1 before, '$pid2' after)"
else
    pass "upgrade: the service was restarted"
fi
check_eq "upgrade without an address: address kept" "$(addr_bytes 127.0.0.2)" "$(probe addr)"
check_eq "upgrade: client pipe" "pipe=open message-mode=1" "$(probe pipe)"
check_no_sdk "upgrade with /NOSDK"

# --- Install over it with a new address: the restarted service uses it ----------------------
setup /ADDR=127.0.0.3
check_eq "new address: exit code" 0 $?
check_eq "new address: value" "$(addr_bytes 127.0.0.3)" "$(probe addr)"
check_eq "new address: published by the restarted service" "pid=$(service_pid) addr=127.0.0.3" "$(probe ident)"
check_file_same "new address: the SDK is back" "$DULVEX_BUILD/sdk/dulvex.dll" "$instdir/sdk/bin/dulvex.dll"

# --- Removal, waited for: run a copy of the uninstaller in place of the folder -------------
cp "$instdir/Uninstall.exe" "$prefix/drive_c/uninstall-copy.exe"
# An integrator's own file in a folder of the SDK stays, and so do the folders that hold it.
printf 'int main(void) { return 0; }\n' >"$instdir/sdk/samples/pos.c"
# NSIS takes "_?=" only unquoted and last: the folder goes in as separate words, which Wine joins
# with single blanks into the command line.
# shellcheck disable=SC2086
set -f
wine "$prefix/drive_c/uninstall-copy.exe" /S '/LOG=C:\uninstall.log' _?=$winstdir </dev/null >/dev/null 2>&1
check_eq "uninstall: exit code" 0 $?
set +f
check_eq "uninstall: service gone" "absent (1060)" "$(probe service)"
check_eq "uninstall: only the integrator's own file stays" "$makerdir
$instdir
$instdir/sdk
$instdir/sdk/samples
$instdir/sdk/samples/pos.c" "$(find "$makerdir" | LC_ALL=C sort)"
rm -rf "$makerdir"
check_absent "uninstall: applet gone" "$sysdir/DulvexCpl.cpl"
check_eq "uninstall: Add/Remove entry gone" "absent" "$(probe entry)"
check_eq "uninstall: event source gone" "absent" "$(probe eventsource)"
check_eq "uninstall: address kept" "$(addr_bytes 127.0.0.3)" "$(probe addr)"
rm -f "$prefix/drive_c/uninstall-copy.exe"

# --- A service that cannot start is not left behind -----------------------------------------
# A status block that exists already makes the service end at once without serving.
wine "$probe" hold-ident </dev/null >/dev/null 2>&1 &
holder=$!
for _ in $(seq 50); do
    [[ $(probe ident) == pid=0* ]] && break
    sleep 0.1
done
setup /ADDR=127.0.0.4
check_eq "failed start: exit code" 2 $?
check_match "failed start: logged" "Installation failed: the service did not keep running" \
    "$(tr -d '\r' <"$log")"
check_eq "failed start: no service" "absent (1060)" "$(probe service)"
check_absent "failed start: no program folder" "$makerdir"
check_absent "failed start: no applet" "$sysdir/DulvexCpl.cpl"
check_absent "failed start: no log folder" "$datadir"
check_eq "failed start: no Add/Remove entry" "absent" "$(probe entry)"
check_eq "failed start: address restored" "$(addr_bytes 127.0.0.3)" "$(probe addr)"
wine "$probe" release >/dev/null 2>&1 </dev/null
wait "$holder"

# --- The plain uninstaller, as Add or Remove Programs runs it --------------------------------
# It hands over to a copy of itself in the temporary folder and returns at once: the test waits
# for the copy's work to show.
setup
check_eq "reinstall: exit code" 0 $?
check_eq "reinstall without an address: address kept" "$(addr_bytes 127.0.0.3)" "$(probe addr)"
wine "$instdir/Uninstall.exe" /S </dev/null >/dev/null 2>&1
check_eq "plain uninstall: exit code" 0 $?
for _ in $(seq 100); do
    [ "$(probe entry)" = absent ] && [ ! -e "$makerdir" ] && break
    sleep 0.2
done
check_eq "plain uninstall: service gone" "absent (1060)" "$(probe service)"
check_eq "plain uninstall: Add/Remove entry gone" "absent" "$(probe entry)"
check_absent "plain uninstall: program folder gone" "$makerdir"
check_absent "plain uninstall: log folder gone" "$datadir"

# --- A service registered by hand from another folder is taken over -------------------------
mkdir -p "$prefix/drive_c/handinst"
cp "$srv_built" "$prefix/drive_c/handinst/DulvexSrv.exe"
w "$prefix/drive_c/handinst/DulvexSrv.exe" -install >/dev/null
w sc start DulvexService >/dev/null
check_match "hand installation runs" '^state=[24] start=2 pid=[0-9]+ image=C:\\handinst\\DulvexSrv.exe$' \
    "$(probe service)"
setup /NOSDK
check_eq "over a hand installation: exit code" 0 $?
check_no_sdk "first installation with /NOSDK"
check_match "over a hand installation: the installed copy runs" \
    "^state=4 start=2 pid=[0-9]+ image=\"C:\\\\Program Files\\\\Dulvex\\\\Dulvex Bridge\\\\DulvexSrv.exe\"$" \
    "$(probe service)"
check_eq "over a hand installation: event source" "EventMessageFile=$winstdir\\DulvexSrv.exe" "$(probe eventsource)"

# --- The interactive installer, driven through its pages on a virtual display ---------------
ui_driver=$(dirname "$probe")/install_ui_driver.exe
if [ -n "${DISPLAY:-}" ] && [ -f "$ui_driver" ]; then
    wine "$setup" '/LOG=C:\setup.log' </dev/null >/dev/null 2>&1 &
    interactive=$!
    check_eq "interactive: pages" "ok installer window
ok welcome page
ok address page
refusal: \"127.0.0.300\" has a number above 255.
ok wrong address refused with a message
ok address page kept after the refusal
ok folder page
ok finish page
ok installer closed" "$(w "$ui_driver" 127.0.0.300 127.0.0.5)"
    # A page that did not come leaves the installer open: it is ended, not waited for.
    for _ in $(seq 100); do
        kill -0 "$interactive" 2>/dev/null || break
        sleep 0.1
    done
    kill "$interactive" 2>/dev/null
    wait "$interactive"
    check_eq "interactive: exit code" 0 $?
    check_eq "interactive: address value" "$(addr_bytes 127.0.0.5)" "$(probe addr)"
    check_eq "interactive: service uses it" "pid=$(service_pid) addr=127.0.0.5" "$(probe ident)"
    interactive=
else
    echo "interactive installer not tested: no Xvfb or no driver"
fi

echo "$CHECKS checks, $FAILURES failed, ${SECONDS} s"
if [ "$FAILURES" -ne 0 ]; then
    echo "Installer logs:"
    cat "$prefix/setup-runs.log"
fi
[ "$FAILURES" -eq 0 ]
