// Trace sink and event-log reporting shared by every module of the service.
#pragma once

#include <cstdarg>

// Process-wide console debug flag: set by the -debug run mode before the bridge starts.
extern bool ConsoleDebug;

// Installs the trace sink: nullptr does nothing, "-" is standard error, anything else a file
// opened for appending. Returns whether tracing is on.
bool OpenTrace(const char* name);

// Trace only.
bool TraceMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Trace, and an event record when the process runs detached from a console.
bool LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A labelled system error code with its text.
bool LogError(const char* label, long code);
// One event-log record; with nullptr only answers whether the process is detached.
bool ReportServiceEvent(const char* text);
// True on the NT family (version value with its high bit clear), asked anew at each call.
bool IsNtFamily();

// Event ids of the message table compiled into DulvexSrv.exe.
constexpr unsigned long EVENT_APP_INFO = 0x40020101UL;
constexpr unsigned long EVENT_APP_WARNING = 0x80020102UL;
constexpr const char ServiceName[] = "DulvexService";
