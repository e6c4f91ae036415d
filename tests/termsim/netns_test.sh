#!/bin/bash
# scripts/netns.sh: up and down are idempotent, repair a half-made pair, give exactly the two
# test addresses, and exec runs inside; termsim in the namespace talks to the host side.
set -u
netns=${DULVEX_SOURCE:?}/scripts/netns.sh
termsim=${DULVEX_BUILD:?}/tools/termsim/termsim
if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
    echo "netns: needs root and iproute2: skipped"
    exit 77
fi
# One user of the namespace at a time, across build trees and CTest runs.
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "netns: the namespace stayed busy"; exit 1; }
fail=0
bad() {
    echo "netns: FAIL: $*"
    fail=1
}
trap '"$netns" down >/dev/null 2>&1' EXIT

"$netns" down || bad "down on nothing"
# With no pair, the test range must have no route at all: never the default route off the machine.
ip route get 198.18.0.2 >/dev/null 2>&1 && bad "198.18.0.2 is routed with the pair down: $(ip route get 198.18.0.2)"
ip route del unreachable 198.18.0.0/15 2>/dev/null
"$netns" up || bad "up without the guard route"
ip route show type unreachable | grep -q '^unreachable 198.18.0.0/15' || bad "up does not put the guard route back"
"$netns" down || bad "down after the guard check"
"$netns" check 2>/dev/null && bad "check passes with nothing there"
"$netns" exec true 2>/dev/null && bad "exec runs with nothing there"
"$netns" up || bad "first up"
"$netns" up || bad "second up"
"$netns" check || bad "check after up"
[ "$(ip -o addr show dev dulvex-h0 | awk '{print $3, $4}')" = "inet 198.18.0.1/30" ] ||
    bad "host side: $(ip -o addr show dev dulvex-h0)"
[ "$("$netns" exec ip -o addr show | awk '$2 != "lo" {print $2, $3, $4}')" = "dulvex-t0 inet 198.18.0.2/30" ] ||
    bad "terminal side: $("$netns" exec ip -o addr show)"
[ "$("$netns" exec ip route show)" = "198.18.0.0/30 dev dulvex-t0 proto kernel scope link src 198.18.0.2 " ] ||
    [ "$("$netns" exec ip route show | awk '{print $1, $3}')" = "198.18.0.0/30 dulvex-t0" ] ||
    bad "routes inside: $("$netns" exec ip route show)"

# A stray address is removed, and a pair with its inner end gone is made anew.
ip addr add 198.18.0.5/30 dev dulvex-h0
"$netns" check 2>/dev/null && bad "check passes with a stray address"
"$netns" up || bad "up with a stray address"
"$netns" check || bad "check after repair of the address"
ip -n dulvex-term link del dulvex-t0
"$netns" up || bad "up after the pair was removed"
"$netns" check || bad "check after repair of the pair"

# termsim inside answers a datagram from the host side.
if [ -x "$termsim" ]; then
    out=$("$netns" exec "$termsim" --apps=Master --time=3 &
        sleep 1
        python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("198.18.0.1", 33332))
s.settimeout(2)
s.sendto(bytes([8, 0, 0, 3, 0, 0, 0]), ("198.18.0.2", 33332))
print("ack", s.recv(64).hex())
print("reply", s.recv(64).hex())
' 2>&1
        wait)
    echo "$out" | grep -qx 'ack 0400' || bad "no ACK from termsim: $out"
    echo "$out" | grep -qx 'reply 000000058000000000' || bad "no ECHO_RESP from termsim: $out"
    echo "$out" | grep -q '^app=Master .* delivered_in=1 ' || bad "termsim summary: $out"
fi

"$netns" down || bad "down"
"$netns" down || bad "second down"
ip link show dulvex-h0 >/dev/null 2>&1 && bad "host end left behind"
ip netns list | grep -q dulvex-term && bad "namespace left behind"
[ "$fail" = 0 ] && echo "netns: passed"
exit $fail
