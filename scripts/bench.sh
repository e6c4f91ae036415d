#!/bin/bash
# Runs every whole-service benchmark in one go and prints one table (Markdown) with the machine
# and the date. Each ratio is taken side by side in the same run, as this machine is shared:
#   round trips through the bridge (the pipe client -> DulvexSrv.exe under Wine -> UDP -> termsim
#   in the terminal's namespace and back), with 1 application and with all 5 (one command to mask
#   0x1F, waiting for the 5 responses), in the configurations the service runs in: started by the
#   service manager without a trace (what users run, the headline), the same with a trace file,
#   and in a console (-debug) tracing to the console and to the null device; beside the floor
#   without the bridge: a pipe echo server under Wine with the same client loop, plus UDP echoes
#   from a Wine process to a native peer in the same namespace, and a minimal relay under Wine
#   (bench/relay.c: the pipe, the link's frames and acknowledgements, nothing else) with the
#   same client and its own termsim, measured round for round beside the service's rows without
#   a trace, and beside it the same relay with one wait over the pipe and the links (--overlap),
#   the floor of a bridge that overlaps the applications' exchanges and keeps watching its client;
#   messages/s with one command in flight per application; idle CPU of the service's threads;
#   its memory after start and after 100,000 messages; heap allocations per message of the wire
#   format and the link (native counters).
#   with --calls N: the system calls of the service's process and of both relays per round
#   trip (strace -c -f over N round trips, 1 and 5 applications), Wine server requests among them.
# Needs root (namespace). Options: --rounds N (default 5000, the service manager's rows in 5
# blocks taking turns), --quick (500 rounds in 3 blocks, 10 s idle), --calls N (default 0: not
# counted).
# Builds what it needs in build/rel-win64 and build/rel-native.
set -u
cd "$(dirname "$0")/.."
SOURCE=$(pwd)
W64=${REL_WIN64:-$SOURCE/build/rel-win64}
NAT=${REL_NATIVE:-$SOURCE/build/rel-native}
rounds=5000
blocks=5
idle_s=30
bulk_rounds=20000   # x 5 applications = 100,000 messages
calls=0
while [ $# -gt 0 ]; do
    case "$1" in
    --rounds) rounds=$2; shift ;;
    --quick) rounds=500; blocks=3; idle_s=10; bulk_rounds=2000 ;;
    --calls) calls=$2; shift ;;
    *) echo "usage: scripts/bench.sh [--rounds N] [--quick] [--calls N]"; exit 2 ;;
    esac
    shift
done
[ "$(id -u)" = 0 ] || { echo "bench: needs root for the terminal's namespace"; exit 1; }

[ -d "$W64" ] || cmake --preset win64 -B "$W64" >/dev/null
[ -d "$NAT" ] || cmake --preset native -B "$NAT" >/dev/null
cmake --build "$W64" -j2 --target DulvexSrv dulvex-client roundtrip pipe_echo udp_rtt relay idle_floor >/dev/null || { echo "bench: win64 build failed"; exit 1; }
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
PIPE_ECHO_PID= UDP_ECHO_PID= TERMSIM_PID= SRV_SESSION=dulvex-bench-$$
RELAY_PIDS= RELAY_TERMSIM_PIDS= IDLE_FLOOR_PID=
bench_cleanup() {
    tmux kill-session -t "$SRV_SESSION" 2>/dev/null
    [ -n "$PIPE_ECHO_PID" ] && kill "$PIPE_ECHO_PID" 2>/dev/null
    [ -n "$RELAY_PIDS" ] && kill $RELAY_PIDS 2>/dev/null
    [ -n "$RELAY_TERMSIM_PIDS" ] && kill $RELAY_TERMSIM_PIDS 2>/dev/null
    [ -n "$IDLE_FLOOR_PID" ] && kill "$IDLE_FLOOR_PID" 2>/dev/null
    [ -n "$UDP_ECHO_PID" ] && kill "$UDP_ECHO_PID" 2>/dev/null
    [ -n "$TERMSIM_PID" ] && kill "$TERMSIM_PID" 2>/dev/null
    wait 2>/dev/null
    e2e_cleanup
}
trap bench_cleanup EXIT
w() { $DULVEX_WINE "$@" </dev/null 2>>"$W/bench.err" | tr -d '\r'; }

