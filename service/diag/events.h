// Event ids of the message table compiled into DulvexSrv.exe: one per condition, so that an
// administrator can filter Event Viewer by id. The id's top two bits are its severity (01
// information, 10 warning, 11 error), as the message compiler lays them out; the record's type
// follows from them. Each message's text is its one insertion string, the line also traced.
#pragma once

// Kept for texts that have no condition of their own.
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
constexpr unsigned long EVENT_APP_NOT_ANSWERING = 0x80020120UL;
constexpr unsigned long EVENT_APP_ANSWERING = 0x40020121UL;
constexpr unsigned long EVENT_HELD_DROPPED = 0x80020122UL;
constexpr unsigned long EVENT_CLIENT_REFUSED = 0x80020123UL;
constexpr unsigned long EVENT_CLIENT_DROPPED = 0x80020124UL;
// A system call the service cannot do without failed.
constexpr unsigned long EVENT_SYSTEM_ERROR = 0xC0020130UL;

// Every id above but the two kept for texts without a condition, for the table's test.
constexpr unsigned long EVENT_CONDITIONS[] = {
    EVENT_SERVICE_STARTED,     EVENT_SERVICE_STOPPED,   EVENT_CONFIG_FALLBACK,  EVENT_LOG_REFUSED,
    EVENT_LOG_PAYMENT_DATA,    EVENT_COMMLOG_EXPIRED,   EVENT_LOG_FOLDER_PROTECTED, EVENT_APP_NOT_ANSWERING,
    EVENT_APP_ANSWERING,       EVENT_HELD_DROPPED,      EVENT_CLIENT_REFUSED,   EVENT_CLIENT_DROPPED,
    EVENT_SYSTEM_ERROR,
};

// The severity bits of an id.
constexpr unsigned long EVENT_SEVERITY_INFO = 1, EVENT_SEVERITY_WARNING = 2, EVENT_SEVERITY_ERROR = 3;
constexpr unsigned long EventSeverity(unsigned long id) { return id >> 30; }

// Trace (as TraceMessage), and an event record of this id and its severity when the process runs
// detached on the NT family. Returns whether tracing is on.
bool EventMessage(unsigned long id, const char* format, ...) __attribute__((format(printf, 2, 3)));
