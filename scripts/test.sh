#!/bin/bash
# Runs every test: native (sanitizers), 64-bit Windows under Wine, the 32-bit static checks and a
# time-boxed fuzzing pass. Ends with one line "N passed, M failed"; fails when a test fails or
# when no test ran.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

total_pass=0
total_fail=0
status=0
run_ctest() {
    local preset=$1 log
    log=$(mktemp)
    ctest --preset "$preset" 2>&1 | tee "$log"
    local line pass fail
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        if grep -q 'No tests were found' "$log"; then
            echo "test: no tests in $preset"
        else
            echo "test: ctest for $preset gave no summary"
            status=1
        fi
    else
        fail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        pass=$((all - fail))
        total_pass=$((total_pass + pass))
        total_fail=$((total_fail + fail))
        [ "$fail" -eq 0 ] || status=1
    fi
    rm -f "$log"
}

run_ctest native
run_ctest win64
run_ctest win32
tools/wine/stop.sh build/win64/wineprefix

if bash scripts/fuzz.sh "${DULVEX_FUZZ_SECONDS:-30}"; then
    total_pass=$((total_pass + 1))
else
    total_fail=$((total_fail + 1))
    status=1
fi

echo
echo "all builds: $total_pass passed, $total_fail failed"
echo "$total_pass passed, $total_fail failed"
[ "$total_pass" -gt 0 ] || status=1
exit $status
