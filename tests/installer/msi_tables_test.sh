#!/bin/bash
# The tables of Dulvex.msi as Windows Installer will read them, checked with msitools and without
# Wine, so that the 32-bit package (which cannot run here) is proven the same way as the 64-bit
# one: the service, its control events and its recovery actions; the two features; the public
# properties; the custom actions and where they run; one component per file of the shared list,
# each of the package's bitness.
#
# Usage: msi_tables_test.sh MSI ARCH(x64|x86) VERSION FILE_COUNT ACTIONS_DLL OBJDUMP
set -u
msi=$1
arch=$2
version=$3
file_count=$4
dll=$5
objdump=$6
source "$(dirname "$0")/../shell_lib.sh"

table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4 | LC_ALL=C sort; }
# One row, or fields of it: the row whose first column is $2.
row() { table "$1" | awk -F'\t' -v k="$2" '$1 == k'; }

if [ "$arch" = x64 ]; then
    template='x64;1033'
    component_bit=256
else
    template='Intel;1033'
    component_bit=0
fi
check_match "summary: platform" "Template: $template" "$(msiinfo suminfo "$msi")"

# Name, display name, type 16 (own process), start 2 (auto), error control 1 (normal), the
# dependencies of DulvexSrv -install, the component of the service program.
check_eq "ServiceInstall" "DulvexService	DulvexService	DulvexService	16	2	1		EventLog[~]tcpip[~][~]				C_Srv	Varnok Payment Terminal Service for Win32" \
    "$(table ServiceInstall)"
# 1 start at install + 2 stop at install + 8 delete at install + 32 stop at removal + 128 delete
# at removal = 171; wait for each.
check_eq "ServiceControl" "DulvexService	DulvexService	171		1	C_Srv" "$(table ServiceControl)"
# Restart after 5 s on the first and second failure, nothing on later ones, reset after a day;
# applied at install (event 1) by MsiConfigureServices before StartServices.
check_eq "MsiServiceConfigFailureActions" \
    "DulvexRecovery	DulvexService	1	86400			1[~]1[~]0	5000[~]5000[~]0	C_Srv" \
    "$(table MsiServiceConfigFailureActions)"
check_eq "sequence: MsiConfigureServices between InstallServices and StartServices" \
    "InstallServices	VersionNT	5800
MsiConfigureServices	VersionMsi >= \"5.00\"	5850
StartServices	VersionNT	5900" \
    "$(table InstallExecuteSequence | grep -E '^(InstallServices|MsiConfigureServices|StartServices)	' | sort -t$'\t' -k3n)"

# Attributes 16 (no "absent" in the UI) + 8 (never advertised) for Program, 8 for Sdk.
check_eq "Feature: Program (cannot be absent) and Sdk" "Program		Dulvex Bridge		2	1		24
Sdk		Tools and SDK		2	1		8" "$(table Feature | cut -f1-8)"
check_eq "FeatureComponents: Sdk holds the tools and SDK files" "$((file_count - 2))" \
    "$(table FeatureComponents | awk -F'\t' '$1 == "Sdk"' | wc -l)"
check_eq "File table: one row per file of the shared list" "$file_count" "$(table File | wc -l)"
check_eq "Component: every one of the package's bitness" "" \
    "$(table Component | awk -F'\t' -v b=$component_bit 'int($4 / 256) % 2 * 256 != b {print $1}')"
check_eq "RemoveFile: the folders, deepest first, at removal" \
    "$(for d in D_tools_wireshark D_tools D_sdk_samples_csharp D_sdk_samples D_sdk_lib D_sdk_include D_sdk_docs D_sdk_bin D_sdk INSTALLDIR DulvexMakerDir LOGDIR DulvexDataDir; do echo "$d	2"; done)" \
    "$(msiinfo export "$msi" RemoveFile | tr -d '\r' | tail -n +4 | cut -f4,5)"
check_eq "Component: the address only when given" "C_Addr	ADDR" \
    "$(table Component | awk -F'\t' '$5 != "" {print $1 "\t" $5}')"

check_eq "Property: version" "ProductVersion	$version" "$(row Property ProductVersion)"
check_eq "Property: fixed UpgradeCode" "UpgradeCode	{6F0D7C52-3B1E-4E7A-9C1D-2A4B8E5F7D10}" \
    "$(row Property UpgradeCode)"
check_eq "Property: ADDR and CLIENTACCOUNTS pass to the server side" \
    "SecureCustomProperties	WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ADDR;CLIENTACCOUNTS" \
    "$(row Property SecureCustomProperties)"
# Older versions (below this one, exclusive) are removed, their features' states taken over (1);
# a newer one is only detected (2) and blocks the run through a launch condition.
check_eq "Upgrade: older versions go, newer ones block" "{6F0D7C52-3B1E-4E7A-9C1D-2A4B8E5F7D10}		$version		1		WIX_UPGRADE_DETECTED
{6F0D7C52-3B1E-4E7A-9C1D-2A4B8E5F7D10}	$version			2		WIX_DOWNGRADE_DETECTED" \
    "$(table Upgrade)"
