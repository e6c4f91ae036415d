// The service's wrap-around rules, each in one place: 8-bit sequence numbers, and differences of
// 32-bit millisecond readings (the link's retransmission timer, the bridge's loop timer, the
// capture log's delay).
#pragma once

#include <cstdint>

#include "terminal.h"

// 8-bit sequence numbers run 0..255 and wrap to 0.
inline uint8_t SeqNext(uint8_t seq) { return static_cast<uint8_t>(seq + 1); }

// True when seq is the number just before expected (modulo 256): the frame accepted last.
inline bool SeqIsPrevious(uint8_t seq, uint8_t expected) { return SeqNext(seq) == expected; }

// Milliseconds from sinceSec.sinceMs to nowSec.nowMs (seconds and their milliseconds) as a
// signed 32-bit number. Computed modulo 2^32 so that no difference overflows: seconds that wrap
// past 2038 do not disturb it, and a clock set back gives a negative value.
inline int32_t ElapsedMs(uint32_t sinceSec, uint32_t sinceMs, uint32_t nowSec, uint32_t nowMs)
{
    return static_cast<int32_t>((nowSec - sinceSec) * 1000u + nowMs - sinceMs);
}

// The same between two link time stamps, truncating each microsecond part.
inline int32_t ElapsedMs(const struct TimeStamp& since, const struct TimeStamp& now)
{
    return ElapsedMs(static_cast<uint32_t>(since.Seconds), static_cast<uint32_t>(since.Microseconds / 1000),
                     static_cast<uint32_t>(now.Seconds), static_cast<uint32_t>(now.Microseconds / 1000));
}

// A period of intervalMs begun at start on a 32-bit millisecond counter (GetTickCount, which
// wraps to 0 after 49.7 days) that now reads now: the milliseconds still to wait, 0 once it is
// due. The difference is unsigned, so it is right across the counter's wrap.
inline uint32_t PeriodLeftMs(uint32_t start, uint32_t now, uint32_t intervalMs)
{
    uint32_t since = now - start;
    return since >= intervalMs ? 0 : intervalMs - since;
}

// A retransmission is due after more than RETRY_INTERVAL_MS. The comparison is unsigned, so a
// negative elapsed time (the clock was set back) counts as overdue instead of stalling the frame.
inline bool RetryDue(int32_t elapsedMs) { return static_cast<uint32_t>(elapsedMs) > RETRY_INTERVAL_MS; }
