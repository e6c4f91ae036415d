#!/bin/bash
# Checks the built applet statically: the Control Panel finds CPlApplet and DllMain by these
# plain names (a 32-bit build would otherwise export CPlApplet@16), and the library needs no
# DLL beside it that a Windows system lacks (no libstdc++, libgcc or winpthread).
# Usage: exports.sh OBJDUMP APPLET.cpl
set -u
objdump=$1
cpl=$2
fail=0

dump=$("$objdump" -p "$cpl") || { echo "FAIL: $objdump -p $cpl"; exit 1; }

# The names listed in the export directory's name table.
exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
if [ "$exports" != "CPlApplet DllMain " ]; then
    echo "FAIL: exports are '$exports', want exactly 'CPlApplet DllMain'"
    fail=1
fi

# The file header's characteristics, one flag a line.
if ! printf '%s\n' "$dump" | sed -n '/^Characteristics/,/^$/p' | grep -qx '[[:space:]]*DLL'; then
    echo "FAIL: $cpl is not marked as a DLL"
    fail=1
fi

# DLL names are case-insensitive; the import libraries spell some in capitals.
allowed=' KERNEL32.DLL USER32.DLL COMCTL32.DLL ADVAPI32.DLL GDI32.DLL MSVCRT.DLL '
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
if [ -z "$imports" ]; then
    echo "FAIL: no import table found"
    fail=1
fi
for dll in $imports; do
    case "$allowed" in
        *" ${dll^^} "*) ;;
        *) echo "FAIL: imports $dll, which is not a system DLL"; fail=1 ;;
    esac
done

[ $fail -eq 0 ] && echo "OK: exports CPlApplet and DllMain; imports only $(echo $imports)"
exit $fail
