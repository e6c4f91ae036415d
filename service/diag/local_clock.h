// The local clock: one moment as seconds since 1970-01-01 00:00 UTC, and as the local zone's date
// and time with that zone's distance from UTC at that moment. The capture log and the
// communication log write local time; the trace writes UTC (DiagNowUtc).
#pragma once

#include <cstdint>

struct LocalClockTime {
    int64_t Sec;
    int Msec;
    int Year, Month, Day, Hour, Minute, Second;  // Month 1 to 12
    int OffsetMinutes;  // local time minus UTC, daylight saving time included: +60 in Paris in winter
};

// One implementation per platform (debug_win.cpp, debug_posix.cpp).
void LocalClockNow(LocalClockTime* now);
