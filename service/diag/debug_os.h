// What the trace and event-log code needs from the platform; one implementation per platform
// (debug_win.cpp, debug_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

struct DiagTime {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};

void DiagLockCreate();
void DiagLockEnter();
void DiagLockLeave();
void DiagNowUtc(DiagTime* t);
unsigned long DiagProcessId();
unsigned long DiagThreadId();
// The calling thread's last system error value, untouched by the call.
unsigned long DiagLastError();
void DiagSetLastError(unsigned long value);
// The system's text for code into buf (NUL-terminated); false when it has none.
bool DiagSystemText(long code, char* buf, size_t size);
// Writes one record under the service's event source, of the type the id's severity names;
// strings as given.
void DiagWriteEvent(unsigned long eventId, const char* first, const char* second);
// The size of the stream's file once what the stream holds is written to it, in 64 bits; -1 when
// unknown.
long long DiagFileSize(FILE* stream);
// Writes len bytes to the stream's descriptor at once, past its (empty) stdio buffer: an
// unbuffered stream such as standard error would otherwise reach a console in many small writes.
void DiagWriteStream(FILE* stream, const char* data, size_t len);
