#!/bin/bash
# Every function that a product program imports must be on the allow-list (imports_allowed.txt),
# with an oldest Windows no newer than the one its build is for. A newer or unlisted import
# would stop the program from loading there, whatever it does at run time, so the import
# tables are read statically (objdump), for both Windows builds, without running anything.
#
#   imports_check.sh OBJDUMP ALLOW_LIST OLDEST PROGRAM...
#
# OLDEST is a Windows version as the list writes it: 5.0 Windows 2000, 5.1 XP, 5.2 XP x64 and
# Server 2003, 6.0 Vista. Prints every import that fails, one line each, and exits 1 on any.
set -u
if [ $# -lt 4 ]; then
    echo "usage: $0 OBJDUMP ALLOW_LIST OLDEST PROGRAM..." >&2
    exit 2
fi
objdump=$1
list=$2
oldest=$3
shift 3
[ -r "$list" ] || { echo "allow-list not readable: $list"; exit 2; }

fail=0
for program in "$@"; do
    name=$(basename "$program")
    if [ ! -f "$program" ]; then
        echo "$name: missing"
        fail=1
        continue
    fi
    dump=$("$objdump" -p "$program") || { echo "$name: objdump failed"; fail=1; continue; }
    # The import section lists "DLL Name: X" and then one line per function: tab, address, tab,
    # hint, name (or an ordinal number alone).
    imports=$(awk '/^The Import Tables/ { on = 1; next }
                   /^The Export Tables|^The Function Table|^PE File Base Relocations/ { on = 0 }
                   on && /DLL Name:/ { dll = tolower($3); next }
                   on && dll != "" && /^\t[0-9a-fA-F]+\t/ { print dll, (NF >= 3 ? $3 : "<ordinal>") }' <<<"$dump" |
              sort -u)
    if [ -z "$imports" ]; then
        echo "$name: no imports found (not a PE program, or objdump's format changed)"
        fail=1
        continue
    fi
    out=$(awk -v oldest="$oldest" -v prog="$name" '
        function ver(v,  p) { split(v, p, "."); return p[1] * 100 + p[2] }
        NR == FNR {
            sub(/#.*/, "")
            if (NF >= 3) allowed[tolower($1) " " $2] = $3
            next
        }
        {
            key = $1 " " $2
            n++
            if ($2 == "<ordinal>" || $2 ~ /^[0-9]+$/) {
                print prog ": " $1 " imported by ordinal, which the list cannot name"
                bad++
            } else if (!(key in allowed)) {
                print prog ": " key " is not on the allow-list"
                bad++
            } else if (ver(allowed[key]) > ver(oldest)) {
                print prog ": " key " needs Windows " allowed[key] ", this build is for " oldest
                bad++
            }
        }
        END {
            if (bad) exit 1
            print prog ": " n " imports, each on the list for Windows " oldest
        }' "$list" - <<<"$imports")
    rc=$?
    echo "$out"
    [ $rc -eq 0 ] || fail=1
done
exit $fail
