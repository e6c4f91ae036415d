; DulvexSetup.exe: installs the Dulvex bridge service and its Control Panel applet, registers and
; starts the service, and records an uninstaller under Add or Remove Programs.
;
; Built by CMake (installer/CMakeLists.txt), which defines:
;   TARGET_ARCH  amd64-unicode (64-bit installer) or x86-unicode (32-bit)
;   SRV_EXE      path of DulvexSrv.exe
;   CPL_FILE     path of DulvexCpl.cpl (absent while the applet is not part of the build)
;   FILES_NSH    the "Tools and SDK" file list (SDK_FILES, SDK_FOLDERS), generated from
;                installer/install_files.cmake
;   ACTIONS_DLL  path of DulvexSetupActions.dll (the folders' DACLs), of this build's bitness
;   OUT_FILE     path of the installer to write
;   VERSION      four-part product version
;
; Exit codes (silent mode): 0 done; 1 cancelled by the user; 2 a step failed (rolled back as far
; as this run went); 3 the /ADDR= value is not a usable terminal address; 4 not run with
; administrator rights.
;
; Sections: the program files, then the "Tools and SDK" component (taken unless /NOSDK is given),
; then the service's registration and start, so that the service starts once every file is in
; place.

Unicode true
Target ${TARGET_ARCH}
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include MUI2.nsh
!include Sections.nsh
!include WordFunc.nsh

!define PRODUCT_NAME "Dulvex Bridge"
!define PRODUCT_PUBLISHER "Dulvex"
!define SERVICE_NAME "DulvexService"
!define SRV_NAME "DulvexSrv.exe"
!define CPL_NAME "DulvexCpl.cpl"
!define UNINSTALLER "Uninstall.exe"
!define CLIENT_NAME "dulvex-client.exe"
!define CONFIG_KEY "Software\Varnok\PaymentTermService"
!define CONFIG_VALUE "Addr"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\DulvexBridge"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}"
!define EVENT_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${SERVICE_NAME}"

; The service reads the value with RegQueryValueExA into a 16-byte buffer and expects exactly
; 16 bytes of REG_SZ data: the text, its NUL, zeros after it.
!define ADDR_BUFFER_SIZE 16
; HKEY_LOCAL_MACHINE as the platform's sign-extended handle value.
!define HKLM_HANDLE -2147483646
; KEY_WRITE, in the 64-bit installer with KEY_WOW64_64KEY: each installer writes the registry view
; that its own build of the service reads.
!if "${TARGET_ARCH}" == "amd64-unicode"
!define KEY_WRITE_VIEW 0x20106
!else
!define KEY_WRITE_VIEW 0x20006
!endif

; The setup actions' DLL (DulvexProtectFolder's kinds) and the log folder under the machine's
; common application data (SetShellVarContext all).
!define ACTIONS_NAME "DulvexSetupActions.dll"
!define FOLDER_PROGRAM 0
!define FOLDER_LOGS 1
!define DATA_DIR "$APPDATA\Dulvex"
!define LOG_DIR "$APPDATA\Dulvex\Logs"

!define EXIT_FAILED 2
!define EXIT_BAD_ADDR 3
!define EXIT_NOT_ADMIN 4

!define SC_MANAGER_CONNECT 0x0001
!define SERVICE_QUERY_STATUS 0x0004
!define SERVICE_START 0x0010
!define SERVICE_STOP 0x0020
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_START_PENDING 2
!define SERVICE_STOP_PENDING 3
!define SERVICE_RUNNING 4
!define ERROR_SERVICE_DOES_NOT_EXIST 1060
!define ERROR_SERVICE_NOT_ACTIVE 1062
!define ERROR_SERVICE_MARKED_FOR_DELETE 1072
; Polls of 250 ms: the service starts and stops well within a second; 30 s covers a loaded PC.
!define SERVICE_POLL_MS 250
!define SERVICE_POLL_COUNT 120
; A service that reaches RUNNING is watched this long more, so that one that ends at once is
; not reported as started.
!define SERVICE_SETTLE_MS 1000

