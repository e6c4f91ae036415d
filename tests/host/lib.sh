#!/bin/bash
# Helpers of the host's shell tests. The sourcing script sets failures=0 and checks it at the end.

winpath() { local p=$1; echo "Z:${p//\//\\}"; }

check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

wait_for() { # file, fixed text, seconds
    local i
    for ((i = 0; i < ${3:-30} * 10; i++)); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
