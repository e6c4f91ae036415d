// What of the links and the held answers is worth the event log: the moment a link stops
// answering and the moment it answers again, once each, however often the state passes through
// retransmitting between; and held answers dropped, at once and then at most once a minute while
// drops go on (a terminal that floods a disconnected till would fill the log). Plain code.
#pragma once

#include <cstdint>

// *down holds whether "not answering" was reported last (starts 0). Returns the event id to
// write for health (a LinkHealthState) now, or 0 for none.
unsigned long LinkStateEvent(uint8_t* down, int32_t health);

constexpr uint32_t HELD_EVENT_INTERVAL_MS = 60000;

struct DropWatch {
    uint32_t Seen;  // drops counted when the event log was last told
    uint32_t At;    // when it was, on the caller's millisecond counter
    uint8_t Told;   // 0 until the first event
};

// The drops to report now out of the total dropped since the start, or 0 for no event yet.
uint32_t HeldDropsToReport(DropWatch* w, uint32_t dropped, uint32_t nowMs);