Name "${PRODUCT_NAME}"
OutFile "${OUT_FILE}"
!if "${TARGET_ARCH}" == "amd64-unicode"
!define MAKER_DIR "$PROGRAMFILES64\Dulvex"
!else
!define MAKER_DIR "$PROGRAMFILES\Dulvex"
!endif
InstallDir "${MAKER_DIR}\${PRODUCT_NAME}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Var Addr            ; the address to store; empty keeps the stored one
Var OldAddr         ; the stored address when this run began; empty when there was none
Var AddrWritten     ; 1 once this run has written the value
Var Fresh           ; 1 when no earlier installation was found
Var ServiceCreated  ; 1 once this run has registered the service
Var LogPath
Var SvcState        ; 0 not installed, -1 the manager could not be asked, else SERVICE_* state
Var SvcExit         ; the service's Win32 exit code when it last stopped
Var SvcSpecific     ; its service-specific exit code
Var SvcPid          ; its process id while it runs, else 0
Var LastPid         ; the last process id seen for it in this run
Var Tries
Var PrevState       ; the service's state before this run: 0 when it was not registered
Var AddrField
Var Clients         ; the /CLIENTS= list; ClientsGiven 1 when the option was there
Var ClientsGiven
Var ClientsWritten  ; 1 once this run has written ClientAccounts

; CheckAddr: the terminal address rule, shared with the test of the table of addresses.
!include "${__FILEDIR__}/addr_rule.nsh"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
Page custom AddrPageShow AddrPageLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion ${VERSION}
VIFileVersion ${VERSION}
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PRODUCT_PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT_NAME} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PRODUCT_PUBLISHER}"

; ---------------------------------------------------------------------------------------------
; The "Tools and SDK" component: one list for copying and removing, so that the uninstaller and
; the rollback delete exactly what the installer puts there. Each entry: the folder, the
; installed name, the built file (a missing one fails the build: File without /nonfatal).

; SDK_FILES and SDK_FOLDERS (deepest first), generated from installer/install_files.cmake, the
; list Dulvex.msi is built from too.
!include "${FILES_NSH}"

!macro SDK_COPY_FILE DIR NAME SOURCE
    SetOutPath "${DIR}"
    File "/oname=${NAME}" "${SOURCE}"
!macroend

!macro SDK_DELETE_FILE DIR NAME SOURCE
    Delete "${DIR}\${NAME}"
!macroend