check_eq "LaunchCondition: no downgrade" "NOT WIX_DOWNGRADE_DETECTED	A newer version of Dulvex Bridge is installed already." \
    "$(table LaunchCondition)"
check_eq "RegLocator: the stored address, in the package's registry view" \
    "StoredAddr	2	Software\\Varnok\\PaymentTermService	Addr	$([ "$arch" = x64 ] && echo 18 || echo 2)" \
    "$(table RegLocator)"

# The address is judged right after AppSearch, before anything is written; the folders are
# protected as LocalSystem (deferred 1024 + no impersonation 2048) once the files are there.
# (wixl adds 2048 to every action; it means nothing to immediate ones. 3137 = 3073 + 64: the
# removal of the client accounts may fail without failing the removal.)
check_eq "CustomAction" "CheckAddress	2049	SetupActions	DulvexCheckAddress
KeepStoredAddress	2099	ADDR	[STOREDADDR]
KeepStoredClients	2049	SetupActions	DulvexKeepClientAccounts
ProtectFolders	3073	SetupActions	DulvexProtectFolders
ProtectFoldersData	2099	ProtectFolders	[INSTALLDIR]|[LOGDIR]
QuoteServicePath	3073	SetupActions	DulvexQuoteServicePath
QuoteServicePathData	2099	QuoteServicePath	[#SrvExe]
RememberServiceProcess	2049	SetupActions	DulvexRememberServiceProcess
RemoveSettings	3137	SetupActions	DulvexRemoveSettings
SetClientAccounts	3073	SetupActions	DulvexSetClientAccounts
SetClientAccountsData	2099	SetClientAccounts	[CLIENTACCOUNTS]
SetRecoveryActions	3073	SetupActions	DulvexSetRecoveryActions
WaitServiceProcess	2049	SetupActions	DulvexWaitServiceProcess
WaitStoppedService	3073	SetupActions	DulvexWaitServiceProcess
WaitStoppedServiceData	2099	WaitStoppedService	[DULVEXSERVICEPID]" "$(table CustomAction | cut -f1-4)"
check_eq "sequence: the custom actions" "AppSearch		50
CheckAddress	ADDR	51
KeepStoredAddress	NOT ADDR AND STOREDADDR	52
KeepStoredClients	NOT CLIENTACCOUNTS	53
RememberServiceProcess		1399
RemoveExistingProducts		1401
WaitServiceProcess	DULVEXSERVICEPID	1402
WaitStoppedServiceData	DULVEXSERVICEPID	1899
StopServices	VersionNT	1900
WaitStoppedService	DULVEXSERVICEPID	1901
RemoveSettings	REMOVE~=\"ALL\"	2601
InstallFiles		4000
ProtectFoldersData	NOT REMOVE~=\"ALL\"	4001
ProtectFolders	NOT REMOVE~=\"ALL\"	4002
SetClientAccountsData	CLIENTACCOUNTS AND NOT REMOVE~=\"ALL\"	5001
SetClientAccounts	CLIENTACCOUNTS AND NOT REMOVE~=\"ALL\"	5002
InstallServices	VersionNT	5800
QuoteServicePathData	NOT REMOVE~=\"ALL\"	5801
QuoteServicePath	NOT REMOVE~=\"ALL\"	5802
SetRecoveryActions	VersionMsi < \"5.00\" AND NOT REMOVE~=\"ALL\"	5803" \
    "$(table InstallExecuteSequence | grep -E '^(AppSearch|CheckAddress|KeepStoredAddress|KeepStoredClients|RememberServiceProcess|RemoveExistingProducts|WaitServiceProcess|StopServices|WaitStoppedServiceData|WaitStoppedService|RemoveSettings|InstallFiles|ProtectFolders|ProtectFoldersData|SetClientAccounts|SetClientAccountsData|InstallServices|QuoteServicePath|QuoteServicePathData|SetRecoveryActions)	' | sort -t$'\t' -k3n)"

# The actions' DLL the package carries is the built one; every entry the CustomAction table names
# is exported under that very name (a 32-bit __stdcall export would be decorated "_Name@4").
check_cmd "Binary: the built setup actions" cmp -s <(msiinfo extract "$msi" Binary.SetupActions) "$dll"
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\]/ {print $NF}')
for entry in $(table CustomAction | awk -F'\t' '$3 == "SetupActions" {print $4}'); do
    check_match "DllEntry $entry exported" "(^|
)$entry($|
)" "$exports"
done
# The DACLs it applies, as SDDL: protected (P), inherited by files and folders below (OICI);
# SYSTEM (SY) and Administrators (BA) full control; on the program folder also Users (BU) read
# and execute (0x1200a9 = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE). Nothing else.
check_eq "the DACLs applied: log folder, program folder" "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)
D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)" "$(strings -n 8 "$dll" | grep '^D:' | LC_ALL=C sort)"

echo "$CHECKS checks, $FAILURES failed"
[ "$FAILURES" -eq 0 ]
