// The order of the bridge loop's handles in its wait, which reports the lowest signalled one
// only: plain code, so that the order's fairness can be checked without a wait.
//
// Every look at a handle is a request to the Wine server, so the loop does not look at the
// other handles again after each one served: the order itself keeps the service fair. After the
// stop event, every handle comes round (the pipe, the write event and the links), from the one
// after the one served last, so that none keeps another waiting for more than one round: neither
// a flooding client the links nor a flooding link the client.
//
// The pipe takes its turn like the others rather than first: a client read that completes at
// once holds its message until the pipe's turn, and the next read, issued only then, finds the
// client's further commands already waiting and completes at once too. A read that has to wait
// costs the loop three more requests under Wine when it completes (an APC to the thread, by a
// signal while the thread is busy). A client that wrote its last message and left loses nothing
// when a link writes to it first: the failed write keeps that message (PipeSrv's KeepLastMessage).
#pragma once

#include <cstdint>

#include "term_packet.h"

// Slots of the loop's handles.
constexpr uint32_t WAIT_STOP = 0;
constexpr uint32_t WAIT_PIPE = 1;
constexpr uint32_t WAIT_PIPE_WRITE = 2;
constexpr uint32_t FIRST_TERMINAL_SLOT = 3;
constexpr uint32_t WAIT_COUNT = FIRST_TERMINAL_SLOT + APP_COUNT;
// The slots that come round: all but the stop event.
constexpr int ROUND_SLOTS = static_cast<int>(WAIT_COUNT - WAIT_PIPE);

struct WaitOrder {
    uint32_t Slots[WAIT_COUNT];  // the next wait's slots, first to last
    int NextRound;               // the slot that comes round first, as an offset from WAIT_PIPE
};

// Fills Slots for the next wait; the stop event is always first.
void OrderWaits(WaitOrder* w);
// Takes note of the slot the wait reported and the loop served.
void NoteServed(WaitOrder* w, uint32_t slot);
