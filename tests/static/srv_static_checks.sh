#!/bin/bash
# DulvexSrv.exe must run on a bare Windows: only system DLLs among its imports, and it carries
# its message table, icon and version resource.
set -u
objdump=$1
exe=$2
source "$(dirname "$0")/../shell_lib.sh"
dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $dlls)"
for dll in $dlls; do
    case "$dll" in
        kernel32.dll|advapi32.dll|ws2_32.dll|msvcrt.dll|user32.dll) ;;
        *) fail "unexpected import: $dll" ;;
    esac
done
for must in kernel32.dll advapi32.dll ws2_32.dll; do
    grep -qx "$must" <<<"$dlls" || fail "missing import: $must"
done

# The resource section as raw bytes: ANSI message texts, UTF-16 version strings.
rsrc=$(mktemp)
trap 'rm -f "$rsrc"' EXIT
"$objdump" -s -j .rsrc "$exe" | sed -n 's/^ [0-9a-f]\{4,\} \(\([0-9a-f]\{2,8\} \)\{1,4\}\).*/\1/p' | tr -d ' \n' >"$rsrc"
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
utf16() { printf '%s' "$1" | iconv -f ascii -t utf-16le | od -An -tx1 | tr -d ' \n'; }
check_resource() { # what, hex bytes
    if grep -q "$2" "$rsrc"; then pass "resource: $1"; else fail "resource missing: $1"; fi
}
check_resource '"Application info: %1"' "$(hex 'Application info: %1')"
check_resource '"Application warning: %1 %2"' "$(hex 'Application warning: %1 %2')"
check_resource 'FileVersion 1.0.2.1' "$(utf16 '1.0.2.1')"
check_resource 'VS_VERSION_INFO' "$(utf16 'VS_VERSION_INFO')"
# Fixed file info: dwFileVersionMS = 1.0, dwFileVersionLS = 2.1 (little-endian words).
check_resource 'binary version 1.0.2.1' 'bd04effe00000100000001000100020000000100010002'
"$objdump" -p "$exe" | grep -q 'Resource Directory' || true
[ "$FAILURES" -eq 0 ] && echo "static checks passed"
[ "$FAILURES" -eq 0 ]
