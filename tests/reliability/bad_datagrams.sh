#!/bin/bash
# Hostile datagrams from the terminal's address and ports (bad_datagrams.py in the namespace):
# random bytes, every truncation of a frame, lying length fields, oversize datagrams, wrong
# flags. The service must keep running, acknowledge the valid frame sent right after them on each
# link, and then relay a normal command and its answers between termsim and a client.
# REL_MODE=long repeats the barrage with more seeds.
source "$(dirname "$0")/rel_lib.sh"
e2e_configure 198.18.0.2
if [ "$REL_MODE" = long ]; then seeds="1 2 3 4 5 6 7 8"; else seeds="1"; fi
command -v python3 >/dev/null || { echo "python3 is missing"; exit 1; }

e2e_console_start || exit 1
sleep 3.5
for seed in $seeds; do
    from=$(( $(trace_lines) + 1 ))
    bash "$NETNS" exec python3 "$(dirname "$0")/bad_datagrams.py" "$seed" >"$E2E_WORK/bad-$seed.out" 2>&1
    rc=$?
    cat "$E2E_WORK/bad-$seed.out"
    [ "$rc" = 0 ] && pass "seed $seed: every link acknowledged the valid frame after the barrage" \
                  || fail "seed $seed: a link did not acknowledge the valid frame (rc $rc)"
    rel_service_alive && pass "seed $seed: the service survives" || fail "seed $seed: the service died"
    echo "trace lines for seed $seed: dropped as short $(trace_count_from "$from" "shorter than its header"), length mismatch $(trace_count_from "$from" "does not fit the frame"), too short $(trace_count_from "$from" "too short, dropped")"
done

# A normal exchange afterwards, termsim playing the terminal again.
e2e_termsim --reply=all
sleep 1
rel_check "after the bad datagrams"
e2e_termsim_stop
rel_service_stop "bad datagrams"
echo "bad datagrams: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
