// What of a link's state is worth the event log: the moment it stops answering and the moment
// it answers again, once each, however often the state passes through retransmitting between.
// Plain code.
#pragma once

#include <cstdint>

// *down holds whether "not answering" was reported last (starts 0). Returns the event id to
// write for health (a LinkHealthState) now, or 0 for none.
unsigned long LinkStateEvent(uint8_t* down, int32_t health);
