// Looks at what the installer left on the machine, through the same calls the service and its
// users make, and prints it in lines that the installer test compares exactly.
//
//   install_probe addr        the "Addr" value as the service's ANSI read sees it
//   install_probe service     state, process id and registered image path of the service
//   install_probe pipe        opens the client pipe as a client would (waits up to 5 s)
//   install_probe ident       process id and address published in the status block
//   install_probe entry       the Add or Remove Programs entry
//   install_probe eventsource the message file registered for the service's event source
//   install_probe hold-ident  creates the status block first (a service would then refuse to
//                             serve) and keeps it until "release" or 60 s
//   install_probe release     ends a running hold-ident
//   install_probe dacl PATH   the DACL of a file or folder as the system reads it back (SDDL)
//
// Exit code 0 when the thing was found (or the action done), 1 when absent, 2 on bad usage.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

namespace {

const char SERVICE_NAME[] = "DulvexService";
const char CONFIG_KEY[] = "Software\\Varnok\\PaymentTermService";
const char PIPE_NAME[] = "\\\\.\\pipe\\varnok\\Dulvex";
const char IDENT_NAME[] = "PaymentTermServiceSharedFile";
const char UNINST_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\DulvexBridge";
const char EVENT_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\DulvexService";
const char RELEASE_EVENT[] = "DulvexInstallProbeRelease";
constexpr DWORD IDENT_SIZE = 20;
constexpr DWORD PIPE_WAIT_MS = 5000;
constexpr DWORD HOLD_MS = 60000;

int ShowAddr()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        printf("absent key\n");
        return 1;
    }
    // Larger than the service's buffer, so that a value of the wrong size shows its real size.
    unsigned char data[64];
    DWORD type = 0;
    DWORD size = sizeof data;
    LONG rc = RegQueryValueExA(key, "Addr", nullptr, &type, data, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        printf("absent value (%ld)\n", rc);
        return 1;
    }
    printf("type=%lu size=%lu data=", type, size);
    for (DWORD i = 0; i < size; ++i)
        printf("%s%02x", i ? " " : "", data[i]);
    printf("\n");
    return 0;
}

int ShowService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        printf("manager error %lu\n", GetLastError());
        return 2;
    }
    SC_HANDLE service = OpenServiceA(manager, SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        printf("absent (%lu)\n", GetLastError());
        CloseServiceHandle(manager);
        return 1;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                         &needed);
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[8192];
    } buffer;
    const char* image = "?";
    DWORD start = 0;
    if (QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed)) {
        image = buffer.config.lpBinaryPathName;
        start = buffer.config.dwStartType;
    }
    printf("state=%lu start=%lu pid=%lu image=%s\n", status.dwCurrentState, start, status.dwProcessId, image);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int OpenPipe()
{
    DWORD begin = GetTickCount();
    for (;;) {
        HANDLE pipe = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            BOOL message = SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            printf("pipe=open message-mode=%d\n", message ? 1 : 0);
            CloseHandle(pipe);
            return 0;
        }
        DWORD error = GetLastError();
        if (GetTickCount() - begin >= PIPE_WAIT_MS) {
            printf("pipe=error %lu\n", error);
            return 1;
        }
        // Busy: the instance is re-created after a client leaves.
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeA(PIPE_NAME, 500);
        else
            Sleep(100);
    }
}

int ShowIdent()
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, IDENT_NAME);
    if (mapping == nullptr) {
        printf("absent (%lu)\n", GetLastError());
        return 1;
    }
    const unsigned char* view =
        static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, IDENT_SIZE));
    if (view == nullptr) {
        printf("map error %lu\n", GetLastError());
        CloseHandle(mapping);
        return 2;
    }
    DWORD pid = view[0] | view[1] << 8 | view[2] << 16 | static_cast<DWORD>(view[3]) << 24;
    char addr[17] = {};
    memcpy(addr, view + 4, 16);
    printf("pid=%lu addr=%s\n", pid, addr);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return 0;
}

void ShowString(HKEY key, const char* name)
{
    char text[600];
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
        printf("%s absent\n", name);
        return;
    }
    text[size] = '\0';
    printf("%s=%s\n", name, text);
}

int ShowKey(const char* path, const char* const* names)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        printf("absent\n");
        return 1;
    }
    for (; *names != nullptr; ++names)
        ShowString(key, *names);
    RegCloseKey(key);
    return 0;
}

int HoldIdent()
{
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, RELEASE_EVENT);
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, IDENT_SIZE, IDENT_NAME);
    if (release == nullptr || mapping == nullptr) {
        printf("hold error %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(release, HOLD_MS);
    CloseHandle(mapping);
    CloseHandle(release);
    return 0;
}

int Release()
{
    HANDLE release = OpenEventA(EVENT_MODIFY_STATE, FALSE, RELEASE_EVENT);
    if (release == nullptr)
        return 1;
    SetEvent(release);
    CloseHandle(release);
    return 0;
}

int ShowDacl(const char* path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc = GetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) {
        printf("absent (%lu)\n", static_cast<unsigned long>(rc));
        return 1;
    }
    char* text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
        printf("%s\n", text);
        LocalFree(text);
    }
    LocalFree(descriptor);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const char* what = argc > 1 ? argv[1] : "";
    static const char* const entryValues[] = {"DisplayName", "DisplayVersion", "Publisher",
                                              "InstallLocation", "UninstallString", nullptr};
    static const char* const eventValues[] = {"EventMessageFile", nullptr};
    if (strcmp(what, "addr") == 0)
        return ShowAddr();
    if (strcmp(what, "service") == 0)
        return ShowService();
    if (strcmp(what, "pipe") == 0)
        return OpenPipe();
    if (strcmp(what, "ident") == 0)
        return ShowIdent();
    if (strcmp(what, "entry") == 0)
        return ShowKey(UNINST_KEY, entryValues);
    if (strcmp(what, "eventsource") == 0)
        return ShowKey(EVENT_KEY, eventValues);
    if (strcmp(what, "hold-ident") == 0)
        return HoldIdent();
    if (strcmp(what, "release") == 0)
        return Release();
    if (strcmp(what, "dacl") == 0 && argc > 2)
        return ShowDacl(argv[2]);
    fprintf(stderr, "usage: install_probe addr|service|pipe|ident|entry|eventsource|hold-ident|release|dacl PATH\n");
    return 2;
}
