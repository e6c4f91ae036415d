#!/bin/bash
# Runs one Windows program under Wine in the build tree's own prefix; CTest uses it as the
# cross-compiling emulator. Usage: run.sh PREFIX PROGRAM [ARGS...]
#
# The prefix is created on first use (serialised by a lock, since CTest runs tests in parallel).
# The first Wine command of a session starts services.exe and friends, which inherit that
# command's stdout and stderr: started here with output to /dev/null, so that CTest's pipes
# close when the test program ends. A persistent wineserver keeps later starts cheap.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEDEBUG=${WINEDEBUG:--all}

(
    flock 9
    if [ ! -f "$prefix/.dulvex-ready" ]; then
        rm -rf "$prefix"
        wineboot -i >/dev/null 2>&1 </dev/null 9>&-
        # No window manager here: let dialogs close at once instead of after two seconds.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null 9>&-
        wineserver -w 9>&-
        touch "$prefix/.dulvex-ready"
    fi
    # Fails harmlessly when this prefix's server runs already. Lock descriptors (this one, and
    # 8, which tests hold while they use the terminal's namespace) must not leak into the
    # server and its services, or the locks would be held for as long as those live.
    wineserver -p60 >/dev/null 2>&1 </dev/null 8>&- 9>&-
    wine cmd /c exit >/dev/null 2>&1 </dev/null 8>&- 9>&-
) 9>"$prefix.lock"

exec wine "$@"
