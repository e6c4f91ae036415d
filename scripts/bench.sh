#!/bin/bash
# Runs every whole-service benchmark in one go and prints one table (Markdown) with the machine
# and the date. Each ratio is taken side by side in the same run, as this machine is shared:
#   round trips through the bridge (the pipe client -> DulvexSrv.exe under Wine -> UDP -> termsim
#   in the terminal's namespace and back), with 1 application and with all 5 (one command to mask
#   0x1F, waiting for the 5 responses), beside the floor without the bridge: a pipe echo server
#   under Wine with the same client loop, plus UDP echoes from a Wine process to a native peer in
#   the same namespace;
#   idle CPU of the service's process over 30 s; its memory after start and after 100,000
#   messages; heap allocations per message of the wire format and the link (native counters).
# Needs root (namespace). Options: --rounds N (default 5000), --quick (fewer rounds, 10 s idle).
# Builds what it needs in build/rel-win64 and build/rel-native.
set -u
cd "$(dirname "$0")/.."
SOURCE=$(pwd)
W64=${REL_WIN64:-$SOURCE/build/rel-win64}
NAT=${REL_NATIVE:-$SOURCE/build/rel-native}
rounds=5000
idle_s=30
bulk_rounds=20000   # x 5 applications = 100,000 messages
while [ $# -gt 0 ]; do
    case "$1" in
    --rounds) rounds=$2; shift ;;
    --quick) rounds=500; idle_s=10; bulk_rounds=2000 ;;
    *) echo "usage: scripts/bench.sh [--rounds N] [--quick]"; exit 2 ;;
    esac
    shift
done
[ "$(id -u)" = 0 ] || { echo "bench: needs root for the terminal's namespace"; exit 1; }

[ -d "$W64" ] || cmake --preset win64 -B "$W64" >/dev/null
[ -d "$NAT" ] || cmake --preset native -B "$NAT" >/dev/null
cmake --build "$W64" -j2 --target DulvexSrv dulvex-client roundtrip pipe_echo udp_rtt >/dev/null || { echo "bench: win64 build failed"; exit 1; }
cmake --build "$NAT" -j2 --target termsim udp_echo codec_alloc link_bench >/dev/null || { echo "bench: native build failed"; exit 1; }

export DULVEX_BUILD=$W64 DULVEX_SOURCE=$SOURCE WINEPREFIX=$W64/wineprefix
export DULVEX_WINE="$SOURCE/tools/wine/run.sh $WINEPREFIX"
export DULVEX_TERMSIM=$NAT/tools/termsim/termsim
# One user of the namespace and the terminal's ports at a time, across build trees.
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "bench: the namespace stayed busy"; exit 1; }
source "$SOURCE/tests/e2e/lib.sh"
e2e_require
bash "$NETNS" up && bash "$NETNS" check || exit 1
e2e_configure 198.18.0.2
W=$E2E_WORK
ECHO_PIPE='\\.\pipe\varnok\DulvexBenchEcho'
PIPE_ECHO_PID= UDP_ECHO_PID= SRV_SESSION=dulvex-bench-$$
bench_cleanup() {
    tmux kill-session -t "$SRV_SESSION" 2>/dev/null
    [ -n "$PIPE_ECHO_PID" ] && kill "$PIPE_ECHO_PID" 2>/dev/null
    [ -n "$UDP_ECHO_PID" ] && kill "$UDP_ECHO_PID" 2>/dev/null
    wait 2>/dev/null
    e2e_cleanup
}
trap bench_cleanup EXIT
w() { $DULVEX_WINE "$@" </dev/null 2>>"$W/bench.err" | tr -d '\r'; }

# The wine process of the service: its command line names DulvexSrv.exe and its environment
# carries our prefix (other build trees run their own copies).
service_pid() {
    local p
    for p in $(pgrep -f 'DulvexSrv.exe' 2>/dev/null); do
        # the Windows process itself, not the shell or the run script that started it
        case "$(cat /proc/$p/comm 2>/dev/null)" in
        DulvexSrv* | wine*) ;;
        *) continue ;;
        esac
        { tr '\0' '\n' </proc/$p/environ | grep -qx "WINEPREFIX=$WINEPREFIX"; } 2>/dev/null || continue
        echo "$p"
        return 0
    done
    return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
mem_kb() {  # pid: "rss private"
    local rss priv
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status")
    priv=$(awk '/^Private_(Clean|Dirty):/ {s += $2} END {print s}' "/proc/$1/smaps_rollup")
    echo "$rss $priv"
}

echo "bench: warming the prefix" >&2
$DULVEX_WINE cmd /c exit </dev/null >/dev/null 2>&1

# ---- the floor: pipe echo under Wine, UDP echo across the namespace
$DULVEX_WINE "$W64/bench/pipe_echo.exe" "$ECHO_PIPE" </dev/null >"$W/pipe_echo.out" 2>&1 &
PIPE_ECHO_PID=$!
bash "$NETNS" exec "$NAT/bench/udp_echo" 198.18.0.2 33340 >"$W/udp_echo.out" 2>&1 &
UDP_ECHO_PID=$!
sleep 2
echo "bench: floor" >&2
pipe1=$(w "$W64/bench/roundtrip.exe" --pipe "$ECHO_PIPE" --mask 0x01 --count "$rounds")
pipe5=$(w "$W64/bench/roundtrip.exe" --pipe "$ECHO_PIPE" --mask 0x1F --count "$rounds")
udp=$(w "$W64/bench/udp_rtt.exe" --addr 198.18.0.2 --port 33340 --count "$rounds" --size 26)
kill "$PIPE_ECHO_PID" "$UDP_ECHO_PID" 2>/dev/null
wait "$PIPE_ECHO_PID" "$UDP_ECHO_PID" 2>/dev/null
PIPE_ECHO_PID= UDP_ECHO_PID=

