#include "wait_order.h"

void OrderWaits(WaitOrder* w)
{
    uint32_t n = 0;
    w->Slots[n++] = WAIT_STOP;
    if (!w->PipeLast)
        w->Slots[n++] = WAIT_PIPE;
    for (int i = 0; i < ROUND_SLOTS; ++i)
        w->Slots[n++] = WAIT_PIPE_WRITE + static_cast<uint32_t>((w->NextRound + i) % ROUND_SLOTS);
    if (w->PipeLast)
        w->Slots[n++] = WAIT_PIPE;
}

void NoteServed(WaitOrder* w, uint32_t slot)
{
    if (slot == WAIT_PIPE) {
        // Served from the end only when nothing else was ready: the others' round is over.
        w->PipeRun = w->PipeLast ? 1 : w->PipeRun + 1;
        w->PipeLast = w->PipeRun > PIPE_REPEAT_LIMIT;
        w->RoundRun = 0;
        return;
    }
    if (slot < WAIT_PIPE_WRITE || slot >= WAIT_COUNT)
        return;
    w->PipeRun = 0;
    w->NextRound = static_cast<int>(slot - WAIT_PIPE_WRITE + 1) % ROUND_SLOTS;
    if (w->PipeLast && ++w->RoundRun >= ROUND_SLOTS)
        w->PipeLast = false;
}
