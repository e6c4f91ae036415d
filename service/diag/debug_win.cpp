// Win32 side of the trace and event-log code.
#include <io.h>
#include <windows.h>

#include <cstring>

#include "debug.h"
#include "debug_os.h"

namespace {
CRITICAL_SECTION TraceLock;
}

void DiagLockCreate() { InitializeCriticalSection(&TraceLock); }
void DiagLockEnter() { EnterCriticalSection(&TraceLock); }
void DiagLockLeave() { LeaveCriticalSection(&TraceLock); }

void DiagNowUtc(DiagTime* t)
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    *t = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

unsigned long DiagProcessId() { return GetCurrentProcessId(); }
unsigned long DiagThreadId() { return GetCurrentThreadId(); }
unsigned long DiagLastError() { return GetLastError(); }
void DiagSetLastError(unsigned long value) { SetLastError(value); }

bool DiagSystemText(long code, char* buf, size_t size)
{
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                             static_cast<DWORD>(size), nullptr);
    if (n == 0)
        return false;
    buf[size - 1] = '\0';
    return true;
}

void DiagWriteEvent(bool warning, unsigned long eventId, const char* first, const char* second)
{
    HANDLE source = RegisterEventSourceA(nullptr, ServiceName);
    if (source == nullptr)
        return;
    const char* strings[2] = {first, second};
    ReportEventA(source, warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE, 0, eventId, nullptr,
                 second ? 2 : 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

bool IsNtFamily() { return (GetVersion() & 0x80000000UL) == 0; }

void DiagWriteStream(FILE* stream, const char* data, size_t len)
{
    // The descriptor keeps the stream's text mode: line feeds still become CR LF.
    int fd = _fileno(stream);
    while (len > 0) {
        int n = _write(fd, data, static_cast<unsigned>(len));
        if (n <= 0)
            return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}
