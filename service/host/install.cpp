#include <cstdio>
#include <cstring>

#include "debug.h"
#include "debug_os.h"
#include "host.h"
#include "recovery.h"

namespace {

constexpr DWORD MODULE_PATH_SIZE = 512;
constexpr DWORD ERROR_TEXT_SIZE = 256;
constexpr size_t SYSTEM_TEXT_SIZE = 1024;
constexpr DWORD EVENT_KEY_SIZE = 260;
constexpr DWORD TYPES_SUPPORTED = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE |
                                  EVENTLOG_INFORMATION_TYPE;
const char LEGACY_OPTION[] = " -win9x";
const char RUN_SERVICES_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char SERVICE_DESCRIPTION_TEXT[] = "Varnok Payment Terminal Service for Win32";
// The platform's list form: NUL-terminated names ended by an empty name.
const char SERVICE_DEPENDENCIES[] = "EventLog\0tcpip\0";

char ErrorTextBuffer[ERROR_TEXT_SIZE];

const char* ErrorText() { return SystemErrorText(ErrorTextBuffer, sizeof ErrorTextBuffer); }

// The module path of this executable; false (with the last-error value set) when it cannot be
// had whole within the buffer, since a cut path would register the wrong program.
bool GetModulePath(char* path, DWORD size, DWORD* length)
{
    DWORD n = GetModuleFileNameA(nullptr, path, size);
    if (n == 0)
        return false;
    if (n >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    *length = n;
    return true;
}

} // namespace

char* SystemErrorText(char* buffer, DWORD size)
{
    DWORD error = GetLastError();
    // Nothing can be written, not even the terminating NUL.
    if (size == 0)
        return buffer;
    char text[SYSTEM_TEXT_SIZE];
    size_t length = DiagSystemText(static_cast<long>(error), text, sizeof text) ? strlen(text) : 0;
    if (length == 0 || size < length + 14) {
        buffer[0] = '\0';
        return buffer;
    }
    // System texts end in a line break; only that is dropped, never the text itself.
    for (int i = 0; i < 2 && length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'); ++i)
        text[--length] = '\0';
    snprintf(buffer, size, "%s (0x%lx)", text, static_cast<unsigned long>(error));
    return buffer;
}

int InstallEventSource(const char* sourceName, const char* messageFile)
{
    char keyPath[EVENT_KEY_SIZE];
    snprintf(keyPath, sizeof keyPath, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s",
             "Application", sourceName);
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) {
        printf("Error, can't create EventLog key '%s' !!!!", keyPath);
        return 0;
    }
    int done = 0;
    DWORD types = TYPES_SUPPORTED;
    rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                        reinterpret_cast<const BYTE*>(messageFile),
                        static_cast<DWORD>(strlen(messageFile) + 1));
    if (rc != ERROR_SUCCESS) {
        printf("Error, can't set EventLog key '%s' to '%s' (Error %ld, 0x%08lx) !!!!",
               "EventMessageFile", messageFile, rc, static_cast<unsigned long>(rc));
        goto cleanup;
    }
    rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                        sizeof types);
    if (rc != ERROR_SUCCESS) {
        printf("Error, can't set EventLog key '%s' to '0x%lx' (Error %ld, 0x%08lx) !!!!",
               "TypesSupported", types, rc, static_cast<unsigned long>(rc));
        goto cleanup;
    }
    done = 1;
cleanup:
    RegCloseKey(key);
    return done;
}

void InstallService()
{
    char path[MODULE_PATH_SIZE];
    DWORD length = 0;
    if (!GetModulePath(path, sizeof path, &length)) {
        printf("Unable to install %s - %s\n", ServiceName, ErrorText());
        return;
    }
    // An unquoted path with a blank lets the manager start whatever program matches its first
    // word ("C:\Program.exe" for "C:\Program Files\..."); quotes make it the one path.
    char image[MODULE_PATH_SIZE + 2];
    if (strchr(path, ' ') != nullptr)
        snprintf(image, sizeof image, "\"%s\"", path);
    else
        snprintf(image, sizeof image, "%s", path);

    SC_HANDLE service = nullptr;
    SERVICE_DESCRIPTIONA description;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("OpenSCManager failed - %s\n", ErrorText());
        return;
    }
    service = CreateServiceA(manager, ServiceName, ServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image, nullptr, nullptr, SERVICE_DEPENDENCIES,
                             nullptr, nullptr);
    if (service == nullptr) {
        printf("CreateService failed - %s\n", ErrorText());
        goto cleanup;
    }
    description.lpDescription = const_cast<char*>(SERVICE_DESCRIPTION_TEXT);
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    printf("%s installed.\n", ServiceName);
    if (!SetRecoveryActions(service))
        printf("No restart after a failure could be set - %s\n", ErrorText());
    CloseServiceHandle(service);
    InstallEventSource(ServiceName, path);
cleanup:
    CloseServiceHandle(manager);
}

void RemoveService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("OpenSCManager failed - %s\n", ErrorText());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        printf("OpenService failed - %s\n", ErrorText());
        CloseServiceHandle(manager);
        return;
    }
    SERVICE_STATUS status;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        printf("Stopping %s.", ServiceName);
        Sleep(1000);
        // A service that never leaves STOP_PENDING must not hold the remover for ever; after
        // the bound it is reported as not stopped and deleted all the same.
        for (DWORD waited = 1;; ++waited) {
            SERVICE_STATUS now;
            if (!QueryServiceStatus(service, &now))
                break;
            status = now;
            if (status.dwCurrentState != SERVICE_STOP_PENDING || waited >= REMOVE_STOP_WAIT_SECONDS)
                break;
            printf(".");
            Sleep(1000);
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            printf("\n%s stopped.\n", ServiceName);
        else
            printf("\n%s failed to stop.\n", ServiceName);
    }
    if (DeleteService(service))
        printf("%s removed.\n", ServiceName);
    else
        printf("DeleteService failed - %s\n", ErrorText());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void InstallLegacyService()
{
    char path[MODULE_PATH_SIZE];
    DWORD length = 0;
    bool ok = GetModulePath(path, sizeof path, &length);
    if (ok && length + sizeof LEGACY_OPTION > sizeof path) {
        // The autostart line must carry the option whole, or the copy started at boot would
        // take the default path instead of the legacy runner.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ok = false;
    }
    if (!ok) {
        printf("Unable to install %s - %s\n", ServiceName, ErrorText());
        return;
    }
    memcpy(path + length, LEGACY_OPTION, sizeof LEGACY_OPTION);
    HKEY key = nullptr;
    // Created when missing: opening alone would leave the program silently without autostart.
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExA(key, ServiceName, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                            static_cast<DWORD>(strlen(path) + 1));
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS)
        printf("Error, can't set RunServices value '%s' (Error %ld, 0x%08lx) !!!!\n", ServiceName,
               rc, static_cast<unsigned long>(rc));
    path[length] = '\0';
    InstallEventSource(ServiceName, path);
}

void RemoveLegacyService()
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, ServiceName);
    if (event != nullptr) {
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            printf("Service currently running, will stop....\n");
            SetEvent(event);
        }
        CloseHandle(event);
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(key, ServiceName);
        RegCloseKey(key);
    }
}