; The component's files and then its folders, deepest first. RMDir without /r: a folder that
; holds anything else (an integrator's own files) stays with it.
!macro SDK_REMOVE
    !insertmacro SDK_FILES SDK_DELETE_FILE
    !insertmacro SDK_FOLDERS SDK_REMOVE_FOLDER
    ClearErrors
!macroend

!macro SDK_REMOVE_FOLDER DIR
    RMDir "${DIR}"
!macroend

; ---------------------------------------------------------------------------------------------
; Helpers shared by the installer and the uninstaller (NSIS needs an "un." copy of each).

!macro SHARED_FUNCTIONS un

; Appends one line to the log and to the details list. Stack: the line.
Function ${un}LogLine
    Exch $R9
    Push $R8
    ; Program output ends in a line break of its own.
    ${Do}
        StrCpy $R8 $R9 1 -1
        ${If} $R8 != "$\r"
        ${AndIf} $R8 != "$\n"
            ${Break}
        ${EndIf}
        StrCpy $R9 $R9 -1
    ${Loop}
    DetailPrint "$R9"
    ClearErrors
    FileOpen $R8 "$LogPath" a
    ${IfNot} ${Errors}
        FileSeek $R8 0 END
        FileWrite $R8 "$R9$\r$\n"
        FileClose $R8
    ${EndIf}
    ClearErrors
    Pop $R8
    Pop $R9
FunctionEnd

; Finds an option "/NAME=value" on the command line: at the start or after a blank or a quote,
; its value running to the next blank, or to the closing quote when the option was quoted.
; Unlike GetOptions it does not end the value at a "/" (a "1.2.3.4/24" must not become
; "1.2.3.4"). Stack: the option with its "=" ("/ADDR="). Pushes the value and sets the error
; flag when the option is absent.
Function ${un}GetOption
    Exch $R0 ; the option
    Push $R1 ; index
    Push $R2 ; length of the option
    Push $R3 ; scratch
    Push $R4 ; the character before, then the end character
    Push $R5 ; the value
    StrLen $R2 $R0
    StrCpy $R1 0
    StrCpy $R5 ""
    ${Do}
        StrCpy $R3 $CMDLINE $R2 $R1
        ${If} $R3 == ""
            StrCpy $R5 ""
            SetErrors
            ${Break}
        ${EndIf}
        StrCpy $R4 " "
        ${If} $R1 > 0
            IntOp $R3 $R1 - 1
            StrCpy $R4 $CMDLINE 1 $R3
        ${EndIf}
        StrCpy $R3 $CMDLINE $R2 $R1
        ${If} $R3 == $R0
            ${If} $R4 == " "
            ${OrIf} $R4 == '"'
                ClearErrors
                IntOp $R1 $R1 + $R2
                ${Do}
                    StrCpy $R3 $CMDLINE 1 $R1
                    ${If} $R3 == ""
                    ${OrIf} $R3 == $R4
                        ${Break}
                    ${EndIf}
                    StrCpy $R5 "$R5$R3"
                    IntOp $R1 $R1 + 1
                ${Loop}
                ${Break}
            ${EndIf}
        ${EndIf}
        IntOp $R1 $R1 + 1
    ${Loop}
    StrCpy $R0 $R5
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd

; Starts a new log: /LOG=path, else the given default. Stack: the default path.
Function ${un}OpenLog
    Exch $R9
    Push "/LOG="
    Call ${un}GetOption
    Pop $LogPath
    ${If} ${Errors}
    ${OrIf} $LogPath == ""
        StrCpy $LogPath $R9
    ${EndIf}
    ClearErrors
    FileOpen $R9 "$LogPath" w
    ${IfNot} ${Errors}
        FileClose $R9
    ${EndIf}
    ClearErrors
    Pop $R9
FunctionEnd

; Quits at once unless the account is an administrator's. Only for .onInit.
Function ${un}RequireAdmin
    UserInfo::GetAccountType
    Pop $R0
    ${If} $R0 != "admin"
        Push "${PRODUCT_NAME} must be run with administrator rights (account type: $R0)."
        Call ${un}LogLine
        MessageBox MB_ICONSTOP|MB_OK "${PRODUCT_NAME} must be run with administrator rights." /SD IDOK
        SetErrorLevel ${EXIT_NOT_ADMIN}
        Quit
    ${EndIf}
FunctionEnd

; Sets SvcState, SvcExit and SvcSpecific from the service manager. Every register it uses is
; kept: callers hold a program's output in $R1 across it, to report it.
Function ${un}QueryService
    Push $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    Push $R6
    Push $4
    StrCpy $SvcState -1
    StrCpy $SvcExit 0
    StrCpy $SvcSpecific 0
    StrCpy $SvcPid 0
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.R1'
    ${If} $R1 P= 0
        Goto done
    ${EndIf}
    System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE_NAME}", i ${SERVICE_QUERY_STATUS}) p.R2 ?e'
    Pop $R0
    ${If} $R2 P= 0
        ; A service marked for deletion goes as soon as the last handle to it closes.
        ${If} $R0 = ${ERROR_SERVICE_DOES_NOT_EXIST}
        ${OrIf} $R0 = ${ERROR_SERVICE_MARKED_FOR_DELETE}
            StrCpy $SvcState 0
        ${EndIf}
    ${Else}
        ; SERVICE_STATUS_PROCESS: nine 32-bit fields, the process id eighth.
        System::Call '*(&i36) p.R3'
        System::Call 'advapi32::QueryServiceStatusEx(p R2, i 0, p R3, i 36, *i .R4) i.R0'
        ${If} $R0 <> 0
            System::Call '*$R3(i, i.R4, i, i.R5, i.R6, i, i, i.r4)'
            StrCpy $SvcState $R4
            StrCpy $SvcExit $R5
            StrCpy $SvcSpecific $R6
            StrCpy $SvcPid $4
            ${If} $SvcPid <> 0
                StrCpy $LastPid $SvcPid
            ${EndIf}
        ${EndIf}
        System::Free $R3
        System::Call 'advapi32::CloseServiceHandle(p R2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p R1)'
done:
    Pop $4
    Pop $R6
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
FunctionEnd

; A service reports STOPPED before its process has ended, and until then the process still holds
; its program file, its ports and its status block: a new start or a file replacement waits for
; the end of the last process seen.
Function ${un}WaitProcessGone
    ${If} $LastPid <> 0
        System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i $LastPid) p.r5'
        ${If} $5 P<> 0
            System::Call 'kernel32::WaitForSingleObject(p r5, i 30000)'
            System::Call 'kernel32::CloseHandle(p r5)'
        ${EndIf}
        StrCpy $LastPid 0
    ${EndIf}
FunctionEnd