# The Wine processes whose command line matches $1 and whose name matches $2 (an extended
# regular expression: the Windows process itself, not the shell or the run script that started
# it), and whose environment carries our prefix (other build trees run their own copies).
prefix_pids() {
    local p
    for p in $(pgrep -f "$1" 2>/dev/null); do
        grep -qE "$2" /proc/$p/comm 2>/dev/null || continue
        { tr '\0' '\n' </proc/$p/environ | grep -qx "WINEPREFIX=$WINEPREFIX"; } 2>/dev/null && echo "$p"
    done
}
service_pid() { prefix_pids 'DulvexSrv.exe' '^(DulvexSrv|wine)' | head -1 | grep .; }
# System calls while something runs: strace -c on a process into a file ($!: the strace), then
# "calls requests" per N from that file. A Wine process asks its wineserver by a write (or
# writev) of the request and a read of the reply; each of the other calls is the process's own.
strace_on() { strace -c -f -p "$1" -o "$2" 2>/dev/null & }
calls_per() {  # file, N
    awk -v n="$2" '$NF == "total" {t = $4} $NF == "write" || $NF == "writev" {r += $4}
        END {printf "%.1f %.1f", t / n, r / n}' "$1"
}
count_calls() {  # pid, pipe (none: the service's), mask, name: "calls requests" per round trip
    strace_on "$1" "$W/strace-$4-$3.txt"
    local sp=$!
    sleep 1
    rt ${2:+--pipe "$2"} --mask "$3" --count "$calls" --warmup 0 >/dev/null
    kill -INT "$sp"
    wait "$sp" 2>/dev/null
    calls_per "$W/strace-$4-$3.txt" "$calls"
}
# Run time in nanoseconds of all the process's threads (the first field of schedstat); utime and
# stime count in 10 ms ticks, too coarse for an idle process.
run_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f", s}'; }
mem_kb() {  # pid: "rss private"
    local rss priv
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status")
    priv=$(awk '/^Private_(Clean|Dirty):/ {s += $2} END {print s}' "/proc/$1/smaps_rollup")
    echo "$rss $priv"
}

bench_start=$(date -u '+%Y-%m-%d %H:%M')
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

# ---- the bridge: termsim answers at once and logs nothing
bash "$NETNS" exec "$DULVEX_TERMSIM" --reply=all >"$W/termsim.out" 2>&1 &
TERMSIM_PID=$!
sleep 0.5
rt() { w "$W64/bench/roundtrip.exe" "$@"; }

