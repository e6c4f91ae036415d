; The terminal address rule, as the service, its applet and its registry code judge an address
; (common/addr_rule.cpp): the rules in the same order, the same names and the same words. Tested
; against the same table of cases (tests/data/addresses.tsv) as the service's code.
;
; The including script declares `Var Addr` (the text to judge) and includes LogicLib.nsh.

Var AddrRule ; the verdict's name: "ok", or the first rule the address breaks

; Judges $Addr. Sets $AddrRule and pushes "" when usable, else what the broken rule says, to
; follow the address in a sentence.
Function CheckAddr
    Push $R0 ; index
    Push $R1 ; length
    Push $R2 ; the character
    Push $R3 ; fields seen
    Push $R4 ; digits in the field
    Push $R5 ; value of the field
    Push $R6 ; sum of the values
    Push $R7 ; value of the first field
    Push $R8 ; work
    StrLen $R1 $Addr
    ${If} $R1 = 0
        StrCpy $AddrRule "empty"
        Goto done
    ${EndIf}
    ${If} $R1 > 15
        StrCpy $AddrRule "too-long"
        Goto done
    ${EndIf}
    ; Only ASCII digits and dots; the integer read of any other character is 0.
    StrCpy $R0 0
    ${DoWhile} $R0 < $R1
        StrCpy $R2 $Addr 1 $R0
        IntOp $R8 $R2 + 0
        ${If} $R2 != "."
        ${AndIf} $R2 != "0"
        ${AndIf} $R8 = 0
            StrCpy $AddrRule "not-digit"
            Goto done
        ${EndIf}
        IntOp $R0 $R0 + 1
    ${Loop}
    ; Four non-empty fields between single dots.
    StrCpy $R0 0
    StrCpy $R3 0
    StrCpy $R4 0
    ${Do}
        StrCpy $R2 $Addr 1 $R0
        ${If} $R2 == "."
        ${OrIf} $R2 == ""
            ${If} $R4 = 0
                StrCpy $AddrRule "fields"
                Goto done
            ${EndIf}
            IntOp $R3 $R3 + 1
            StrCpy $R4 0
            ${If} $R2 == ""
                ${Break}
            ${EndIf}
        ${Else}
            IntOp $R4 $R4 + 1
        ${EndIf}
        IntOp $R0 $R0 + 1
    ${Loop}
    ${If} $R3 <> 4
        StrCpy $AddrRule "fields"
        Goto done
    ${EndIf}
    ; A field of two or more digits starting with 0: the platform's converter reads it as octal.
    StrCpy $R8 ".$Addr"
    StrCpy $R0 0
    ${DoWhile} $R0 < $R1
        StrCpy $R2 $R8 3 $R0
        StrCpy $R4 $R2 2
        StrCpy $R2 $R2 1 2
        ${If} $R4 == ".0"
        ${AndIf} $R2 != ""
        ${AndIf} $R2 != "."
            StrCpy $AddrRule "leading-zero"
            Goto done
        ${EndIf}
        IntOp $R0 $R0 + 1
    ${Loop}
    ; The values: at most three digits and 255 each.
    StrCpy $R0 0
    StrCpy $R3 0
    StrCpy $R4 0
    StrCpy $R5 0
    StrCpy $R6 0
    ${Do}
        StrCpy $R2 $Addr 1 $R0
        ${If} $R2 == "."
        ${OrIf} $R2 == ""
            ${If} $R4 > 3
            ${OrIf} $R5 > 255
                StrCpy $AddrRule "above-255"
                Goto done
            ${EndIf}
            ${If} $R3 = 0
                StrCpy $R7 $R5
            ${EndIf}
            IntOp $R6 $R6 + $R5
            IntOp $R3 $R3 + 1
            StrCpy $R4 0
            StrCpy $R5 0
            ${If} $R2 == ""
                ${Break}
            ${EndIf}
        ${Else}
            ${If} $R4 < 3
                IntOp $R5 $R5 * 10
                IntOp $R5 $R5 + $R2
            ${EndIf}
            IntOp $R4 $R4 + 1
        ${EndIf}
        IntOp $R0 $R0 + 1
    ${Loop}
    ${If} $R6 = 0
        StrCpy $AddrRule "unspecified"
        Goto done
    ${EndIf}
    ; 224 and above: multicast, reserved and broadcast, none of them one host.
    ${If} $R7 >= 224
        StrCpy $AddrRule "not-host"
        Goto done
    ${EndIf}
    StrCpy $AddrRule "ok"
done:
    ${Select} $AddrRule
    ${Case} "ok"
        StrCpy $R8 ""
    ${Case} "empty"
        StrCpy $R8 "is empty"
    ${Case} "too-long"
        StrCpy $R8 "is longer than 15 characters"
    ${Case} "not-digit"
        StrCpy $R8 "holds a character other than digits and dots"
    ${Case} "fields"
        StrCpy $R8 "is not four numbers separated by single dots"
    ${Case} "leading-zero"
        StrCpy $R8 "has a number with a leading zero"
    ${Case} "above-255"
        StrCpy $R8 "has a number above 255"
    ${Case} "unspecified"
        StrCpy $R8 "is 0.0.0.0, which names no host"
    ${CaseElse}
        StrCpy $R8 "is 224.0.0.0 or above (multicast or broadcast), not one host"
    ${EndSelect}
    Pop $R7
    Pop $R6
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
    Exch $R8
FunctionEnd
