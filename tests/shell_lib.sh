#!/bin/bash
# Verdicts and small helpers shared by every shell test. A test sources this file; each verdict
# counts in CHECKS, and a failed one in FAILURES, which the test checks at its end.
#   SHELL_LIB_QUIET=1   print failed verdicts only
#   SHELL_LIB_STAMP=1   put the time of day on every verdict (where a slow run spends its time)
CHECKS=0
FAILURES=0

shell_lib_stamp() { [ "${SHELL_LIB_STAMP:-0}" = 1 ] && printf ' [%s]' "$(date +%T)"; }

pass() {
    CHECKS=$((CHECKS + 1))
    [ "${SHELL_LIB_QUIET:-0}" = 1 ] || echo "ok$(shell_lib_stamp): $*"
}

fail() {
    CHECKS=$((CHECKS + 1))
    FAILURES=$((FAILURES + 1))
    echo "FAIL$(shell_lib_stamp): $*"
}

check_eq() { # name expected actual
    if [ "$2" == "$3" ]; then
        pass "$1"
    else
        fail "$1"
        printf '  expected: %q\n  actual:   %q\n' "$2" "$3"
    fi
}

check_match() { # name extended-regex actual
    if [[ $3 =~ $2 ]]; then
        pass "$1"
    else
        fail "$1"
        printf '  pattern: %s\n  actual:  %s\n' "$2" "$3"
    fi
}

check_cmd() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# A Linux path as Wine's Windows programs see it (Wine maps Z: to /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The value of KEY in a line of "key=value" words.
kv() { echo "$1" | tr -d '\r' | tr ' ' '\n' | sed -n "s/^$2=//p" | head -1; }
