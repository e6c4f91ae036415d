// DulvexSetupActions.dll: what both installers need done beyond copying files and writing
// values. Dulvex.msi carries it in its Binary table and calls the MSI entries; DulvexSetup.exe
// unpacks it to its plug-in folder and calls DulvexProtectFolder through the System plug-in.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <aclapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addr_rule.h"
#include "recovery.h"

namespace {

// The program folder: SYSTEM and Administrators full control, Users read and execute; protected
// from what the folder above grants, so that /D=C:\Dulvex does not inherit "Authenticated Users:
// Modify" and let any user replace the program LocalSystem runs.
const char PROGRAM_FOLDER_SDDL[] = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// The log folder: payment data; SYSTEM and Administrators only.
const char LOG_FOLDER_SDDL[] = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

enum FolderKind { FOLDER_PROGRAM = 0, FOLDER_LOGS = 1 };

constexpr DWORD PROPERTY_SIZE = 1024;
constexpr DWORD SERVICE_CONFIG_SIZE = 8192;
const char SERVICE_NAME[] = "DulvexService";
const char CONFIG_KEY[] = "Software\\Varnok\\PaymentTermService";
const char CLIENTS_VALUE[] = "ClientAccounts";
const char MAKER_KEY[] = "Software\\Varnok";
constexpr size_t LOG_LINE_SIZE = 1200;
// A stopped service's process ends within a second; 30 s covers a loaded PC.
constexpr DWORD SERVICE_EXIT_WAIT_MS = 30000;

// One line in the installation log (msiexec /l*v), or a message box without /qn for an error.
void Log(MSIHANDLE install, INSTALLMESSAGE kind, const char* text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0)
        return;
    MsiRecordSetStringA(record, 0, text);
    MsiProcessMessage(install, kind, record);
    MsiCloseHandle(record);
}

// The folder above path (which may end in a backslash), with the DACL it inherits: the maker's
// folder under the common application data holds nothing but the log folder.
void MakeParent(const char* path)
{
    char parent[MAX_PATH];
    size_t length = strlen(path);
    if (length == 0 || length >= sizeof parent)
        return;
    memcpy(parent, path, length + 1);
    if (parent[length - 1] == '\\')
        parent[--length] = '\0';
    char* last = strrchr(parent, '\\');
    if (last == nullptr || last == parent)
        return;
    *last = '\0';
    CreateDirectoryA(parent, nullptr);
}

// Gives path the kind's DACL: a folder that does not exist is made with it (and never has another
// one, not even for a moment); an existing one gets it set, its files included.
DWORD ProtectFolder(const char* path, int kind)
{
    const char* sddl = kind == FOLDER_LOGS ? LOG_FOLDER_SDDL : PROGRAM_FOLDER_SDDL;
    if (kind != FOLDER_PROGRAM && kind != FOLDER_LOGS)
        return ERROR_INVALID_PARAMETER;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    DWORD rc = ERROR_SUCCESS;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    if (kind == FOLDER_LOGS)
        MakeParent(path);
    if (CreateDirectoryA(path, &attributes))
        goto cleanup;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        rc = GetLastError();
        goto cleanup;
    }
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        rc = GetLastError();
        goto cleanup;
    }
    // The files already in the folder take the inheritable entries with it.
    rc = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr);
cleanup:
    LocalFree(descriptor);
    return rc;
}