# ---- the floor of the whole relay: relay.exe does under Wine only what relaying needs (pipe
# read, data frame out, acknowledgement and answer in, acknowledgement out, pipe write), with
# the same client as the service and a second termsim on ports moved by RELAY_OFFSET, so that
# it runs beside the service: roundtrip.exe --versus measures the two round for round, under the
# same load of this shared machine. Its system calls are counted like the service's.
RELAY_PIPE='\\.\pipe\varnok\DulvexBenchRelay'
RELAY_OFFSET=1000
# Beside it the overlapping relay (relay.exe --overlap): one wait over the pipe and the five
# links with a read of the client always outstanding, as any bridge that overlaps the
# applications' exchanges and keeps watching its client must do; on ports moved by 2000.
OVL_PIPE='\\.\pipe\varnok\DulvexBenchRelayOverlap'
OVL_OFFSET=2000
relay_calls1= relay_calls5= ovl_calls1= ovl_calls5= rpid= opid=
one_relay() {  # name, pipe, port offset, relay.exe's options: starts it and its termsim
    bash "$NETNS" exec "$DULVEX_TERMSIM" --reply=all --port-offset="$3" >"$W/termsim-$1.out" 2>&1 &
    RELAY_TERMSIM_PIDS="$RELAY_TERMSIM_PIDS $!"
    $DULVEX_WINE "$W64/bench/relay.exe" --pipe "$2" --addr 198.18.0.2 --port-offset "$3" $4 \
        </dev/null >"$W/$1.out" 2>&1 &
    RELAY_PIDS="$RELAY_PIDS $!"
    for _ in $(seq 50); do grep -q '^ready' "$W/$1.out" 2>/dev/null && break; sleep 0.2; done
    grep -q '^ready' "$W/$1.out" || { echo "bench: the $1 did not start"; exit 1; }
}
relay_start() {
    one_relay relay "$RELAY_PIPE" $RELAY_OFFSET ""
    one_relay overlap "$OVL_PIPE" $OVL_OFFSET --overlap
    # The Windows processes themselves, for strace.
    local p
    for p in $(prefix_pids 'relay.exe' '^relay'); do
        if tr '\0' ' ' </proc/$p/cmdline | grep -q -- --overlap; then opid=$p; else rpid=$p; fi
    done
}
relay_stop() {
    local p
    kill $RELAY_PIDS $rpid $opid 2>/dev/null
    wait $RELAY_PIDS 2>/dev/null
    for p in $rpid $opid; do
        for _ in $(seq 50); do [ -d "/proc/$p" ] || break; sleep 0.1; done
    done
    kill $RELAY_TERMSIM_PIDS 2>/dev/null
    wait $RELAY_TERMSIM_PIDS 2>/dev/null
    RELAY_PIDS= RELAY_TERMSIM_PIDS= rpid= opid=
}

