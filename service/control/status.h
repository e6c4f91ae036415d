// Service status reports: the one way a state reaches the service control manager. Called
// from the service thread and from the control handler's thread, so every report is
// serialised.
#pragma once

#include <windows.h>

// The status last reported; its state is what an interrogation reports again.
extern SERVICE_STATUS ServiceStatusRecord;
// Stored by the service runner from RegisterServiceCtrlHandlerExA; none at start.
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;
// The next check point of a pending state: 1 at start, never reset.
extern DWORD CheckPoint;

// Where reports go: SetServiceStatus. Tests point it elsewhere to see what would be passed.
using ServiceStatusSink = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
extern ServiceStatusSink ServiceStatusCall;

// For the service runner, before its first report: stores the handle, sets the service type
// (own process) and clears the service-specific exit code, under the same lock as the reports.
void ServiceStatusBegin(SERVICE_STATUS_HANDLE handle);

// The state last reported, read under the lock (for an interrogation).
DWORD ServiceStatusState();

// Reports state with exitCode (0: no error; anything else: a service-specific code, negative
// ones as their two's complement) and waitHint. Returns the result of SetServiceStatus, or 1
// when nothing is reported: outside the NT family and in console debug mode.
BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);
