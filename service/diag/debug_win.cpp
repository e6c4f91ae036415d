// Win32 side of the trace and event-log code.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "debug.h"
#include "debug_os.h"
#include "local_clock.h"

namespace {
CRITICAL_SECTION TraceLock;

// FILETIME counts 100-nanosecond ticks since 1601-01-01 00:00 UTC.
constexpr ULONGLONG TICKS_PER_MS = 10000;
constexpr ULONGLONG TICKS_PER_MINUTE = TICKS_PER_MS * 60000;
constexpr ULONGLONG UNIX_EPOCH_MS = 11644473600000ULL;  // 1970-01-01 in milliseconds since 1601

ULONGLONG TicksOf(const FILETIME& ft)
{
    ULARGE_INTEGER ticks;
    ticks.LowPart = ft.dwLowDateTime;
    ticks.HighPart = ft.dwHighDateTime;
    return ticks.QuadPart;
}

FILETIME FileTimeOf(ULONGLONG ticks)
{
    ULARGE_INTEGER split;
    split.QuadPart = ticks;
    FILETIME ft;
    ft.dwLowDateTime = split.LowPart;
    ft.dwHighDateTime = split.HighPart;
    return ft;
}

// The local zone's offset from UTC at the moment ft, in minutes: the zone's rule for that moment,
// daylight saving time included.
int ZoneOffsetAt(FILETIME ft)
{
    SYSTEMTIME utc, local;
    FILETIME localFt;
    if (FileTimeToSystemTime(&ft, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) &&
        SystemTimeToFileTime(&local, &localFt)) {
        LONGLONG diff = static_cast<LONGLONG>(TicksOf(localFt)) - static_cast<LONGLONG>(TicksOf(ft));
        return static_cast<int>(diff / static_cast<LONGLONG>(TICKS_PER_MINUTE));
    }
    TIME_ZONE_INFORMATION zone;
    DWORD which = GetTimeZoneInformation(&zone);
    if (which == TIME_ZONE_ID_INVALID)
        return 0;
    return static_cast<int>(-(zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias)));
}

// Asking the zone for its rule takes tens of microseconds under Wine, and a zone's offset changes
// only at a whole minute: the offset found for one UTC minute serves every call within it. A
// caller that finds the cache busy on another thread asks the zone itself.
std::atomic_flag ZoneBusy = ATOMIC_FLAG_INIT;
ULONGLONG ZoneMinute = ~0ULL;  // the UTC minute of ZoneOffset, in FILETIME ticks / TICKS_PER_MINUTE
int ZoneOffset = 0;

}  // namespace

void DiagLockCreate() { InitializeCriticalSection(&TraceLock); }
void DiagLockEnter() { EnterCriticalSection(&TraceLock); }
void DiagLockLeave() { LeaveCriticalSection(&TraceLock); }

void DiagNowUtc(DiagTime* t)
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    *t = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

// Win32 calls rather than the runtime library's 64-bit time functions, which Windows 2000's
// msvcrt.dll lacks.
void LocalClockNow(LocalClockTime* now)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    // Drop the sub-millisecond part first so that the local fields and Msec name the same moment.
    ULONGLONG ticks = TicksOf(ft) / TICKS_PER_MS * TICKS_PER_MS;
    ULONGLONG ms = ticks / TICKS_PER_MS - UNIX_EPOCH_MS;
    ULONGLONG minute = ticks / TICKS_PER_MINUTE;
    int offset = 0;
    bool known = false;
    if (!ZoneBusy.test_and_set(std::memory_order_acquire)) {
        known = ZoneMinute == minute;
        offset = ZoneOffset;
        ZoneBusy.clear(std::memory_order_release);
    }
    if (!known) {
        offset = ZoneOffsetAt(FileTimeOf(ticks));
        if (!ZoneBusy.test_and_set(std::memory_order_acquire)) {
            ZoneMinute = minute;
            ZoneOffset = offset;
            ZoneBusy.clear(std::memory_order_release);
        }
    }
    SYSTEMTIME local;
    FILETIME localFt = FileTimeOf(ticks + static_cast<ULONGLONG>(static_cast<LONGLONG>(offset)) * TICKS_PER_MINUTE);
    if (!FileTimeToSystemTime(&localFt, &local))
        GetLocalTime(&local);
    *now = {static_cast<int64_t>(ms / 1000), static_cast<int>(ms % 1000), local.wYear, local.wMonth, local.wDay,
            local.wHour, local.wMinute, local.wSecond, offset};
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

void DiagWriteEvent(unsigned long eventId, const char* first, const char* second)
{
    WORD type = EventSeverity(eventId) == EVENT_SEVERITY_ERROR     ? EVENTLOG_ERROR_TYPE
                : EventSeverity(eventId) == EVENT_SEVERITY_WARNING ? EVENTLOG_WARNING_TYPE
                                                                   : EVENTLOG_INFORMATION_TYPE;
    HANDLE source = RegisterEventSourceA(nullptr, ServiceName);
    if (source == nullptr)
        return;
    const char* strings[2] = {first, second};
    ReportEventA(source, type, 0, eventId, nullptr,
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

long long DiagFileSize(FILE* stream)
{
    // GetFileSize with its high word, not the Ex sibling: the 9x family has only this one.
    DWORD high = 0;
    if (fflush(stream) != 0)
        return -1;
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return -1;
    return static_cast<long long>((static_cast<unsigned long long>(high) << 32) | low);
}
