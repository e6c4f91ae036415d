// Windows side of the capture log: the system clock and the local time zone. Win32 calls rather
// than the runtime library's 64-bit time functions, which Windows 2000's msvcrt.dll lacks.
#include <windows.h>

#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '\\';

namespace {

// FILETIME counts 100-nanosecond ticks since 1601-01-01 00:00 UTC.
constexpr ULONGLONG TICKS_PER_MS = 10000;
constexpr ULONGLONG UNIX_EPOCH_MS = 11644473600000ULL;  // 1970-01-01 in milliseconds since 1601

}  // namespace

void CaptureNow(CaptureTime* now)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER ticks;
    ticks.LowPart = ft.dwLowDateTime;
    ticks.HighPart = ft.dwHighDateTime;
    ULONGLONG ms = ticks.QuadPart / TICKS_PER_MS - UNIX_EPOCH_MS;
    // Drop the sub-millisecond part first so that the local fields and Msec name the same moment.
    ticks.QuadPart = ticks.QuadPart / TICKS_PER_MS * TICKS_PER_MS;
    ft.dwLowDateTime = ticks.LowPart;
    ft.dwHighDateTime = ticks.HighPart;
    // The zone's rule for this moment, daylight saving time included.
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        GetLocalTime(&local);
    *now = {static_cast<int64_t>(ms / 1000), static_cast<int>(ms % 1000), local.wYear, local.wMonth, local.wDay,
            local.wHour, local.wMinute, local.wSecond};
}
