; Runs the installer's address rule over the table of addresses: for each case a line with the
; address, the verdict's name and the rule's words, tab-separated, into the output file.
; Usage: addr_rule_check.exe /TABLE=path /OUT=path   (silent; exit code 0 once the output is written)
Unicode true
Target amd64-unicode
!include LogicLib.nsh
!include FileFunc.nsh

Name "addr_rule_check"
OutFile "${OUT_FILE}"
RequestExecutionLevel user
SilentInstall silent

Var Addr
!include "${RULE_NSH}"

Section
SectionEnd

Function .onInit
    SetErrorLevel 2
    ${GetParameters} $0
    ${GetOptions} $0 "/TABLE=" $1
    ${GetOptions} $0 "/OUT=" $2
    ClearErrors
    FileOpen $3 $1 r
    FileOpen $4 $2 w
    ${If} ${Errors}
        Quit
    ${EndIf}
    ${Do}
        ClearErrors
        FileRead $3 $5
        ${If} ${Errors}
            ${Break}
        ${EndIf}
        ; The line without its end, then the address before its last tab.
        ${Do}
            StrCpy $6 $5 1 -1
            ${If} $6 != "$\n"
            ${AndIf} $6 != "$\r"
                ${Break}
            ${EndIf}
            StrCpy $5 $5 -1
        ${Loop}
        StrCpy $6 $5 1
        ${If} $6 == "#"
        ${OrIf} $5 == ""
            ${Continue}
        ${EndIf}
        StrLen $7 $5
        ${Do}
            IntOp $7 $7 - 1
            ${If} $7 < 0
                ${Break}
            ${EndIf}
            StrCpy $6 $5 1 $7
        ${LoopUntil} $6 == "$\t"
        ${If} $7 < 0
            ${Continue}
        ${EndIf}
        StrCpy $Addr $5 $7
        Call CheckAddr
        Pop $6
        FileWrite $4 "$Addr$\t$AddrRule$\t$6$\n"
    ${Loop}
    FileClose $3
    FileClose $4
    SetErrorLevel 0
    Quit
FunctionEnd
