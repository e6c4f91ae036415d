#!/bin/bash
# The payment terminal's own network for tests: the namespace "dulvex-term", joined to the host
# by a veth pair, 198.18.0.1/30 on the host side and 198.18.0.2/30 inside. These two are the only
# addresses it ever gives (no IPv6 link-local either), and the namespace has no default route, so
# nothing in it can reach beyond the host side.
#
# Usage: netns.sh up        create (or repair) the namespace and the pair; safe to repeat
#        netns.sh down      remove both; safe to repeat
#        netns.sh check     exit 0 when both are there and addressed as above, else 1
#        netns.sh exec CMD [ARGS...]
#                           run CMD inside the namespace (after a check)
#
# Anything that sends to 198.18.0.2 must run "check" first: without the pair, such datagrams
# would leave by the machine's default route. A test that uses the namespace from up to down
# holds an exclusive flock on /run/lock/dulvex-netns-use.lock for that whole time, so that runs
# from other build trees wait instead of tearing the namespace down under it.
set -u

NS=dulvex-term
HOST_IF=dulvex-h0
TERM_IF=dulvex-t0
HOST_ADDR=198.18.0.1/30
TERM_ADDR=198.18.0.2/30
LOCK=/run/lock/dulvex-netns.lock

die() {
    echo "netns.sh: $*" >&2
    exit 1
}

ns_exists() {
    ip netns list 2>/dev/null | awk '{print $1}' | grep -qx "$NS"
}

# The IPv4 addresses of each end, one per line, in CIDR form.
host_addrs() {
    ip -4 -o addr show dev "$HOST_IF" 2>/dev/null | awk '{print $4}'
}

term_addrs() {
    ip -n "$NS" -4 -o addr show dev "$TERM_IF" 2>/dev/null | awk '{print $4}'
}

check() {
    ns_exists || { echo "netns.sh: namespace $NS is missing" >&2; return 1; }
    ip link show "$HOST_IF" >/dev/null 2>&1 || { echo "netns.sh: $HOST_IF is missing" >&2; return 1; }
    ip -n "$NS" link show "$TERM_IF" >/dev/null 2>&1 || { echo "netns.sh: $TERM_IF is missing in $NS" >&2; return 1; }
    [ "$(host_addrs)" = "$HOST_ADDR" ] || { echo "netns.sh: $HOST_IF is not $HOST_ADDR alone" >&2; return 1; }
    [ "$(term_addrs)" = "$TERM_ADDR" ] || { echo "netns.sh: $TERM_IF is not $TERM_ADDR alone" >&2; return 1; }
    ip -o link show dev "$HOST_IF" | grep -q 'state UP' || { echo "netns.sh: $HOST_IF is down" >&2; return 1; }
    ip route show type unreachable | grep -q "^unreachable $GUARD_ROUTE" ||
        { echo "netns.sh: the unreachable route for $GUARD_ROUTE is missing" >&2; return 1; }
    return 0
}

# The whole test range is unreachable from the host except through the pair: without it (torn
# down, or not yet made) a datagram to 198.18.0.2 would otherwise take the default route off the
# machine. The /30 of the pair is more specific and wins while the pair exists; this route stays
# when the pair goes.
GUARD_ROUTE=198.18.0.0/15

guard() {
    ip route replace unreachable "$GUARD_ROUTE" || die "cannot install the unreachable route for $GUARD_ROUTE"
}

up() {
    [ "$(id -u)" = 0 ] || die "needs root (ip netns)"
    guard
    ns_exists || ip netns add "$NS" || die "cannot create namespace $NS"
    # A pair left half-made (one end gone, or the peer outside the namespace) is made anew.
    if ip link show "$HOST_IF" >/dev/null 2>&1 && ! ip -n "$NS" link show "$TERM_IF" >/dev/null 2>&1; then
        ip link del "$HOST_IF" || die "cannot remove the stale $HOST_IF"
    fi
    if ! ip link show "$HOST_IF" >/dev/null 2>&1; then
        ip -n "$NS" link del "$TERM_IF" >/dev/null 2>&1 || true
        ip link add "$HOST_IF" type veth peer name "$TERM_IF" netns "$NS" || die "cannot create the veth pair"
    fi
    # No link-local or other IPv6 address may appear on the pair.
    ip link set dev "$HOST_IF" addrgenmode none 2>/dev/null || true
    ip -n "$NS" link set dev "$TERM_IF" addrgenmode none 2>/dev/null || true
    sysctl -qw "net.ipv6.conf.$HOST_IF.disable_ipv6=1" 2>/dev/null || true
    ip netns exec "$NS" sysctl -qw "net.ipv6.conf.$TERM_IF.disable_ipv6=1" 2>/dev/null || true
    if [ "$(host_addrs)" != "$HOST_ADDR" ]; then
        ip addr flush dev "$HOST_IF"
        ip addr add "$HOST_ADDR" dev "$HOST_IF" || die "cannot address $HOST_IF"
    fi
    if [ "$(term_addrs)" != "$TERM_ADDR" ]; then
        ip -n "$NS" addr flush dev "$TERM_IF"
        ip -n "$NS" addr add "$TERM_ADDR" dev "$TERM_IF" || die "cannot address $TERM_IF"
    fi
    ip -n "$NS" link set dev lo up
    ip -n "$NS" link set dev "$TERM_IF" up
    ip link set dev "$HOST_IF" up
    # The host side reports UP only once both ends are up; give the kernel a moment.
    for _ in $(seq 50); do
        ip -o link show dev "$HOST_IF" | grep -q 'state UP' && break
        sleep 0.05
    done
    check
}

down() {
    [ "$(id -u)" = 0 ] || die "needs root (ip netns)"
    guard
    if ns_exists; then
        local pids
        pids=$(ip netns pids "$NS" 2>/dev/null | tr '\n' ' ')
        [ -z "$pids" ] || echo "netns.sh: processes still in $NS: $pids" >&2
    fi
    # Removing one end of a pair removes both.
    if ip link show "$HOST_IF" >/dev/null 2>&1; then
        ip link del "$HOST_IF" || die "cannot remove $HOST_IF"
    fi
    if ns_exists; then
        ip netns del "$NS" || die "cannot remove namespace $NS"
    fi
    return 0
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
up | down)
    # Several tests may ask at once: one change at a time.
    mkdir -p "$(dirname "$LOCK")"
    exec 9>"$LOCK"
    flock 9
    "$cmd"
    ;;
check)
    check
    ;;
exec)
    [ $# -gt 0 ] || die "exec needs a command"
    check || die "the namespace is not up: run netns.sh up"
    exec ip netns exec "$NS" "$@"
    ;;
*)
    awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0" >&2
    [ "$cmd" = -h ] || [ "$cmd" = --help ] || [ "$cmd" = help ]
    exit $?
    ;;
esac
