#!/bin/bash
# Helpers of the host's shell tests, on top of the shared verdicts; the sourcing script checks
# FAILURES at the end.
source "$(dirname "${BASH_SOURCE[0]}")/../shell_lib.sh"

wait_for() { # file, fixed text, seconds
    local i
    for ((i = 0; i < ${3:-30} * 10; i++)); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
