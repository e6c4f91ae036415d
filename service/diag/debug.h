// Trace sink and event-log reporting shared by every module of the service.
#pragma once

#include <cstdio>

#include <cstdarg>

#include "events.h"

// Process-wide console debug flag: set by the -debug run mode before the bridge starts.
extern bool ConsoleDebug;

// Installs the trace sink: nullptr does nothing, "-" is standard error, anything else a file
// opened for appending. Returns whether tracing is on.
bool OpenTrace(const char* name);

// A trace file rolls over once a line ends with the file at or past this many bytes: it becomes
// NAME.1 (replacing an older one) and a new NAME starts with a line that says so.
constexpr unsigned long TRACE_CAP_DEFAULT = 10UL * 1024 * 1024;

// Sets the cap of the trace file in bytes; 0 leaves the file without one. Standard error has none.
void SetTraceCap(unsigned long bytes);

// A console takes milliseconds per write under Wine, so while held (true) the whole lines for
// standard error are gathered and written together when the hold ends (false). The bridge holds
// them over the work of one wake of its loop. A trace file is written line by line regardless,
// so that it holds everything up to a crash.
void TraceHold(bool hold);

// Trace only.
bool TraceMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Trace, and a warning record in the event log when the process runs detached: for what the
// operator must act on.
bool WarnMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Trace only, as TraceMessage: a step worth seeing in the trace that an administrator has no
// reason to act on (a client's connect, a pipe's creation). What must reach the event log goes
// through EventMessage with the id of its condition.
bool LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A labelled system error code with its text: traced, and an EVENT_SYSTEM_ERROR record.
bool LogError(const char* label, long code);
// One event-log record of a call that failed: EVENT_SYSTEM_ERROR with the last-error value when
// there is one, else EVENT_APP_INFO; with nullptr only answers whether the process is detached.
bool ReportServiceEvent(const char* text);
// True on the NT family (version value with its high bit clear), asked anew at each call.
bool IsNtFamily();

// The logs' one rotation rule: once *file holds cap bytes or more, NAME.1 takes it whole (an older
// NAME.1 is deleted) and NAME starts anew; a file that cannot be renamed is emptied instead, so
// that the cap holds either way. Returns LOG_KEPT, LOG_ROLLED or LOG_EMPTIED; *size is the size
// the file had, in 64 bits (a file may have grown past 2 or 4 GiB before it met a cap), -1 when
// unknown. *file is the new stream, or none when NAME cannot be opened again.
enum LogRollResult { LOG_KEPT = 0, LOG_ROLLED = 1, LOG_EMPTIED = 2 };
int RollLogOver(FILE** file, const char* name, unsigned long cap, long long* size);

struct LogPlace;
// Opens the log file name for appending where log_place.h allows it, holding its folder in
// *place; otherwise a warning event (EVENT_LOG_REFUSED) that names what (as "Trace") and why,
// and nullptr: that log stays off.
FILE* OpenLogFile(const char* what, const char* name, LogPlace* place);

constexpr const char ServiceName[] = "DulvexService";