# The service as users run it: registered, started and stopped by the service manager. Wine's
# service manager reads ImagePath when the prefix's wineserver starts.
SVC_KEY='HKLM\System\CurrentControlSet\Services\DulvexService'
sc_state() { $DULVEX_WINE sc query DulvexService </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
svc_start() {  # extra arguments for the registered command line
    local image
    $DULVEX_WINE "$SRV" -remove </dev/null >/dev/null 2>&1
    $DULVEX_WINE "$SRV" -install </dev/null >>"$W/bench.err" 2>&1 || { echo "bench: -install failed"; exit 1; }
    image="\"$(winpath "$SRV")\""
    [ $# -gt 0 ] && image="$image $*"
    $DULVEX_WINE reg add "$SVC_KEY" /v ImagePath /t REG_EXPAND_SZ /d "$image" /f </dev/null >/dev/null 2>&1
    bash "$SOURCE/tools/wine/stop.sh" "$WINEPREFIX"
    WINEPREFIX=$WINEPREFIX wineserver -w 2>/dev/null
    $DULVEX_WINE cmd /c exit </dev/null >/dev/null 2>&1
    $DULVEX_WINE net start DulvexService </dev/null >/dev/null 2>&1
    for _ in $(seq 100); do [ "$(sc_state)" = RUNNING ] && break; sleep 0.2; done
    [ "$(sc_state)" = RUNNING ] || { echo "bench: the service did not start"; exit 1; }
    for _ in $(seq 50); do service_pid >/dev/null && break; sleep 0.2; done
    sleep 1  # the start-up echo exchanges end
}
svc_stop() {
    $DULVEX_WINE net stop DulvexService </dev/null >/dev/null 2>&1
    for _ in $(seq 100); do [ "$(sc_state)" = STOPPED ] && break; sleep 0.1; done
    $DULVEX_WINE "$SRV" -remove </dev/null >/dev/null 2>&1
}
con_start() {  # the console's trace option(s); the trace goes to the tmux console when none
    tmux new-session -d -s "$SRV_SESSION" -x 160 -y 50 8>&- "$DULVEX_WINE $SRV -debug $*; echo \$? >$W/srv.rc"
    for _ in $(seq 100); do service_pid >/dev/null && break; sleep 0.2; done
    service_pid >/dev/null || { echo "bench: the console service did not start"; exit 1; }
    sleep 2
}
con_stop() {
    tmux send-keys -t "$SRV_SESSION" C-c
    sleep 2
    tmux send-keys -t "$SRV_SESSION" Enter
    for _ in $(seq 100); do [ -s "$W/srv.rc" ] && break; sleep 0.1; done
    tmux kill-session -t "$SRV_SESSION" 2>/dev/null
    rm -f "$W/srv.rc"
    for _ in $(seq 50); do service_pid >/dev/null || break; sleep 0.1; done
}

echo "bench: service manager, no trace" >&2
svc_start
pid=$(service_pid) || { echo "bench: no service process"; exit 1; }
echo "bench: service pid $pid ($(cat /proc/$pid/comm)), idle ${idle_s}s" >&2
mem_start=$(mem_kb "$pid")
ws=$(pgrep -x 'wineserver|wineserver64' | while read -r p; do { tr '\0' '\n' </proc/$p/environ | grep -qx "WINEPREFIX=$WINEPREFIX"; } 2>/dev/null && echo "$p"; done | head -1)
# Beside it, over the same window, the idle floor: a Wine thread that only wakes every 100 ms.
$DULVEX_WINE "$W64/bench/idle_floor.exe" </dev/null >"$W/idle_floor.out" 2>&1 &
IDLE_FLOOR_PID=$!
for _ in $(seq 50); do grep -q '^ready' "$W/idle_floor.out" 2>/dev/null && break; sleep 0.2; done
fpid=$(prefix_pids 'idle_floor.exe' '^idle_floor' | head -1)
c0=$(run_ns "$pid"); s0=$([ -n "$ws" ] && run_ns "$ws" || echo 0); f0=$([ -n "$fpid" ] && run_ns "$fpid" || echo 0)
t0=$(date +%s.%N)
sleep "$idle_s"
c1=$(run_ns "$pid"); s1=$([ -n "$ws" ] && run_ns "$ws" || echo 0); f1=$([ -n "$fpid" ] && run_ns "$fpid" || echo 0)
t1=$(date +%s.%N)
# Then, with --calls, what each of them asks of the system while idle, per 100 ms tick.
idle_calls= idle_floor_calls=
if [ "$calls" -gt 0 ] && [ -n "$fpid" ] && command -v strace >/dev/null; then
    strace_on "$pid" "$W/strace-idle.txt"
    sp1=$!
    strace_on "$fpid" "$W/strace-idle-floor.txt"
    sp2=$!
    sleep "$idle_s"
    kill -INT "$sp1" "$sp2"
    wait "$sp1" "$sp2" 2>/dev/null
    idle_calls=$(calls_per "$W/strace-idle.txt" $((idle_s * 10)))
    idle_floor_calls=$(calls_per "$W/strace-idle-floor.txt" $((idle_s * 10)))
fi
kill "$IDLE_FLOOR_PID" $fpid 2>/dev/null
wait "$IDLE_FLOOR_PID" 2>/dev/null
IDLE_FLOOR_PID=
idle_floor_pct=$(awk -v a="$f0" -v b="$f1" -v t0="$t0" -v t1="$t1" 'BEGIN {printf "%.4f", (b - a) / 1e9 / (t1 - t0) * 100}')
idle_floor_us=$(awk -v a="$f0" -v b="$f1" 'BEGIN {printf "%.0f", (b - a) / 1000}')
idle_us=$(awk -v a="$c0" -v b="$c1" 'BEGIN {printf "%.0f", (b - a) / 1000}')
idle_pct=$(awk -v a="$c0" -v b="$c1" -v t0="$t0" -v t1="$t1" 'BEGIN {printf "%.4f", (b - a) / 1e9 / (t1 - t0) * 100}')
idle_ws_us=$(awk -v a="$s0" -v b="$s1" 'BEGIN {printf "%.0f", (b - a) / 1000}')
idle_ws_pct=$(awk -v a="$s0" -v b="$s1" -v t0="$t0" -v t1="$t1" 'BEGIN {printf "%.4f", (b - a) / 1e9 / (t1 - t0) * 100}')
echo "bench: round trips, beside the minimal relay" >&2
# The three configurations of the service manager's rows take turns in blocks of rounds (no
# trace with the relays beside it, a trace file, the communication log, then again), and each
# row merges its blocks: the load of this shared machine drifts over minutes, and a ratio of rows
# taken minutes apart would measure the drift.
per=$(( (rounds + blocks - 1) / blocks ))
# One command in flight per application, against the service and each relay in turn (the first
# of them changes from block to block); each block adds its latencies and "responses rate".
inflight() {  # name, pipe (none: the service's)
    local out
    out=$(rt ${2:+--pipe "$2"} --mask 0x1F --count "$((per * 5))" --inflight 1 --samples "$W/s-in-$1")
    echo "$(kv "$out" rounds) $(kv "$out" msgs_per_s)" >>"$W/in-$1"
}
none_block() {  # block number
    relay_start
    rt --mask 0x01 --count "$per" --versus "$RELAY_PIPE" --samples "$W/s-svc1" >/dev/null
    rt --mask 0x01 --count "$per" --versus "$OVL_PIPE" --samples "$W/s-ovl1" >/dev/null
    rt --mask 0x1F --count "$per" --versus "$RELAY_PIPE" --samples "$W/s-svc5" >/dev/null
    rt --mask 0x1F --count "$per" --versus "$OVL_PIPE" --samples "$W/s-ovl5" >/dev/null
    case $(($1 % 3)) in
    1) inflight svc; inflight relay "$RELAY_PIPE"; inflight ovl "$OVL_PIPE" ;;
    2) inflight relay "$RELAY_PIPE"; inflight ovl "$OVL_PIPE"; inflight svc ;;
    0) inflight ovl "$OVL_PIPE"; inflight svc; inflight relay "$RELAY_PIPE" ;;
    esac
}
none_block 1
if [ -n "$rpid" ] && [ "$calls" -gt 0 ] && command -v strace >/dev/null; then
    relay_calls1=$(count_calls "$rpid" "$RELAY_PIPE" 0x01 relay)
    relay_calls5=$(count_calls "$rpid" "$RELAY_PIPE" 0x1F relay)
