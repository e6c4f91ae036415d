// Answers from the terminal kept while no client takes them, for the next client that announces
// itself: bounded by count and by age, handed out in arrival order. Plain code: the caller gives
// the time as a 32-bit millisecond counter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client_wire.h"

constexpr uint32_t HELD_MAX_DEFAULT = 64;
constexpr uint32_t HELD_SECONDS_DEFAULT = 300;
// The registry may raise the count up to this; the queue is owned by the bridge, never allocated.
constexpr uint32_t HELD_MAX_LIMIT = 512;
constexpr uint32_t HELD_SECONDS_LIMIT = 86400;

struct HeldMsg {
    uint32_t At;   // arrival, on the caller's millisecond counter
    uint32_t Len;  // bytes of the client message, as the client would have received it
    uint8_t Bytes[MAX_CLIENT_OUT];
};

// What was dropped for one reason since the client last heard of it.
struct HeldDrops {
    uint32_t Count;
    uint8_t LastApp;  // app bit and command of the last message dropped
    uint32_t LastCmd;
};

struct HeldQueue {
    uint32_t Max;       // 0: nothing is held
    uint32_t MaxAgeMs;
    uint32_t First;
    uint32_t Count;
    HeldDrops Age;
    HeldDrops Full;
    uint32_t Dropped;  // for either reason since the start, for the event log and the metrics
    HeldMsg Msgs[HELD_MAX_LIMIT];
};

// Empties the queue and sets its bounds (max above HELD_MAX_LIMIT is taken as the limit).
void HeldInit(HeldQueue* q, uint32_t max, uint32_t seconds);
// Keeps one client message of len bytes (at most MAX_CLIENT_OUT); when the queue is full the
// oldest is dropped first and counted. 1: kept; 0: not kept (no room at all, or a bad message).
int HeldPut(HeldQueue* q, const uint8_t* msg, size_t len, uint32_t nowMs);
// Drops, oldest first, what has been held longer than the age bound; returns how many.
uint32_t HeldExpire(HeldQueue* q, uint32_t nowMs);
// The oldest message, or none.
const HeldMsg* HeldPeek(const HeldQueue* q);
void HeldPop(HeldQueue* q);