; Deletes a file, retrying while something still holds it. Stack: the path.
Function ${un}DeleteFile
    Exch $R9
    StrCpy $Tries 0
    ${Do}
        ClearErrors
        Delete "$R9"
        ${IfNot} ${FileExists} "$R9"
        ${OrIf} $Tries >= ${SERVICE_POLL_COUNT}
            ${Break}
        ${EndIf}
        Sleep ${SERVICE_POLL_MS}
        IntOp $Tries $Tries + 1
    ${Loop}
    ClearErrors
    Pop $R9
FunctionEnd

; Removes an empty folder, retrying while a process that just ended may still hold it as its
; working folder. Stack: the path.
Function ${un}RemoveFolder
    Exch $R9
    StrCpy $Tries 0
    ${Do}
        RMDir "$R9"
        ${IfNot} ${FileExists} "$R9\*.*"
        ${OrIf} $Tries >= 20
            ${Break}
        ${EndIf}
        Sleep ${SERVICE_POLL_MS}
        IntOp $Tries $Tries + 1
    ${Loop}
    ClearErrors
    Pop $R9
FunctionEnd

; Asks a running service to stop and waits until it has. SvcState is SERVICE_STOPPED (or 0)
; afterwards when it worked.
Function ${un}StopService
    Call ${un}QueryService
    ${If} $SvcState <= 0
    ${OrIf} $SvcState = ${SERVICE_STOPPED}
        Return
    ${EndIf}
    Push "Stopping the service ${SERVICE_NAME}."
    Call ${un}LogLine
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.R1'
    ${If} $R1 P<> 0
        System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE_NAME}", i ${SERVICE_STOP}|${SERVICE_QUERY_STATUS}) p.R2'
        ${If} $R2 P<> 0
            System::Call '*(i, i, i, i, i, i, i) p.R3'
            System::Call 'advapi32::ControlService(p R2, i ${SERVICE_CONTROL_STOP}, p R3)'
            System::Free $R3
            System::Call 'advapi32::CloseServiceHandle(p R2)'
        ${EndIf}
        System::Call 'advapi32::CloseServiceHandle(p R1)'
    ${EndIf}
    ; A stop asked for by someone else meanwhile ends the same way: the state is what counts.
    StrCpy $Tries 0
    ${Do}
        Call ${un}QueryService
        ${If} $SvcState <= 0
        ${OrIf} $SvcState = ${SERVICE_STOPPED}
        ${OrIf} $Tries >= ${SERVICE_POLL_COUNT}
            ${Break}
        ${EndIf}
        Sleep ${SERVICE_POLL_MS}
        IntOp $Tries $Tries + 1
    ${Loop}
    ${If} $SvcState <= ${SERVICE_STOPPED}
        Call ${un}WaitProcessGone
    ${EndIf}
FunctionEnd

!macroend

!insertmacro SHARED_FUNCTIONS ""
!insertmacro SHARED_FUNCTIONS "un."

; ---------------------------------------------------------------------------------------------
; The terminal address.

; Polls until the service leaves the given pending state or the bound runs out.
; Stack: the pending state.
Function WaitServiceState
    Exch $R7
    StrCpy $Tries 0
    ${Do}
        Call QueryService
        ${If} $SvcState <> $R7
        ${OrIf} $Tries >= ${SERVICE_POLL_COUNT}
            ${Break}
        ${EndIf}
        Sleep ${SERVICE_POLL_MS}
        IntOp $Tries $Tries + 1
    ${Loop}
    Pop $R7
FunctionEnd

; Stores the text as the service reads it. Stack: the text. Pushes 1 when written, else 0.
Function WriteAddrValue
    Exch $R0
    Push $R1
    Push $R2
    Push $R3
    System::Call '*(&i${ADDR_BUFFER_SIZE}) p.R1'
    ; The buffer is zeroed when allocated: the bytes after the NUL stay 0.
    System::Call 'kernel32::lstrcpynA(p R1, m R0, i ${ADDR_BUFFER_SIZE})'
    StrCpy $R3 0
    System::Call 'advapi32::RegCreateKeyExA(p ${HKLM_HANDLE}, m "${CONFIG_KEY}", i 0, p 0, i 0, i ${KEY_WRITE_VIEW}, p 0, *p .R2, p 0) i.R0'
    ${If} $R0 = 0
        System::Call 'advapi32::RegSetValueExA(p R2, m "${CONFIG_VALUE}", i 0, i 1, p R1, i ${ADDR_BUFFER_SIZE}) i.R0'
        ${If} $R0 = 0
            StrCpy $R3 1
        ${EndIf}
        System::Call 'advapi32::RegCloseKey(p R2)'
    ${EndIf}
    System::Free $R1
    StrCpy $R0 $R3
    Pop $R3
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd

