#include <cstdio>
#include <cstring>

#include "bridge.h"
#include "cmdline.h"
#include "debug.h"
#include "host.h"
#include "status.h"

HANDLE TermEvent = nullptr;

namespace {
DeviceEventCallbackFn DeviceEventCallback = nullptr;
}

char** SplitCommandLine(const char* text, int* count)
{
    if (count != nullptr)
        *count = 0;
    if (text == nullptr)
        text = GetCommandLineA();
    if (text == nullptr)
        return nullptr;
    void* block = GlobalAlloc(GMEM_FIXED, SplitBlockSize(strlen(text)));
    if (block == nullptr)
        return nullptr;
    return SplitIntoBlock(text, block, count);
}

SERVICE_STATUS_HANDLE SetDeviceEventCallback(DeviceEventCallbackFn callback)
{
    DeviceEventCallback = callback;
    return ServiceStatusHandle;
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        // STOP_PENDING goes out before the event is set: once set, the bridge may report
        // STOPPED at any moment, and a late pending report would overwrite it.
        ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
        SetEvent(TermEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ReportServiceStatus(ServiceStatusState(), 0, 0);
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
        if (DeviceEventCallback == nullptr)
            return ERROR_CALL_NOT_IMPLEMENTED;
        DeviceEventCallback(eventType, eventData);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceEntry(DWORD argc, LPSTR* argv)
{
    int result = 0;
    SERVICE_STATUS_HANDLE handle = nullptr;
    TermEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (TermEvent == nullptr)
        return;
    handle = RegisterServiceCtrlHandlerExA(ServiceName, ServiceControlHandler, nullptr);
    if (handle == nullptr)
        goto cleanup;
    ServiceStatusBegin(handle);
    if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 3000)) {
        // A STOPPED report with code 0 would read as a clean end of a bridge that never ran.
        result = HOST_START_REPORT_FAILED;
        goto cleanup;
    }
    fclose(stdout);
    {
        int count = 0;
        char** args = SplitCommandLine(nullptr, &count);
        if (args == nullptr) {
            // Running the bridge without its command line would silently drop its options
            // (the trace file among them).
            result = HOST_NO_ARGUMENTS;
            goto cleanup;
        }
        result = ServiceMain(static_cast<unsigned>(count), args, TermEvent);
        GlobalFree(args);
    }

cleanup:
    if (handle != nullptr)
        ReportServiceStatus(SERVICE_STOPPED, static_cast<DWORD>(result), 0);
    HANDLE event = TermEvent;
    TermEvent = nullptr;
    CloseHandle(event);
}
