// The two wrap-around rules of the link, each in one place.
#pragma once

#include <cstdint>

#include "terminal.h"

// 8-bit sequence numbers run 0..255 and wrap to 0.
inline uint8_t SeqNext(uint8_t seq) { return static_cast<uint8_t>(seq + 1); }

// True when seq is the number just before expected (modulo 256): the frame accepted last.
inline bool SeqIsPrevious(uint8_t seq, uint8_t expected) { return SeqNext(seq) == expected; }

// Milliseconds from since to now as a signed 32-bit number, truncating each microsecond part.
// Computed modulo 2^32 so that no difference of clock readings overflows; a clock set back gives
// a negative value.
inline int32_t ElapsedMs(const struct TimeStamp& since, const struct TimeStamp& now)
{
    uint32_t ms = (static_cast<uint32_t>(now.Seconds) - static_cast<uint32_t>(since.Seconds)) * 1000u +
                  static_cast<uint32_t>(now.Microseconds / 1000) - static_cast<uint32_t>(since.Microseconds / 1000);
    return static_cast<int32_t>(ms);
}

// A retransmission is due after more than RETRY_INTERVAL_MS. The comparison is unsigned, so a
// negative elapsed time (the clock was set back) counts as overdue instead of stalling the frame.
inline bool RetryDue(int32_t elapsedMs) { return static_cast<uint32_t>(elapsedMs) > RETRY_INTERVAL_MS; }
