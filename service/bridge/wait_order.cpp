#include "wait_order.h"

void OrderWaits(WaitOrder* w)
{
    w->Slots[0] = WAIT_STOP;
    for (int i = 0; i < ROUND_SLOTS; ++i)
        w->Slots[1 + i] = WAIT_PIPE + static_cast<uint32_t>((w->NextRound + i) % ROUND_SLOTS);
}

void NoteServed(WaitOrder* w, uint32_t slot)
{
    if (slot >= WAIT_PIPE && slot < WAIT_COUNT)
        w->NextRound = static_cast<int>(slot - WAIT_PIPE + 1) % ROUND_SLOTS;
}