Function AddrPageShow
    !insertmacro MUI_HEADER_TEXT "Payment terminal" "The IPv4 address of the payment terminal."
    nsDialogs::Create 1018
    Pop $R0
    ${If} $R0 == error
        Abort
    ${EndIf}
    ${If} $OldAddr == ""
        StrCpy $R1 "No address is configured yet; the service then uses 127.0.0.1 (this PC)."
    ${Else}
        StrCpy $R1 "The address configured now is $OldAddr."
    ${EndIf}
    ${NSD_CreateLabel} 0 0 100% 48u "Enter the terminal's IPv4 address: four numbers 0 to 255 separated by dots, for example 192.168.1.50.$\r$\n$\r$\n$R1 Leave the field empty to keep it."
    Pop $R0
    ${NSD_CreateText} 0 56u 90u 12u "$Addr"
    Pop $AddrField
    ${NSD_SetTextLimit} $AddrField 15
    nsDialogs::Show
FunctionEnd

Function AddrPageLeave
    ${NSD_GetText} $AddrField $Addr
    ${If} $Addr != ""
        Call CheckAddr
        Pop $R0
        ${If} $R0 != ""
            MessageBox MB_ICONEXCLAMATION|MB_OK '"$Addr" $R0.'
            Abort
        ${EndIf}
    ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------------------------
; Installation.

Function .onInit
    SetShellVarContext all
!if "${TARGET_ARCH}" == "amd64-unicode"
    SetRegView 64
!endif
    Push "$TEMP\DulvexSetup.log"
    Call OpenLog
    Call RequireAdmin
    StrCpy $AddrWritten 0
    StrCpy $ServiceCreated 0
    StrCpy $LastPid 0
    ReadRegStr $OldAddr HKLM "${CONFIG_KEY}" "${CONFIG_VALUE}"
    Push "/ADDR="
    Call GetOption
    Pop $Addr
    ${If} ${Errors}
        ; No address given: the stored one stays.
        StrCpy $Addr ""
    ${Else}
        Call CheckAddr
        Pop $R0
        ${If} $R0 != ""
            Push 'The terminal address "$Addr" $R0; nothing was changed.'
            Call LogLine
            MessageBox MB_ICONSTOP|MB_OK 'The terminal address "$Addr" $R0.' /SD IDOK
            SetErrorLevel ${EXIT_BAD_ADDR}
            Quit
        ${EndIf}
    ${EndIf}
    ClearErrors
    StrCpy $ClientsWritten 0
    StrCpy $ClientsGiven 0
    Push "/CLIENTS="
    Call GetOption
    Pop $Clients
    ${IfNot} ${Errors}
        StrCpy $ClientsGiven 1
    ${EndIf}
    ClearErrors
    Call ChooseComponents
    ; An earlier installation decides the folder, so that an upgrade replaces it in place.
    ReadRegStr $R0 HKLM "${UNINST_KEY}" "InstallLocation"
    ${If} $R0 == ""
        StrCpy $Fresh 1
    ${Else}
        StrCpy $Fresh 0
        StrCpy $INSTDIR $R0
    ${EndIf}
    ClearErrors
FunctionEnd

; Ends the installation with a message and an exit code after undoing what this run did.
; Stack: the message.
Function Fail
    Exch $R9
    Push "Installation failed: $R9"
    Call LogLine
    Call Rollback
    MessageBox MB_ICONSTOP|MB_OK "Installation failed: $R9" /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Pop $R9
    Abort
FunctionEnd

