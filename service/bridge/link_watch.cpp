#include "link_watch.h"

#include "events.h"
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