// The accounts allowed on the pipe, "name;name;SID" as an administrator types them, stored as the
// service reads them (REG_MULTI_SZ beside Addr): blanks around a name dropped, empty names
// skipped; a list with no name removes the value, which opens the pipe to every local account
// again. 0 or the Win32 error.
DWORD WriteClientAccounts(const char* list)
{
    static char data[PROPERTY_SIZE + 2];
    size_t used = 0;
    for (const char* p = list; *p != '\0';) {
        while (*p == ' ' || *p == ';')
            ++p;
        const char* end = p;
        while (*end != '\0' && *end != ';')
            ++end;
        const char* last = end;
        while (last > p && last[-1] == ' ')
            --last;
        size_t length = static_cast<size_t>(last - p);
        if (length > 0) {
            if (used + length + 2 > sizeof data)
                return ERROR_INSUFFICIENT_BUFFER;
            memcpy(data + used, p, length);
            used += length;
            data[used++] = '\0';
        }
        p = end;
    }
    data[used++] = '\0';
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return static_cast<DWORD>(rc);
    if (used == 1) {
        rc = RegDeleteValueA(key, CLIENTS_VALUE);
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    } else {
        rc = RegSetValueExA(key, CLIENTS_VALUE, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data),
                            static_cast<DWORD>(used));
    }
    RegCloseKey(key);
    return static_cast<DWORD>(rc);
}

} // namespace

// The NSIS installer's call for /CLIENTS=; 0 or the Win32 error.
extern "C" __declspec(dllexport) DWORD __stdcall DulvexWriteClientAccounts(const char* list)
{
    return list == nullptr ? ERROR_INVALID_PARAMETER : WriteClientAccounts(list);
}

// Immediate, after AppSearch, when CLIENTACCOUNTS was not given: the stored accounts become the
// property (";" between names; no account name holds one), so that an upgrade, which removes the
// older product and its value first, writes them again.
extern "C" __declspec(dllexport) UINT __stdcall DulvexKeepClientAccounts(MSIHANDLE install)
{
    static char data[PROPERTY_SIZE + 2];
    DWORD size = PROPERTY_SIZE;
    DWORD type = REG_NONE;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    LONG rc = RegQueryValueExA(key, CLIENTS_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return ERROR_SUCCESS;
    // The data need not end in its two NULs: the bytes read are all there is.
    data[size] = '\0';
    for (DWORD i = 0; i < size; ++i) {
        if (data[i] == '\0')
            data[i] = ';';
    }
    MsiSetPropertyA(install, "CLIENTACCOUNTS", data);
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line, "DulvexKeepClientAccounts: stored \"%s\" kept", data);
    Log(install, INSTALLMESSAGE_INFO, line);
    return ERROR_SUCCESS;
}