# ---- the bridge: termsim answers at once and logs nothing; the service traces to the null device
bash "$NETNS" exec "$DULVEX_TERMSIM" --reply=all >"$W/termsim.out" 2>&1 &
TERMSIM_PID=$!
sleep 0.5
tmux new-session -d -s "$SRV_SESSION" -x 160 -y 50 \
    "$DULVEX_WINE $SRV -debug -logfile=NUL >$W/console.out 2>&1; echo \$? >$W/srv.rc"
for _ in $(seq 100); do service_pid >/dev/null && break; sleep 0.2; done
pid=$(service_pid) || { echo "bench: the service did not start"; cat "$W/console.out"; exit 1; }
echo "bench: service pid $pid ($(cat /proc/$pid/comm)), idle ${idle_s}s" >&2
sleep 3
mem_start=$(mem_kb "$pid")
hz=$(getconf CLK_TCK)
c0=$(cpu_ticks "$pid"); t0=$(date +%s.%N)
sleep "$idle_s"
c1=$(cpu_ticks "$pid"); t1=$(date +%s.%N)
idle_ms=$(awk -v a="$c0" -v b="$c1" -v hz="$hz" 'BEGIN {printf "%.0f", (b - a) * 1000 / hz}')
idle_pct=$(awk -v a="$c0" -v b="$c1" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {printf "%.3f", (b - a) / hz / (t1 - t0) * 100}')

echo "bench: bridge round trips" >&2
bridge1=$(w "$W64/bench/roundtrip.exe" --mask 0x01 --count "$rounds")
bridge5=$(w "$W64/bench/roundtrip.exe" --mask 0x1F --count "$rounds")
mem_warm=$(mem_kb "$pid")
echo "bench: $((bulk_rounds * 5)) messages" >&2
bulk=$(w "$W64/bench/roundtrip.exe" --mask 0x1F --count "$bulk_rounds" --warmup 0)
mem_bulk=$(mem_kb "$pid")
tmux send-keys -t "$SRV_SESSION" C-c
sleep 2
tmux send-keys -t "$SRV_SESSION" Enter
for _ in $(seq 100); do [ -s "$W/srv.rc" ] && break; sleep 0.1; done
e2e_termsim_stop

codec=$("$NAT/bench/codec_alloc" 100000 2>&1)
linkb=$("$NAT/bench/link_bench" --frames 20000 2>&1 | grep -i 'heap allocations')

ratio() { awk -v b="$1" -v p="$2" -v u="$3" 'BEGIN { if (p + u > 0) printf "%.2f", b / (p + u); else print "-" }'; }
row() {  # name, result line
    printf '| %s | %s | %s | %s | %s |\n' "$1" "$(kv "$2" p50_us)" "$(kv "$2" p99_us)" "$(kv "$2" p999_us)" "$(kv "$2" msgs_per_s)"
}
{
echo "Machine: $(uname -srm), $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo); $(wine --version 2>/dev/null)"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $rounds round trips per row (after 50 unmeasured)"
echo
echo "| Round trip | p50 us | p99 us | p99.9 us | messages/s |"
echo "|---|---|---|---|---|"
row "bridge, 1 application (mask 0x01)" "$bridge1"
row "bridge, 5 applications (mask 0x1F, 5 responses)" "$bridge5"
row "floor: pipe echo under Wine, 1 response" "$pipe1"
row "floor: pipe echo under Wine, 5 responses" "$pipe5"
row "floor: UDP echo, Wine client to native peer in the namespace" "$udp"
echo
echo "| Figure | Value |"
echo "|---|---|"
echo "| bridge overhead, 1 application: p50 / (pipe p50 + UDP p50) | $(ratio "$(kv "$bridge1" p50_us)" "$(kv "$pipe1" p50_us)" "$(kv "$udp" p50_us)") |"
echo "| bridge overhead, 5 applications: p50 / (pipe p50 + UDP p50) | $(ratio "$(kv "$bridge5" p50_us)" "$(kv "$pipe5" p50_us)" "$(kv "$udp" p50_us)") |"
echo "| idle CPU of the service over ${idle_s} s (utime+stime) | ${idle_ms} ms (${idle_pct}% of one core) |"
echo "| memory after start: VmRSS / private (smaps_rollup) | ${mem_start% *} kB / ${mem_start#* } kB |"
echo "| memory after the round-trip rows | ${mem_warm% *} kB / ${mem_warm#* } kB |"
echo "| memory after $((bulk_rounds * 5)) more messages | ${mem_bulk% *} kB / ${mem_bulk#* } kB (growth $(( ${mem_bulk#* } - ${mem_warm#* } )) kB private) |"
echo "| $((bulk_rounds * 5)) messages (mask 0x1F) | $(kv "$bulk" msgs_per_s) messages/s, p99.9 $(kv "$bulk" p999_us) us |"
echo "| heap allocations per message, wire format (native counter) | $(kv "$codec" allocations) in $(kv "$codec" messages) messages |"
echo "| heap allocations per packet, link (link_bench, native counter) | ${linkb#*: } |"
} | tee "$W/table.md"
[ -n "${BENCH_TABLE:-}" ] && cp "$W/table.md" "$BENCH_TABLE"
exit 0