fi
if [ -n "$opid" ] && [ "$calls" -gt 0 ] && command -v strace >/dev/null; then
    ovl_calls1=$(count_calls "$opid" "$OVL_PIPE" 0x01 overlap)
    ovl_calls5=$(count_calls "$opid" "$OVL_PIPE" 0x1F overlap)
fi
relay_stop
mem_warm=$(mem_kb "$pid")
echo "bench: $((bulk_rounds * 5)) messages" >&2
bulk=$(rt --mask 0x1F --count "$bulk_rounds" --warmup 0)
mem_bulk=$(mem_kb "$pid")
calls1= calls5=
if [ "$calls" -gt 0 ] && command -v strace >/dev/null; then
    echo "bench: counting system calls over $calls round trips" >&2
    calls1=$(count_calls "$pid" "" 0x01 svc)
    calls5=$(count_calls "$pid" "" 0x1F svc)
fi
svc_stop

comm_lines=0
for b in $(seq "$blocks"); do
    if [ "$b" -gt 1 ]; then
        echo "bench: service manager, no trace, block $b of $blocks" >&2
        svc_start
        none_block "$b"
        relay_stop
        svc_stop
    fi
    echo "bench: service manager, trace to a file, block $b of $blocks" >&2
    svc_start "-logfile=$(winpath "$W/trace.log")"
    rt --mask 0x01 --count "$per" --samples "$W/s-file1" >/dev/null
    rt --mask 0x1F --count "$per" --samples "$W/s-file5" >/dev/null
    svc_stop
    # The communication log: one line per message and datagram, written on the loop's tick.
    echo "bench: service manager, communication log, block $b of $blocks" >&2
    svc_start "-commlog=$(winpath "$W/comm-$b.log")"
    rt --mask 0x01 --count "$per" --samples "$W/s-comm1" >/dev/null
    rt --mask 0x1F --count "$per" --samples "$W/s-comm5" >/dev/null
    svc_stop
    comm_lines=$((comm_lines + $(wc -l <"$W/comm-$b.log" 2>/dev/null || echo 0)))