; A service registered by this run goes again, so that no service is left that cannot start or
; cannot be removed; on a first installation the files and the entry go too. An earlier
; installation's registration and files stay.
Function Rollback
    ${If} $ServiceCreated = 1
        Call StopService
        nsExec::ExecToStack '"$INSTDIR\${SRV_NAME}" -remove'
        Pop $R0
        Pop $R1
        Push "Service registration undone: $R1"
        Call LogLine
        StrCpy $ServiceCreated 0
    ${EndIf}
    ${If} $AddrWritten = 1
        ${If} $OldAddr == ""
            DeleteRegValue HKLM "${CONFIG_KEY}" "${CONFIG_VALUE}"
        ${Else}
            Push $OldAddr
            Call WriteAddrValue
            Pop $R0
        ${EndIf}
    ${EndIf}
    ${If} $ClientsWritten = 1
    ${AndIf} $Fresh = 1
        DeleteRegValue HKLM "${CONFIG_KEY}" "ClientAccounts"
    ${EndIf}
    ${If} $Fresh = 1
        ; The working folder of a process cannot be removed.
        SetOutPath "$TEMP"
        Call WaitProcessGone
        Push "$INSTDIR\${SRV_NAME}"
        Call DeleteFile
        Delete "$INSTDIR\${UNINSTALLER}"
        Delete "$SYSDIR\${CPL_NAME}"
        !insertmacro SDK_REMOVE
        Push "$INSTDIR"
        Call RemoveFolder
        RMDir "${MAKER_DIR}"
        RMDir "${LOG_DIR}"
        RMDir "${DATA_DIR}"
        DeleteRegKey HKLM "${UNINST_KEY}"
        DeleteRegKey HKLM "${EVENT_KEY}"
    ${EndIf}
FunctionEnd

; The image path that -install registers for this folder: quoted when it holds a blank.
Function ExpectedImagePath
    Push $R0
    Push $R1
    StrCpy $R0 "$INSTDIR\${SRV_NAME}"
    ${WordFind} "$R0" " " "E#" $R1
    ${IfNot} ${Errors}
        StrCpy $R0 '"$R0"'
    ${EndIf}
    ClearErrors
    Pop $R1
    Exch $R0
FunctionEnd

Section "-Program"
    SetOutPath "$INSTDIR"

    ; An earlier copy must not run while its files are replaced.
    Call StopService
    ${If} $SvcState = -1
        Push "the service manager could not be opened."
        Call Fail
    ${EndIf}
    ${If} $SvcState > 0
    ${AndIf} $SvcState <> ${SERVICE_STOPPED}
        Push "the running service ${SERVICE_NAME} did not stop (state $SvcState)."
        Call Fail
    ${EndIf}
    StrCpy $PrevState $SvcState

    Push "Copying files to $INSTDIR."
    Call LogLine
    ClearErrors
    File "/oname=${SRV_NAME}" "${SRV_EXE}"
    ${If} ${Errors}
        Push "cannot write $INSTDIR\${SRV_NAME}."
        Call Fail
    ${EndIf}
!ifdef CPL_FILE
    SetOutPath "$SYSDIR"
    File "/oname=${CPL_NAME}" "${CPL_FILE}"
    ${If} ${Errors}
        Push "cannot write $SYSDIR\${CPL_NAME}."
        Call Fail
    ${EndIf}
    SetOutPath "$INSTDIR"
!endif
    WriteUninstaller "$INSTDIR\${UNINSTALLER}"
    ${If} ${Errors}
        Push "cannot write $INSTDIR\${UNINSTALLER}."
        Call Fail
    ${EndIf}

    ClearErrors
    WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT_NAME}"
    WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PRODUCT_PUBLISHER}"
    WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${SRV_NAME},0"
    WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
    WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
    WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
    ${If} ${Errors}
        Push "cannot write the Add or Remove Programs entry."
        Call Fail
    ${EndIf}
SectionEnd

Section "Tools and SDK" SEC_SDK
    Push "Copying dulvex-client, the SDK and the Wireshark dissector to $INSTDIR."
    Call LogLine
    ClearErrors
    !insertmacro SDK_FILES SDK_COPY_FILE
    ${If} ${Errors}
        Push "cannot write the tools and SDK to $INSTDIR."
        Call Fail
    ${EndIf}
    SetOutPath "$INSTDIR"
SectionEnd

; /NOSDK leaves the component out. Called by .onInit; here because the section's index is known
; only after the section.
Function ChooseComponents
    Push "/NOSDK"
    Call GetOption
    Pop $R0
    ; A longer word that starts so ("/NOSDKFOO") is another option.
    ${IfNot} ${Errors}
    ${AndIf} $R0 == ""
        !insertmacro UnselectSection ${SEC_SDK}
    ${EndIf}
    ClearErrors
FunctionEnd

