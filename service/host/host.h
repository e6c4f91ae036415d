// The service host: process entry, the three runners and install/remove of DulvexSrv.
#pragma once

#include <windows.h>

// The process-wide stop event: created by the runner that runs, handed to ServiceMain, set by
// a control handler (or another process, in the legacy mode) to ask the bridge to end.
extern HANDLE TermEvent;

// Specific exit codes of the service runner's own failures, reported in place of a bridge
// result when the bridge never ran (the bridge's own codes are 0 and -1 to -6).
constexpr int HOST_START_REPORT_FAILED = -20;
constexpr int HOST_NO_ARGUMENTS = -21;

// Upper bound of the remover's wait for a service that stays in STOP_PENDING.
constexpr DWORD REMOVE_STOP_WAIT_SECONDS = 30;

// Process entry: picks the run mode from argv[1]; returns the process exit code (0 after an
// option's mode, 1 on the default path). main() hands it to exit().
int RunProcessEntry(int argc, char** argv);

// Service control manager runner.
void WINAPI ServiceEntry(DWORD argc, LPSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);
// text nullptr: the process command line. Returns a GlobalAlloc block (free with GlobalFree)
// or nullptr when there is no text or no memory; count is 0 then.
char** SplitCommandLine(const char* text, int* count);
typedef void (*DeviceEventCallbackFn)(DWORD eventType, LPVOID eventData);
SERVICE_STATUS_HANDLE SetDeviceEventCallback(DeviceEventCallbackFn callback);

// Console debug and legacy background runners.
void RunConsoleDebug(int argc, char** argv);
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
void RunLegacyService(int argc, char** argv);

// Install and remove.
void InstallService();
void RemoveService();
void InstallLegacyService();
void RemoveLegacyService();
int InstallEventSource(const char* sourceName, const char* messageFile);
char* SystemErrorText(char* buffer, DWORD size);
