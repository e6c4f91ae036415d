// Event ids of the message table compiled into DulvexSrv.exe: one per condition, so that an
// administrator can filter Event Viewer by id. The id's top two bits are its severity (01
// information, 10 warning, 11 error), as the message compiler lays them out; the record's type
// follows from them. Each record carries one insertion string, the line also traced; the message
// table (service/host/messages.mc, kept in step with this list by tests/diag/event_table.py)
// puts it in a sentence. docs/troubleshooting.md lists every id with what to do.
#pragma once

// Kept for texts that have no condition of their own: an information with no error number from
// ReportServiceEvent, and WarnMessage's warnings.
constexpr unsigned long EVENT_APP_INFO = 0x40020101UL;
constexpr unsigned long EVENT_APP_WARNING = 0x80020102UL;

constexpr unsigned long EVENT_SERVICE_STARTED = 0x40020110UL;
constexpr unsigned long EVENT_SERVICE_STOPPED = 0x40020111UL;
constexpr unsigned long EVENT_CONFIG_FALLBACK = 0x80020112UL;
// A trace, capture, communication log or metrics file refused for its place or its rights.
constexpr unsigned long EVENT_LOG_REFUSED = 0x80020113UL;
// A log that writes payment data was turned on.
constexpr unsigned long EVENT_LOG_PAYMENT_DATA = 0x80020114UL;
// The communication log turned itself off after its time.
constexpr unsigned long EVENT_COMMLOG_EXPIRED = 0x80020115UL;
// The service made a log folder's rights its own (protected DACL).
constexpr unsigned long EVENT_LOG_FOLDER_PROTECTED = 0x80020116UL;
// A terminal application's frame was given up (nothing heard since), and it answers again.
constexpr unsigned long EVENT_APP_NOT_ANSWERING = 0x80020120UL;
constexpr unsigned long EVENT_APP_ANSWERING = 0x40020121UL;
constexpr unsigned long EVENT_HELD_DROPPED = 0x80020122UL;
// A client announced itself while answers of another account were held: they were held back.
constexpr unsigned long EVENT_CLIENT_REFUSED = 0x80020123UL;
// The client stopped taking its answers, or its pipe failed: the service let it go.
constexpr unsigned long EVENT_CLIENT_DROPPED = 0x80020124UL;
// The metrics file could not be written (once, until a write succeeds again).
constexpr unsigned long EVENT_METRICS_FAILED = 0x80020125UL;
// A system call the service cannot do without failed.
constexpr unsigned long EVENT_SYSTEM_ERROR = 0xC0020130UL;
// The bridge ended with a result other than an orderly stop: the line names the result code.
constexpr unsigned long EVENT_SERVICE_FAILED = 0xC0020131UL;
// Another program holds the pipe's name: the service does not serve beside it.
constexpr unsigned long EVENT_PIPE_TAKEN = 0xC0020132UL;

// The severity bits of an id.
constexpr unsigned long EVENT_SEVERITY_INFO = 1, EVENT_SEVERITY_WARNING = 2, EVENT_SEVERITY_ERROR = 3;
constexpr unsigned long EventSeverity(unsigned long id) { return id >> 30; }

// Trace (as TraceMessage), and an event record of this id and its severity when the process runs
// detached on the NT family; id 0 traces only. Returns whether tracing is on.
bool EventMessage(unsigned long id, const char* format, ...) __attribute__((format(printf, 2, 3)));