Section "-Service"
    ; An installation without the component has none of its files, also over one that had them.
    ${IfNot} ${SectionIsSelected} ${SEC_SDK}
        !insertmacro SDK_REMOVE
    ${EndIf}
    ${GetSize} "$INSTDIR" "/S=0K" $R0 $R1 $R2
    WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $R0
    ClearErrors

    ; The program folder (wherever /D= put it) and the log folder get their DACLs from the code
    ; the MSI runs too (installer/setup_actions.cpp), before the service first starts.
    InitPluginsDir
    File "/oname=$PLUGINSDIR\${ACTIONS_NAME}" "${ACTIONS_DLL}"
    System::Call '$PLUGINSDIR\${ACTIONS_NAME}::DulvexProtectFolder(m "$INSTDIR", i ${FOLDER_PROGRAM}) i.R0'
    Push "Program folder protected: $INSTDIR (result $R0)."
    Call LogLine
    ${If} $R0 != 0
        Push "cannot set the permissions of $INSTDIR (error $R0)."
        Call Fail
    ${EndIf}
    System::Call '$PLUGINSDIR\${ACTIONS_NAME}::DulvexProtectFolder(m "${LOG_DIR}", i ${FOLDER_LOGS}) i.R0'
    Push "Log folder protected: ${LOG_DIR} (result $R0)."
    Call LogLine
    ${If} $R0 != 0
        Push "cannot make the log folder ${LOG_DIR} (error $R0)."
        Call Fail
    ${EndIf}

    ; A registration that points at another copy of the program (an earlier hand installation)
    ; is replaced by one for this folder.
    ${If} $PrevState > 0
        Call ExpectedImagePath
        Pop $R1
        ReadRegStr $R0 HKLM "${SERVICE_KEY}" "ImagePath"
        ClearErrors
        ${If} $R0 != $R1
            Push "Replacing the registration of $R0."
            Call LogLine
            nsExec::ExecToStack '"$INSTDIR\${SRV_NAME}" -remove'
            Pop $R0
            Pop $R1
            Call QueryService
            ${If} $SvcState <> 0
                Push "the earlier service registration could not be removed: $R1"
                Call Fail
            ${EndIf}
        ${EndIf}
    ${EndIf}

    Call QueryService
    ${If} $SvcState = 0
        Push "Registering the service ${SERVICE_NAME}."
        Call LogLine
        nsExec::ExecToStack '"$INSTDIR\${SRV_NAME}" -install'
        Pop $R0
        Pop $R1
        Push "$R1"
        Call LogLine
        Call QueryService
        ${If} $SvcState > 0
            StrCpy $ServiceCreated 1
        ${EndIf}
        ; The program prints its own failures and always exits with 0: the result is read back
        ; from the service manager and the event source.
        ${If} $SvcState <= 0
            Push "the service could not be registered: $R1"
            Call Fail
        ${EndIf}
        ReadRegStr $R2 HKLM "${EVENT_KEY}" "EventMessageFile"
        ClearErrors
        ${If} $R2 != "$INSTDIR\${SRV_NAME}"
            Push "the event source could not be registered: $R1"
            Call Fail
        ${EndIf}
    ${EndIf}

    ; Set on every run, so that an installation over an older one gets them too. Windows 2000 on
    ; stores them; whether the manager restarts the service is its own business.
    System::Call '$PLUGINSDIR\${ACTIONS_NAME}::DulvexSetRecovery() i.R0'
    Push "Recovery actions: restart after 5 s on the first and second failure, reset after a day (result $R0)."
    Call LogLine
    ${If} $R0 != 0
        Push "cannot set the service's recovery actions (error $R0)."
        Call Fail
    ${EndIf}

    ${If} $Addr != ""
        Push "Terminal address: $Addr."
        Call LogLine
        Push $Addr
        Call WriteAddrValue
        Pop $R0
        ${If} $R0 <> 1
            Push "cannot write the terminal address to HKLM\${CONFIG_KEY}."
            Call Fail
        ${EndIf}
        StrCpy $AddrWritten 1
    ${EndIf}

    ; The accounts allowed on the pipe, beside the address; without the option the stored ones
    ; stay, and an empty list removes the value (the pipe is open to every local account).
    ${If} $ClientsGiven = 1
        Push "Client accounts: $Clients."
        Call LogLine
        System::Call '$PLUGINSDIR\${ACTIONS_NAME}::DulvexWriteClientAccounts(m "$Clients") i.R0'
        ${If} $R0 != 0
            Push "cannot write the client accounts to HKLM\${CONFIG_KEY} (error $R0)."
            Call Fail
        ${EndIf}
        StrCpy $ClientsWritten 1
    ${EndIf}

    Push "Starting the service ${SERVICE_NAME}."
    Call LogLine
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.R1'
    StrCpy $R0 0
    ${If} $R1 P<> 0
        System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE_NAME}", i ${SERVICE_START}) p.R2'
        ${If} $R2 P<> 0
            System::Call 'advapi32::StartServiceW(p R2, i 0, p 0) i.R0 ?e'
            Pop $R3
            System::Call 'advapi32::CloseServiceHandle(p R2)'
        ${EndIf}
        System::Call 'advapi32::CloseServiceHandle(p R1)'
    ${EndIf}
    ${If} $R0 = 0
        Push "the service could not be started (error $R3)."
        Call Fail
    ${EndIf}
    Push ${SERVICE_START_PENDING}
    Call WaitServiceState
    ${If} $SvcState = ${SERVICE_RUNNING}
        Sleep ${SERVICE_SETTLE_MS}
        Call QueryService
    ${EndIf}
    ${If} $SvcState <> ${SERVICE_RUNNING}
        Push "the service did not keep running (state $SvcState, exit code $SvcExit, service code $SvcSpecific); see the Application event log."
        Call Fail
    ${EndIf}
    Push "${PRODUCT_NAME} ${VERSION} is installed and the service runs."
    Call LogLine