done
trace_lines=$(wc -l <"$W/trace.log" 2>/dev/null || echo 0)
# The blocks' latencies merged into one result line; messages/s from the time spent in rounds.
merged() {  # samples file, responses per round
    sort -n "$1" | awk -v bits="$2" '{a[NR] = $1; s += $1}
        function pct(p,  i) { i = int(p * (NR - 1) + 0.5) + 1; return a[i] }
        END { if (NR > 0) printf "rounds=%d p50_us=%.0f p99_us=%.0f p999_us=%.0f msgs_per_s=%.0f\n",
              NR, pct(0.5), pct(0.99), pct(0.999), NR * bits / (s / 1e6) }'
}
svc1=$(merged "$W/s-svc1" 1) svc5=$(merged "$W/s-svc5" 5)
relay1=$(merged "$W/s-svc1.versus" 1) relay5=$(merged "$W/s-svc5.versus" 5)
# The service's rounds beside the overlapping relay, for that ratio only.
svco1=$(merged "$W/s-ovl1" 1) svco5=$(merged "$W/s-ovl5" 5)
ovl1=$(merged "$W/s-ovl1.versus" 1) ovl5=$(merged "$W/s-ovl5.versus" 5)
file1=$(merged "$W/s-file1" 1) file5=$(merged "$W/s-file5" 5)
comm1=$(merged "$W/s-comm1" 1) comm5=$(merged "$W/s-comm5" 5)
# In flight the latencies overlap, so the rate is the blocks' responses over their time.
inflight_row() {  # name
    local rate
    rate=$(awk '{n += $1; t += $1 / $2} END {if (t > 0) printf "%.0f", n / t}' "$W/in-$1")
    merged "$W/s-in-$1" 1 | sed "s/msgs_per_s=[0-9]*/msgs_per_s=$rate/"
}
svcin=$(inflight_row svc) relayin=$(inflight_row relay) ovlin=$(inflight_row ovl)

echo "bench: console, trace to the console" >&2
con_start
con1=$(rt --mask 0x01 --count "$rounds")
con5=$(rt --mask 0x1F --count "$rounds")
con_stop

echo "bench: console, trace to the null device" >&2
con_start -logfile=NUL
nul1=$(rt --mask 0x01 --count "$rounds")
nul5=$(rt --mask 0x1F --count "$rounds")
con_stop
e2e_termsim_stop

codec=$("$NAT/bench/codec_alloc" 100000 2>&1)
linkb=$("$NAT/bench/link_bench" --frames 20000 2>&1 | grep -i 'heap allocations')

div() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
ratio() { awk -v b="$1" -v p="$2" -v u="$3" 'BEGIN { if (p + u > 0) printf "%.2f", b / (p + u); else print "-" }'; }
row() {  # name, result line
    printf '| %s | %s | %s | %s | %s |\n' "$1" "$(kv "$2" p50_us)" "$(kv "$2" p99_us)" "$(kv "$2" p999_us)" "$(kv "$2" msgs_per_s)"
}
over() {  # bridge result, pipe floor result: p50 and p99 over the floor's
    echo "$(ratio "$(kv "$1" p50_us)" "$(kv "$2" p50_us)" "$(kv "$udp" p50_us)") (p99: $(ratio "$(kv "$1" p99_us)" "$(kv "$2" p99_us)" "$(kv "$udp" p99_us)"))"
}
{
echo "Machine: $(uname -srm), $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo); $(wine --version 2>/dev/null)"
echo "Date: $bench_start to $(date -u '+%H:%M UTC'); $rounds round trips per row (after 50 unmeasured); the service manager's rows and the relay's beside them in $blocks blocks of $per, taking turns"
echo
echo "| Round trip | p50 us | p99 us | p99.9 us | messages/s |"
echo "|---|---|---|---|---|"
row "service manager, no trace, 1 application (mask 0x01)" "$svc1"
row "service manager, no trace, 5 applications (mask 0x1F, 5 responses)" "$svc5"
row "service manager, no trace, one command in flight per application (mask 0x1F)" "$svcin"
row "service manager, trace to a file, 1 application" "$file1"
row "service manager, trace to a file, 5 applications" "$file5"
row "service manager, communication log, 1 application" "$comm1"
row "service manager, communication log, 5 applications" "$comm5"
row "console (-debug), trace to the console, 1 application" "$con1"
row "console (-debug), trace to the console, 5 applications" "$con5"
row "console (-debug -logfile=NUL), 1 application" "$nul1"
row "console (-debug -logfile=NUL), 5 applications" "$nul5"
row "floor: pipe echo under Wine, 1 response" "$pipe1"
row "floor: pipe echo under Wine, 5 responses" "$pipe5"
row "floor: UDP echo, Wine client to native peer in the namespace" "$udp"
row "floor: minimal relay under Wine, 1 application (round for round beside the service's row)" "$relay1"
row "floor: minimal relay under Wine, 5 applications (round for round beside the service's row)" "$relay5"
row "floor: minimal relay under Wine, one command in flight per application (mask 0x1F; it serves one at a time)" "$relayin"
row "floor: overlapping relay under Wine, 1 application (round for round beside the service)" "$ovl1"
row "floor: overlapping relay under Wine, 5 applications (round for round beside the service)" "$ovl5"
row "floor: overlapping relay under Wine, one command in flight per application (mask 0x1F)" "$ovlin"
echo
echo "| Figure | Value |"
echo "|---|---|"
echo "| bridge overhead, service manager, 1 application: p50 / (pipe p50 + UDP p50) | $(over "$svc1" "$pipe1") |"
echo "| bridge overhead, service manager, 5 applications: p50 / (pipe p50 + UDP p50) | $(over "$svc5" "$pipe5") |"
echo "| bridge / minimal relay, service manager, p50, 1 / 5 applications | $(div "$(kv "$svc1" p50_us)" "$(kv "$relay1" p50_us)") / $(div "$(kv "$svc5" p50_us)" "$(kv "$relay5" p50_us)") (p99: $(div "$(kv "$svc1" p99_us)" "$(kv "$relay1" p99_us)") / $(div "$(kv "$svc5" p99_us)" "$(kv "$relay5" p99_us)")) |"
echo "| minimal relay / floor (pipe p50 + UDP p50), 1 / 5 applications | $(over "$relay1" "$pipe1") / $(over "$relay5" "$pipe5") |"
echo "| bridge / overlapping relay, service manager, p50, 1 / 5 applications (its own rounds beside it) | $(div "$(kv "$svco1" p50_us)" "$(kv "$ovl1" p50_us)") / $(div "$(kv "$svco5" p50_us)" "$(kv "$ovl5" p50_us)") (p99: $(div "$(kv "$svco1" p99_us)" "$(kv "$ovl1" p99_us)") / $(div "$(kv "$svco5" p99_us)" "$(kv "$ovl5" p99_us)")) |"
echo "| idle CPU: the service's threads over ${idle_s} s (schedstat run time) | $idle_pct% of one core ($idle_us us) |"
echo "| idle floor: a Wine thread that only wakes every 100 ms (bench/idle_floor.c), the same ${idle_s} s | $idle_floor_pct% of one core ($idle_floor_us us) |"
echo "| idle CPU: the prefix's wineserver over the same ${idle_s} s, for every process of the prefix (the service manager, Wine's own services and the idle floor too) | $idle_ws_pct% of one core ($idle_ws_us us) |"
[ -n "$idle_calls" ] && echo "| system calls per 100 ms tick while idle (strace -c -f, ${idle_s} s after the idle CPU's window), the service / the idle floor | ${idle_calls% *} / ${idle_floor_calls% *}, of them requests to the wineserver ${idle_calls#* } / ${idle_floor_calls#* } |"
[ -n "$relay_calls1" ] && echo "| system calls of the minimal relay per round trip (strace -c -f, $calls rounds), 1 / 5 applications | ${relay_calls1% *} / ${relay_calls5% *}, of them requests to the wineserver (write, writev) ${relay_calls1#* } / ${relay_calls5#* } |"
[ -n "$ovl_calls1" ] && echo "| system calls of the overlapping relay per round trip (strace -c -f, $calls rounds), 1 / 5 applications | ${ovl_calls1% *} / ${ovl_calls5% *}, of them requests to the wineserver (write, writev) ${ovl_calls1#* } / ${ovl_calls5#* } |"
[ -n "$calls1" ] && echo "| system calls of the service per round trip (strace -c -f, $calls rounds), 1 / 5 applications | ${calls1% *} / ${calls5% *}, of them requests to the wineserver (write, writev) ${calls1#* } / ${calls5#* } |"
echo "| trace to a file / no trace, p50, 1 / 5 applications | $(div "$(kv "$file1" p50_us)" "$(kv "$svc1" p50_us)") / $(div "$(kv "$file5" p50_us)" "$(kv "$svc5" p50_us)") ($trace_lines trace lines) |"
echo "| communication log / no log, p50, 1 / 5 applications | $(div "$(kv "$comm1" p50_us)" "$(kv "$svc1" p50_us)") / $(div "$(kv "$comm5" p50_us)" "$(kv "$svc5" p50_us)") ($comm_lines lines) |"
echo "| trace to the console / no trace, p50, 1 / 5 applications | $(div "$(kv "$con1" p50_us)" "$(kv "$svc1" p50_us)") / $(div "$(kv "$con5" p50_us)" "$(kv "$svc5" p50_us)") |"
echo "| bridge overhead, console -logfile=NUL, 1 / 5 applications | $(over "$nul1" "$pipe1") / $(over "$nul5" "$pipe5") |"
echo "| messages/s, one command in flight per application / one command to mask 0x1F | $(div "$(kv "$svcin" msgs_per_s)" "$(kv "$svc5" msgs_per_s)") |"
echo "| messages/s, bridge / minimal relay: one command to mask 0x1F; one command in flight per application | $(div "$(kv "$svc5" msgs_per_s)" "$(kv "$relay5" msgs_per_s)"); $(div "$(kv "$svcin" msgs_per_s)" "$(kv "$relayin" msgs_per_s)") |"
echo "| messages/s, bridge / overlapping relay: one command to mask 0x1F; one command in flight per application | $(div "$(kv "$svco5" msgs_per_s)" "$(kv "$ovl5" msgs_per_s)"); $(div "$(kv "$svcin" msgs_per_s)" "$(kv "$ovlin" msgs_per_s)") |"
echo "| memory after start: VmRSS / private (smaps_rollup) | ${mem_start% *} kB / ${mem_start#* } kB |"
echo "| memory after the round-trip rows | ${mem_warm% *} kB / ${mem_warm#* } kB |"
echo "| memory after $((bulk_rounds * 5)) more messages | ${mem_bulk% *} kB / ${mem_bulk#* } kB (growth $(( ${mem_bulk#* } - ${mem_warm#* } )) kB private) |"
echo "| $((bulk_rounds * 5)) messages (mask 0x1F) | $(kv "$bulk" msgs_per_s) messages/s, p99.9 $(kv "$bulk" p999_us) us |"
echo "| heap allocations per message, wire format (native counter) | $(kv "$codec" allocations) in $(kv "$codec" messages) messages |"
echo "| heap allocations per packet, link (link_bench, native counter) | ${linkb#*: } |"
} | tee "$W/table.md"
[ -n "${BENCH_TABLE:-}" ] && cp "$W/table.md" "$BENCH_TABLE"
exit 0