// Deferred, as LocalSystem, after WriteRegistryValues, when CLIENTACCOUNTS was given.
// CustomActionData: the list.
extern "C" __declspec(dllexport) UINT __stdcall DulvexSetClientAccounts(MSIHANDLE install)
{
    char list[PROPERTY_SIZE] = {};
    DWORD size = sizeof list;
    if (MsiGetPropertyA(install, "CustomActionData", list, &size) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    DWORD rc = WriteClientAccounts(list);
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line, "DulvexSetClientAccounts: \"%s\" -> %lu", list, static_cast<unsigned long>(rc));
    Log(install, INSTALLMESSAGE_INFO, line);
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

namespace {

// Deletes key (below HKLM) when it holds neither values nor subkeys: a key that still holds a
// setting made by hand stays with it.
LONG DeleteKeyIfEmpty(const char* path)
{
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD subkeys = 0;
    DWORD values = 0;
    rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                          nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (subkeys != 0 || values != 0)
        return ERROR_DIR_NOT_EMPTY;
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

} // namespace

// Deferred, at removal, after RemoveRegistryValues: the client accounts go with the product (an
// upgrade has read them and writes them again), and so do the configuration key, which the
// service creates when it first reads its address, and the maker's key above it, when nothing
// else is left in them.
extern "C" __declspec(dllexport) UINT __stdcall DulvexRemoveSettings(MSIHANDLE install)
{
    DWORD rc = WriteClientAccounts("");
    LONG config = DeleteKeyIfEmpty(CONFIG_KEY);
    LONG maker = DeleteKeyIfEmpty(MAKER_KEY);
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line, "DulvexRemoveSettings: client accounts -> %lu; empty keys removed: %s %ld, %s %ld",
             static_cast<unsigned long>(rc), CONFIG_KEY, static_cast<long>(config), MAKER_KEY,
             static_cast<long>(maker));
    Log(install, INSTALLMESSAGE_INFO, line);
    return ERROR_SUCCESS;
}

// The NSIS installer's call after the service's registration: restart after 5 s on the first and
// the second failure, nothing after that, the count reset after a day; the same as the MSI's
// MsiServiceConfigFailureActions row. 0 or the Win32 error.
extern "C" __declspec(dllexport) DWORD __stdcall DulvexSetRecovery()
{
    DWORD rc = ERROR_SUCCESS;
    SC_HANDLE service = nullptr;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return GetLastError();
    // A restart action needs the right to start the service, not only to change it.
    service = OpenServiceA(manager, SERVICE_NAME, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (service == nullptr || !SetRecoveryActions(service))
        rc = GetLastError();
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

// The NSIS installer's call; 0 or the Win32 error.
extern "C" __declspec(dllexport) DWORD __stdcall DulvexProtectFolder(const char* path, int kind)
{
    if (path == nullptr || path[0] == '\0')
        return ERROR_INVALID_PARAMETER;
    return ProtectFolder(path, kind);
}

// Immediate, before anything is written: ADDR as given on the command line is judged by the rule
// every other part uses, and a bad one ends the installation with its reason in the log.
extern "C" __declspec(dllexport) UINT __stdcall DulvexCheckAddress(MSIHANDLE install)
{
    char addr[PROPERTY_SIZE] = {};
    DWORD size = sizeof addr;
    UINT rc = MsiGetPropertyA(install, "ADDR", addr, &size);
    AddrRule rule = ADDR_USABLE;
    if (rc == ERROR_MORE_DATA)
        rule = ADDR_TOO_LONG;
    else if (rc != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    else
        rule = JudgeAddr(addr, nullptr);
    if (rule == ADDR_USABLE)
        return ERROR_SUCCESS;
    char message[ADDR_MESSAGE_SIZE];
    AddrRuleMessage(message, sizeof message, addr, rule);
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line, "%s Nothing was changed.", message);
    Log(install, INSTALLMESSAGE_INFO, line);
    Log(install, INSTALLMESSAGE_ERROR, line);
    return ERROR_INSTALL_FAILURE;
}

// Deferred, as LocalSystem, after the files are in place. CustomActionData: the program folder,
// "|", the log folder.
extern "C" __declspec(dllexport) UINT __stdcall DulvexProtectFolders(MSIHANDLE install)
{
    char data[2 * PROPERTY_SIZE] = {};
    DWORD size = sizeof data;
    if (MsiGetPropertyA(install, "CustomActionData", data, &size) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    char* logs = strchr(data, '|');
    if (logs == nullptr) {
        Log(install, INSTALLMESSAGE_INFO, "DulvexProtectFolders: no log folder in the action data");
        return ERROR_INSTALL_FAILURE;
    }
    *logs++ = '\0';
    const struct {
        const char* Path;
        int Kind;
        const char* Sddl;
    } folders[] = {{data, FOLDER_PROGRAM, PROGRAM_FOLDER_SDDL}, {logs, FOLDER_LOGS, LOG_FOLDER_SDDL}};
    for (const auto& f : folders) {
        // MSI folder properties end in a backslash; the security calls take either form.
        DWORD error = ProtectFolder(f.Path, f.Kind);
        char line[LOG_LINE_SIZE];
        snprintf(line, sizeof line, "DulvexProtectFolders: %s %s -> %lu", f.Path, f.Sddl,
                 static_cast<unsigned long>(error));
        Log(install, INSTALLMESSAGE_INFO, line);
        if (error != ERROR_SUCCESS)
            return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// Deferred, as LocalSystem, after InstallServices. CustomActionData: the service program's path.
// The service database must hold it in quotes: unquoted, "C:\Program Files\..." lets the manager
// start C:\Program.exe. Wine's msiexec registers it bare; it is quoted here wherever it came out
// so, and left alone where it is quoted already.
extern "C" __declspec(dllexport) UINT __stdcall DulvexQuoteServicePath(MSIHANDLE install)
{
    char path[PROPERTY_SIZE] = {};
    DWORD size = sizeof path;
    if (MsiGetPropertyA(install, "CustomActionData", path, &size) != ERROR_SUCCESS || path[0] == '\0')
        return ERROR_INSTALL_FAILURE;
    UINT result = ERROR_INSTALL_FAILURE;
    char line[LOG_LINE_SIZE];
    static unsigned char config[SERVICE_CONFIG_SIZE];
    auto* current = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config);
    DWORD needed = 0;
    char quoted[PROPERTY_SIZE + 2];
    SC_HANDLE service = nullptr;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        goto cleanup;
    service = OpenServiceA(manager, SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    if (service == nullptr || !QueryServiceConfigA(service, current, sizeof config, &needed))
        goto cleanup;
    if (current->lpBinaryPathName != nullptr && current->lpBinaryPathName[0] == '"') {
        result = ERROR_SUCCESS;
        goto cleanup;
    }
    snprintf(quoted, sizeof quoted, "\"%s\"", path);
    if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, quoted,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        goto cleanup;
    snprintf(line, sizeof line, "DulvexQuoteServicePath: %s", quoted);
    Log(install, INSTALLMESSAGE_INFO, line);
    result = ERROR_SUCCESS;
cleanup:
    if (result != ERROR_SUCCESS) {
        snprintf(line, sizeof line, "DulvexQuoteServicePath: %s failed (error %lu)", path,
                 static_cast<unsigned long>(GetLastError()));
        Log(install, INSTALLMESSAGE_INFO, line);
    }
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return result;
}

// Deferred, as LocalSystem, after InstallServices, where Windows Installer is older than 5.0 and
// has no MsiConfigureServices to read the MsiServiceConfigFailureActions row: the same recovery
// actions through the NSIS installer's call.
extern "C" __declspec(dllexport) UINT __stdcall DulvexSetRecoveryActions(MSIHANDLE install)
{
    DWORD rc = DulvexSetRecovery();
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line, "DulvexSetRecoveryActions: restart after 5 s twice, reset after a day -> %lu",
             static_cast<unsigned long>(rc));
    Log(install, INSTALLMESSAGE_INFO, line);
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Immediate, before RemoveExistingProducts: the running service's process id, in the property
// DULVEXSERVICEPID. The manager reports a service STOPPED before its process has ended, and until
// then the process holds the terminal's ports and its program file: a start or a file
// replacement that follows at once fails.
extern "C" __declspec(dllexport) UINT __stdcall DulvexRememberServiceProcess(MSIHANDLE install)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return ERROR_SUCCESS;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    SC_HANDLE service = OpenServiceA(manager, SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (service != nullptr &&
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &needed) &&
        status.dwProcessId != 0) {
        char pid[16];
        snprintf(pid, sizeof pid, "%lu", static_cast<unsigned long>(status.dwProcessId));
        MsiSetPropertyA(install, "DULVEXSERVICEPID", pid);
    }
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// After the service was stopped (by an older product's removal, immediate; or by StopServices,
// deferred with the id as CustomActionData): waits until that process has ended.
extern "C" __declspec(dllexport) UINT __stdcall DulvexWaitServiceProcess(MSIHANDLE install)
{
    char pid[16] = {};
    DWORD size = sizeof pid;
    if (MsiGetPropertyA(install, "CustomActionData", pid, &size) != ERROR_SUCCESS || pid[0] == '\0') {
        size = sizeof pid;
        MsiGetPropertyA(install, "DULVEXSERVICEPID", pid, &size);
    }
    DWORD id = static_cast<DWORD>(strtoul(pid, nullptr, 10));
    if (id == 0)
        return ERROR_SUCCESS;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr)
        return ERROR_SUCCESS;
    DWORD waited = WaitForSingleObject(process, SERVICE_EXIT_WAIT_MS);
    CloseHandle(process);
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line, "DulvexWaitServiceProcess: process %lu %s", static_cast<unsigned long>(id),
             waited == WAIT_OBJECT_0 ? "ended" : "still runs");
    Log(install, INSTALLMESSAGE_INFO, line);
    return ERROR_SUCCESS;
}
