// The order of the bridge loop's handles in its wait, which reports the lowest signalled one
// only: plain code, so that the order's fairness can be checked without a wait.
//
// Every look at a handle is a request to the Wine server, so the loop does not look at the
// other handles again after each one served: the order itself keeps the service fair. The pipe
// comes first: a client read that completes at once signals the pipe again at once, and it is
// served before any link writes to that client (a client that wrote and left would otherwise
// lose its last message, discarded with the connection when the write finds the client gone).
// Then the write event and the links come round, from the one after the one served last, so that
// none keeps another waiting for more than one round. After PIPE_REPEAT_LIMIT more client
// messages in a row the pipe goes last for one round (fewer turns when nothing else is ready),
// so that a flooding client cannot starve the links, nor a flooding link the client.
#pragma once

#include <cstdint>

#include "term_packet.h"

// Slots of the loop's handles.
constexpr uint32_t WAIT_STOP = 0;
constexpr uint32_t WAIT_PIPE = 1;
constexpr uint32_t WAIT_PIPE_WRITE = 2;
constexpr uint32_t FIRST_TERMINAL_SLOT = 3;
constexpr uint32_t WAIT_COUNT = FIRST_TERMINAL_SLOT + APP_COUNT;
// The slots that come round: the write event and the links.
constexpr int ROUND_SLOTS = static_cast<int>(WAIT_COUNT - WAIT_PIPE_WRITE);
// Client messages served in a row, after the first, before the others' round.
constexpr int PIPE_REPEAT_LIMIT = 4;

struct WaitOrder {
    uint32_t Slots[WAIT_COUNT];  // the next wait's slots, first to last
    int NextRound;               // the slot that comes round first, as an offset from WAIT_PIPE_WRITE
    int PipeRun;                 // client messages served in a row with the pipe first
    int RoundRun;                // others served since the pipe went last
    bool PipeLast;
};

// Fills Slots for the next wait; the stop event is always first.
void OrderWaits(WaitOrder* w);
// Takes note of the slot the wait reported and the loop served.
void NoteServed(WaitOrder* w, uint32_t slot);
