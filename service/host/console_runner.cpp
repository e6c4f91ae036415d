#include <cstdio>

#include "bridge.h"
#include "debug.h"
#include "host.h"

namespace {
// Registration as a hidden service process; exported by kernel32 on the Windows 9x family only.
typedef DWORD(WINAPI* RegisterServiceProcessFn)(DWORD processId, DWORD type);
constexpr DWORD RSP_SIMPLE_SERVICE = 1;
} // namespace

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType)
{
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT)
        return FALSE;
    printf("Stopping %s.\n", ServiceName);
    fflush(stdout);
    SetEvent(TermEvent);
    return TRUE;
}

void RunConsoleDebug(int argc, char** argv)
{
    printf("Debugging %s.\n", ServiceName);
    fflush(stdout);
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    TermEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (TermEvent == nullptr) {
        // Without the event neither Ctrl+C nor Ctrl+Break could ever end the bridge.
        printf("Error, starting service!\n");
        return;
    }
    ServiceMain(static_cast<unsigned>(argc), argv, TermEvent);
    HANDLE event = TermEvent;
    TermEvent = nullptr;
    CloseHandle(event);
}

void RunLegacyService(int argc, char** argv)
{
    TermEvent = CreateEventA(nullptr, FALSE, FALSE, ServiceName);
    if (TermEvent == nullptr) {
        printf("Error, starting service!\n");
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        printf("Service already running !\n");
        CloseHandle(TermEvent);
        TermEvent = nullptr;
        return;
    }
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    RegisterServiceProcessFn registerProcess = nullptr;
    if (kernel != nullptr) {
        registerProcess = reinterpret_cast<RegisterServiceProcessFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "RegisterServiceProcess")));
        if (registerProcess != nullptr)
            registerProcess(0, RSP_SIMPLE_SERVICE);
        FreeLibrary(kernel);
    }
    if (registerProcess == nullptr) {
        printf("Error, starting service!\n");
        CloseHandle(TermEvent);
        TermEvent = nullptr;
        return;
    }
    fflush(stdout);
    FreeConsole();
    fclose(stdout);
    ServiceMain(static_cast<unsigned>(argc), argv, TermEvent);
    HANDLE event = TermEvent;
    TermEvent = nullptr;
    CloseHandle(event);
}
