#!/bin/bash
# The whole product on one machine: DulvexSrv.exe in console mode under Wine, a simulated payment
# terminal (termsim) in its own network namespace, and dulvex-client.exe as the point-of-sale
# program. Builds what is missing first. Run as root (the namespace needs it).
set -u
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1

build=$root/build/win64
srv=$build/service/host/DulvexSrv.exe
client_exe=$build/tools/client/dulvex-client.exe
termsim=$root/build/native/tools/termsim/termsim
export WINEPREFIX=$root/build/demo-prefix
wine_run() { bash "$root/tools/wine/run.sh" "$WINEPREFIX" "$@"; }
work=$(mktemp -d /tmp/dulvex-demo.XXXXXX)
session=dulvex-demo-$$
termsim_pid=

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
client() { wine_run "$client_exe" "$@" </dev/null 2>&1 | sed 's/^/   client> /'; }

cleanup() {
    tmux kill-session -t "$session" 2>/dev/null
    [ -n "$termsim_pid" ] && kill "$termsim_pid" 2>/dev/null
    [ -n "$locked" ] && bash scripts/netns.sh down
    bash tools/wine/stop.sh "$WINEPREFIX"
    rm -rf "$work"
}
trap cleanup EXIT
locked=

# One user of the namespace and the terminal's ports at a time, as the tests take it.
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "demo: the terminal's namespace stayed busy"; exit 1; }
locked=1

step "The terminal's network: namespace dulvex-term, service side 198.18.0.1, terminal 198.18.0.2"
bash scripts/netns.sh up || exit 1
ip -br addr show dev dulvex-h0

step "Configuring the service (registry value Addr = 198.18.0.2, capture log directory)"
wine_run reg add 'HKLM\Software\Varnok\PaymentTermService' /v Addr /t REG_SZ /d 198.18.0.2 /f </dev/null >/dev/null 2>&1
capture_dir=$WINEPREFIX/drive_c/VarnokPaymentTerminalServiceDebug
mkdir -p "$capture_dir"
rm -f "$capture_dir"/*.log

step "Starting termsim: the terminal's five applications, answering every command"
bash scripts/netns.sh exec "$termsim" --reply=all --log="$work/termsim.log" >"$work/termsim.out" 2>&1 &
termsim_pid=$!
for i in $(seq 1 50); do grep -q '^ready' "$work/termsim.out" 2>/dev/null && break; sleep 0.1; done
head -1 "$work/termsim.out"

step "Starting DulvexSrv.exe -debug (console mode, in a tmux console)"
tmux new-session -d -s "$session" -x 160 -y 50 \
    "bash '$root/tools/wine/run.sh' '$WINEPREFIX' '$srv' -debug '-logfile=Z:${work//\//\\}\\trace.log'; echo \$? >'$work/srv.rc'"
for i in $(seq 1 300); do grep -q "'Petro': TerminalSend\|Done -> " "$work/trace.log" 2>/dev/null && break; sleep 0.1; done
sleep 1
grep -E "Starting with|PipeCreate|TerminalSend:" "$work/trace.log" | cut -c25- | sed 's/^/   trace> /'

step "A command 0x1234 with data 41 42 to Master and MBCA (mask 0x03); the terminal answers each"
client send --mask 0x03 --cmd 0x1234 --data 4142 --wait 2

step "A command to all five applications (mask 0x1F)"
client send --mask 0x1F --cmd 0x0100 --data 0102030405 --wait 5

step "A line for the capture log"
client capture "demo: sale 12.50 EUR approved"

sleep 0.5
step "Stopping the service with Ctrl+C"
tmux send-keys -t "$session" C-c
for i in $(seq 1 100); do grep -q "Done -> " "$work/trace.log" 2>/dev/null && break; sleep 0.1; done
tmux send-keys -t "$session" Enter
for i in $(seq 1 100); do [ -s "$work/srv.rc" ] && break; sleep 0.1; done
echo "   DulvexSrv.exe exit code: $(cat "$work/srv.rc" 2>/dev/null || echo '?')"

step "The service's trace (packets from the client and from the terminal)"
grep -E "Got packet|use app|Got CMD|PipeSrvWrite|Got EVENT|Done ->" "$work/trace.log" | cut -c25- | sed 's/^/   trace> /'

step "The capture log"
cat "$capture_dir"/*.log 2>/dev/null | sed 's/^/   capture> /'

kill -INT "$termsim_pid" 2>/dev/null
wait "$termsim_pid" 2>/dev/null
termsim_pid=
step "termsim's summary"
grep -E '^total|^faults' "$work/termsim.out" | sed 's/^/   termsim> /'
echo
