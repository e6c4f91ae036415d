#include "link_watch.h"

#include "events.h"
#include "link_wrap.h"
#include "terminal.h"

unsigned long LinkStateEvent(uint8_t* down, int32_t health)
{
    // Retransmitting after a give-up is not yet an answer: only a word from the terminal is.
    if (!*down && health == LINK_NOT_ANSWERING) {
        *down = 1;
        return EVENT_APP_NOT_ANSWERING;
    }
    if (*down && health == LINK_ANSWERING) {
        *down = 0;
        return EVENT_APP_ANSWERING;
    }
    return 0;
}

uint32_t HeldDropsToReport(DropWatch* w, uint32_t dropped, uint32_t nowMs)
{
    if (dropped == w->Seen || (w->Told && PeriodLeftMs(w->At, nowMs, HELD_EVENT_INTERVAL_MS) != 0))
        return 0;
    uint32_t n = dropped - w->Seen;
    w->Seen = dropped;
    w->At = nowMs;
    w->Told = 1;
    return n;
}