SectionEnd

; ---------------------------------------------------------------------------------------------
; Removal. The configured terminal address stays for a later installation.

Function un.onInit
    SetShellVarContext all
!if "${TARGET_ARCH}" == "amd64-unicode"
    SetRegView 64
!endif
    Push "$TEMP\DulvexUninstall.log"
    Call un.OpenLog
    Call un.RequireAdmin
    StrCpy $LastPid 0
FunctionEnd

Function un.Fail
    Exch $R9
    Push "Removal failed: $R9"
    Call un.LogLine
    MessageBox MB_ICONSTOP|MB_OK "Removal failed: $R9" /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Pop $R9
    Abort
FunctionEnd

Section "Uninstall"
    Call un.StopService
    ${If} $SvcState = -1
        Push "the service manager could not be opened."
        Call un.Fail
    ${EndIf}
    ${If} $SvcState > 0
        ${If} $SvcState <> ${SERVICE_STOPPED}
            ; Files in use by a service that goes on running would stay half removed.
            Push "the service ${SERVICE_NAME} did not stop (state $SvcState)."
            Call un.Fail
        ${EndIf}
        Push "Removing the service ${SERVICE_NAME}."
        Call un.LogLine
        nsExec::ExecToStack '"$INSTDIR\${SRV_NAME}" -remove'
        Pop $R0
        Pop $R1
        Push "$R1"
        Call un.LogLine
        Call un.QueryService
        ${If} $SvcState <> 0
            Push "the service ${SERVICE_NAME} could not be removed: $R1"
            Call un.Fail
        ${EndIf}
    ${EndIf}

    ; The message file of the event source goes with the program.
    DeleteRegKey HKLM "${EVENT_KEY}"
    Delete "$SYSDIR\${CPL_NAME}"
    Call un.WaitProcessGone
    Push "$INSTDIR\${SRV_NAME}"
    Call un.DeleteFile
    Delete "$INSTDIR\${UNINSTALLER}"
    !insertmacro SDK_REMOVE
    Push "$INSTDIR"
    Call un.RemoveFolder
    ; The maker's folder goes only when empty, and never a folder the user chose; the log folder
    ; only when no log is left in it.
    RMDir "${MAKER_DIR}"
    RMDir "${LOG_DIR}"
    RMDir "${DATA_DIR}"
    DeleteRegKey HKLM "${UNINST_KEY}"
    ; A running dulvex-client or a program that has loaded the DLL keeps its file.
    ${If} ${FileExists} "$INSTDIR\${SRV_NAME}"
    ${OrIf} ${FileExists} "$SYSDIR\${CPL_NAME}"
    ${OrIf} ${FileExists} "$INSTDIR\${CLIENT_NAME}"
    ${OrIf} ${FileExists} "$INSTDIR\sdk\bin\dulvex.dll"
        Push "some files are in use and stay: $INSTDIR\${SRV_NAME}, $SYSDIR\${CPL_NAME}, $INSTDIR\${CLIENT_NAME}, $INSTDIR\sdk\bin\dulvex.dll."
        Call un.Fail
    ${EndIf}
    Push "${PRODUCT_NAME} is removed; the terminal address stays in HKLM\${CONFIG_KEY}."
    Call un.LogLine
SectionEnd
