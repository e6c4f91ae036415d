#include "status.h"

#include "debug.h"

SERVICE_STATUS ServiceStatusRecord = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
DWORD CheckPoint = 1;
ServiceStatusSink ServiceStatusCall = SetServiceStatus;

namespace {

// The service thread and the dispatcher's thread (the control handler) both report; the lock
// keeps the record and the check point whole and the reports in the order they were made. It
// is built before main, before either thread exists.
struct StatusLock {
    CRITICAL_SECTION Section;
    StatusLock() { InitializeCriticalSection(&Section); }
};
StatusLock Lock;

}  // namespace

void ServiceStatusBegin(SERVICE_STATUS_HANDLE handle)
{
    EnterCriticalSection(&Lock.Section);
    ServiceStatusHandle = handle;
    ServiceStatusRecord.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatusRecord.dwServiceSpecificExitCode = 0;
    LeaveCriticalSection(&Lock.Section);
}

DWORD ServiceStatusState()
{
    EnterCriticalSection(&Lock.Section);
    DWORD state = ServiceStatusRecord.dwCurrentState;
    LeaveCriticalSection(&Lock.Section);
    return state;
}

BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    if (!IsNtFamily() || ConsoleDebug)
        return TRUE;
    EnterCriticalSection(&Lock.Section);
    // Stop is the only control ever accepted (so no shutdown notification ever arrives), and
    // none while start-up is pending.
    ServiceStatusRecord.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    ServiceStatusRecord.dwCurrentState = state;
    if (exitCode == 0) {
        ServiceStatusRecord.dwWin32ExitCode = NO_ERROR;
    } else {
        ServiceStatusRecord.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        ServiceStatusRecord.dwServiceSpecificExitCode = exitCode;
    }
    ServiceStatusRecord.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        ServiceStatusRecord.dwCheckPoint = 0;
    else
        ServiceStatusRecord.dwCheckPoint = CheckPoint++;
    BOOL ok = ServiceStatusCall(ServiceStatusHandle, &ServiceStatusRecord);
    // The failed call's last error goes with the event record as its error number.
    if (!ok)
        ReportServiceEvent("SetServiceStatus");
    LeaveCriticalSection(&Lock.Section);
    return ok;
}
