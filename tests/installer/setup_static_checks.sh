#!/bin/bash
# What the built installer declares, checked without running it (both Windows builds): the
# machine it is for, its version resource, and that it asks Windows for administrator rights.
# Usage: setup_static_checks.sh OBJDUMP SETUP EXPECTED_FORMAT VERSION
set -u
objdump=$1
setup=$2
format=$3
version=$4
source "$(dirname "$0")/../shell_lib.sh"

actual=$("$objdump" -f "$setup" | sed -n 's/.*file format //p')
[ "$actual" = "$format" ] || fail "file format: expected $format, found '$actual'"

# Version strings are UTF-16 in the resource, each key followed by its value.
strings -el "$setup" >"${TMPDIR:-/tmp}/setup-strings.$$"
value_of() { grep -A1 -x "$1" "${TMPDIR:-/tmp}/setup-strings.$$" | sed -n 2p; }
for pair in "ProductName=Dulvex Bridge" "CompanyName=Dulvex" "ProductVersion=$version" "FileVersion=$version"; do
    key=${pair%%=*}
    want=${pair#*=}
    got=$(value_of "$key")
    [ "$got" = "$want" ] || fail "version resource $key: expected '$want', found '$got'"
done
rm -f "${TMPDIR:-/tmp}/setup-strings.$$"

# Without it a standard user's run would fail half way instead of being elevated first.
grep -aq 'level="requireAdministrator"' "$setup" || fail "manifest does not request administrator rights"

[ "$FAILURES" -eq 0 ] && echo "installer static checks passed"
[ "$FAILURES" -eq 0 ]
