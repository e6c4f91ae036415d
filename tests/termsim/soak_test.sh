#!/bin/bash
# The service's link code (natively, through link_driver) against termsim in the terminal's
# namespace: numbered packets each way over all five links, with loss, duplication and
# reordering in both directions. Every packet that its sender did not give up must arrive exactly
# once and in order; each given-up packet must have its "aborted" trace; nothing may arrive twice.
#
# Environment: DULVEX_BUILD, DULVEX_SOURCE (set by CTest). SOAK_PER_APP (default 400, so 2000
# each way), SOAK_SEED (default 20261208), SOAK_TICKS (quiet or steady), SOAK_KEEP=1 keeps the
# work directory.
set -u
build=${DULVEX_BUILD:?}
source=${DULVEX_SOURCE:?}
per_app=${SOAK_PER_APP:-400}
seed=${SOAK_SEED:-20261208}
ticks=${SOAK_TICKS:-quiet}
netns=$source/scripts/netns.sh
termsim=$build/tools/termsim/termsim
driver=$build/tests/termsim/link_driver
apps="Master MBCA Maint Fleet Petro"

if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
    echo "soak: needs root and iproute2 for the terminal's namespace: skipped"
    exit 77
fi

# One user of the namespace at a time, across build trees and CTest runs.
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "soak: the namespace stayed busy"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/dulvex-soak.XXXXXX")
termsim_pid=
cleanup() {
    [ -n "$termsim_pid" ] && kill "$termsim_pid" 2>/dev/null && wait "$termsim_pid" 2>/dev/null
    "$netns" down
    [ "${SOAK_KEEP:-0}" = 1 ] && echo "soak: work directory kept: $work" || rm -rf "$work"
}
trap cleanup EXIT

"$netns" up || { echo "soak: cannot bring the namespace up"; exit 1; }
# Nothing sends to the terminal's address unless the pair is there.
"$netns" check || exit 1

faults="--in-drop=0.2 --out-drop=0.2 --in-dup=0.05 --out-dup=0.05 --in-reorder=0.05 --out-reorder=0.05"
"$netns" exec "$termsim" --reply=none --send="$per_app" --seed="$seed" $faults --idle=15 --time=1500 \
    --log="$work/termsim.log" >"$work/termsim.out" 2>"$work/termsim.err" &
termsim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready ' "$work/termsim.out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^ready ' "$work/termsim.out" || { echo "soak: termsim did not start"; cat "$work/termsim.err"; exit 1; }

"$driver" --peer=198.18.0.2 --send="$per_app" --ticks="$ticks" --trace="$work/driver.trace" \
    --idle=15 --time=1500 >"$work/driver.out" 2>"$work/driver.err"
driver_rc=$?
wait "$termsim_pid"
termsim_rc=$?
termsim_pid=

echo "--- termsim"
grep -v -e '^abandoned ' -e '^missing ' "$work/termsim.out"
echo "--- link_driver (rc $driver_rc)"
grep -v -e '^abandoned ' -e '^missing ' "$work/driver.out"

fail=0
bad() {
    echo "soak: FAIL: $*"
    fail=1
}
value() { # file prefix key
    grep "^$2 " "$1" | tr ' ' '\n' | sed -n "s/^$3=//p" | head -1
}
nums() { # file kind app
    sed -n "s/^$2 app=$3 num=//p" "$1" | LC_ALL=C sort
}

[ "$driver_rc" = 0 ] || bad "link_driver exit code $driver_rc"
[ "$termsim_rc" = 0 ] || bad "termsim exit code $termsim_rc"
for app in $apps; do
    # Service to terminal: the link code sends, termsim receives.
    sent=$(value "$work/driver.out" "app=$app" sent)
    [ "$sent" = "$per_app" ] || bad "$app: link_driver sent $sent of $per_app"
    [ "$(value "$work/driver.out" "app=$app" held)" = 0 ] || bad "$app: frames still held in the link"
    [ "$(value "$work/driver.out" "app=$app" refused)" = 0 ] || bad "$app: TerminalSend refused packets"
    aborted=$(grep -c "'$app': TerminalTime - aborted" "$work/driver.trace")
    abandoned=$(value "$work/driver.out" "app=$app" abandoned)
    [ "$aborted" = "$abandoned" ] || bad "$app: $abandoned frames given up by the link, $aborted aborted traces"
    [ "$(value "$work/termsim.out" "app=$app" soak_in_repeats)" = 0 ] || bad "$app: termsim got a packet twice or out of order"
    [ "$(value "$work/termsim.out" "app=$app" soak_in_damaged)" = 0 ] || bad "$app: termsim got a damaged packet"
    got=$(( $(value "$work/termsim.out" "app=$app" soak_in_ok) + $(value "$work/termsim.out" "app=$app" soak_in_missing) ))
    [ "$got" = "$per_app" ] || bad "$app: termsim accounted for $got of $per_app packets"
    lost=$(comm -23 <(nums "$work/termsim.out" missing "$app") <(nums "$work/driver.out" abandoned "$app"))
    [ -z "$lost" ] || bad "$app: to termsim, lost without being given up: $(echo $lost)"

    # Terminal to service: termsim sends, the link code receives.
    [ "$(value "$work/termsim.out" "app=$app" soak_out_sent)" = "$per_app" ] || bad "$app: termsim did not send all"
    t_aborted=$(grep -c "^ *[0-9.]* aborted *$app " "$work/termsim.log")
    t_abandoned=$(value "$work/termsim.out" "app=$app" abandoned)
    [ "$t_aborted" = "$t_abandoned" ] || bad "$app: termsim gave up $t_abandoned, logged $t_aborted"
    [ "$(value "$work/driver.out" "app=$app" soak_in_repeats)" = 0 ] || bad "$app: the link delivered a packet twice or out of order"
    [ "$(value "$work/driver.out" "app=$app" soak_in_damaged)" = 0 ] || bad "$app: the link delivered a damaged packet"
    [ "$(value "$work/driver.out" "app=$app" malformed)" = 0 ] || bad "$app: the link reported malformed frames"
    got=$(( $(value "$work/driver.out" "app=$app" soak_in_ok) + $(value "$work/driver.out" "app=$app" soak_in_missing) ))
    [ "$got" = "$per_app" ] || bad "$app: the link accounted for $got of $per_app packets"
    lost=$(comm -23 <(nums "$work/driver.out" missing "$app") <(nums "$work/termsim.out" abandoned "$app"))
    [ -z "$lost" ] || bad "$app: from termsim, lost without being given up: $(echo $lost)"
done
if [ "$fail" != 0 ]; then
    SOAK_KEEP=1
    exit 1
fi
echo "soak: passed"
