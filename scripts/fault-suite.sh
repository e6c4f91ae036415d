#!/bin/bash
# The reliability suite: link faults at 0, 5, 20 and 40% loss, client abuse, bad datagrams,
# all against the real DulvexSrv.exe under Wine with termsim in the terminal's namespace.
#   scripts/fault-suite.sh          the CI sizes (as CTest runs them: ctest -R '^rel_')
#   scripts/fault-suite.sh --long   bigger runs: 5x the packets, 10,000 connect cycles, 8 seeds
# Builds what it needs in build/rel-win64 and build/rel-native; needs root. Prints each test's
# table and ends with "N passed, M failed".
set -u
cd "$(dirname "$0")/.."
SOURCE=$(pwd)
W64=${REL_WIN64:-$SOURCE/build/rel-win64}
NAT=${REL_NATIVE:-$SOURCE/build/rel-native}
mode=ci
case "${1:-}" in
--long) mode=long ;;
"") ;;
*) echo "usage: scripts/fault-suite.sh [--long]"; exit 2 ;;
esac
[ -d "$W64" ] || cmake --preset win64 -B "$W64" >/dev/null
[ -d "$NAT" ] || cmake --preset native -B "$NAT" >/dev/null
cmake --build "$W64" -j2 --target DulvexSrv dulvex-client rel_client >/dev/null || { echo "win64 build failed"; exit 1; }
cmake --build "$NAT" -j2 --target termsim fault_limit >/dev/null || { echo "native build failed"; exit 1; }

export DULVEX_BUILD=$W64 DULVEX_SOURCE=$SOURCE WINEPREFIX=$W64/wineprefix REL_MODE=$mode
export DULVEX_WINE="$SOURCE/tools/wine/run.sh $WINEPREFIX" DULVEX_NATIVE_BUILD=$NAT
passed=0 failed=0
for t in link_faults client_abuse bad_datagrams; do
    echo "===== $t ($mode)"
    start=$(date +%s)
    bash "$SOURCE/tests/reliability/$t.sh"
    rc=$?
    echo "===== $t: exit code $rc after $(( $(date +%s) - start )) s"
    if [ "$rc" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
