#!/bin/bash
# Checks the SDK statically against its .def: the DLL exports exactly the .def's names, plain
# (no @N, no leading underscore), and imports only system DLLs; both import libraries resolve
# every name to dulvex.dll; the header declares exactly those functions; a program compiled and
# linked as Visual C++ would (clang for the MSVC target, lld-link with its defaults, /SAFESEH on
# x86) imports each of them from dulvex.dll through dulvex.lib.
# Usage: sdk_exports.sh OBJDUMP DEF HEADER SDK-DIR CLANG LLD-LINK WORK-DIR
set -u
objdump=$1
def=$2
header=$3
dir=$4
clang=$5
lldlink=$6
work=$7
nm=${objdump%objdump}nm
fail=0
bad() { echo "FAIL: $*"; fail=1; }

want=$(sed -n '/^EXPORTS/,$p' "$def" | sed '1d; s/[[:space:]]//g; /^$/d' | sort | tr '\n' ' ')
[ -n "$want" ] || { echo "FAIL: no EXPORTS in $def"; exit 1; }

dump=$("$objdump" -p "$dir/dulvex.dll") || { echo "FAIL: $objdump -p $dir/dulvex.dll"; exit 1; }
got=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
[ "$got" = "$want" ] || bad "dulvex.dll exports '$got', the .def lists '$want'"
printf '%s\n' "$dump" | grep -q "^Name[[:space:]].*dulvex.dll" || bad "the export directory does not name dulvex.dll"

for dll in $(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u); do
    case " KERNEL32.DLL MSVCRT.DLL " in
        *" ${dll^^} "*) ;;
        *) bad "dulvex.dll imports $dll, which is not a system DLL" ;;
    esac
done

# The header's functions: every "DULVEX_SDK_CALL Name(" declaration.
declared=$(sed -n 's/.*DULVEX_SDK_CALL \(DulvexSdk[A-Za-z]*\)(.*/\1/p' "$header" | sort | tr '\n' ' ')
[ "$declared" = "$want" ] || bad "the header declares '$declared', the .def lists '$want'"

# An import library's symbols for a name: __imp_Name on x64, __imp__Name (C decoration) on x86.
machine=$(printf '%s\n' "$dump" | sed -n 's/.*file format *//p' | head -1)
[ "$machine" = "pei-i386" ] && u=_ || u=
for lib in libdulvex.dll.a dulvex.lib; do
    syms=$("$nm" "$dir/$lib" 2>/dev/null) || { bad "$nm $lib"; continue; }
    for name in $want; do
        printf '%s\n' "$syms" | grep -q " I __imp_$u$name\$" || bad "$lib has no __imp_$u$name"
        printf '%s\n' "$syms" | grep -q " T $u$name\$" || bad "$lib has no thunk $u$name"
    done
    strings "$dir/$lib" | grep -qx "dulvex.dll" || bad "$lib does not name dulvex.dll"
done

# The Visual C++ way, with every function of the .def taken by address so that each is imported.
if [ "$machine" = "pei-i386" ]; then target=i686-pc-windows-msvc; m=x86; else target=x86_64-pc-windows-msvc; m=x64; fi
mkdir -p "$work"
{
    echo '#include "dulvex_sdk.h"'
    echo '__declspec(dllexport) void* __cdecl Probe(int i)'
    echo '{'
    echo '    switch (i) {'
    i=0
    for name in $want; do echo "    case $i: return (void*)&$name;"; i=$((i + 1)); done
    echo '    default: return 0;'
    echo '    }'
    echo '}'
} >"$work/probe.c"
if "$clang" --target=$target -ffreestanding -fno-stack-protector -Werror -I"$dir" -c "$work/probe.c" \
        -o "$work/probe.obj" >"$work/probe.log" 2>&1 &&
    "$lldlink" /nologo /dll /noentry /nodefaultlib /machine:$m "$work/probe.obj" "$dir/dulvex.lib" \
        /out:"$work/probe.dll" >>"$work/probe.log" 2>&1; then
    imported=$("$objdump" -p "$work/probe.dll" | sed -n '/DLL Name: dulvex.dll/,/^$/p' |
               awk 'NF == 3 && $2 ~ /^[0-9]+$/ {print $3}' | sort | tr '\n' ' ')
    [ "$imported" = "$want" ] || bad "a Visual C++ style program imports '$imported' from dulvex.dll"
else
    bad "a Visual C++ style program does not build with dulvex.lib: $(head -5 "$work/probe.log")"
fi

[ $fail -eq 0 ] && echo "OK: ${want}exported as the .def lists, in both import libraries ($machine)"
exit $fail
