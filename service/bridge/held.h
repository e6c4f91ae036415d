// Answers from the terminal kept while no client takes them, for the next client that announces
// itself: bounded by count and by age, handed out in arrival order. Each answer belongs to the
// account of the client served last before it arrived, and only an announced client of that
// account may take it. Plain code: the caller gives the time as a 32-bit millisecond counter and
// the accounts as text (string SIDs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "client_wire.h"

constexpr uint32_t HELD_MAX_DEFAULT = 64;
constexpr uint32_t HELD_SECONDS_DEFAULT = 300;
// The registry may raise the count up to this; the queue is owned by the bridge, never allocated.
constexpr uint32_t HELD_MAX_LIMIT = 512;
constexpr uint32_t HELD_SECONDS_LIMIT = 86400;

// An account as text: a string SID ("S-1-5-21-...-1001"; 15 sub-authorities and the NUL fit),
// HELD_NO_OWNER for answers that arrived before any client was served.
constexpr size_t HELD_ACCOUNT_SIZE = 192;
constexpr char HELD_NO_OWNER[] = "";
// Accounts whose dropped answers are counted apart until one of their clients hears of them.
constexpr uint32_t HELD_DROP_ACCOUNTS = 8;

struct HeldMsg {
    uint32_t At;   // arrival, on the caller's millisecond counter
    uint32_t Len;  // bytes of the client message, as the client would have received it
    char Owner[HELD_ACCOUNT_SIZE];
    uint8_t Bytes[MAX_CLIENT_OUT];
};

// What was dropped for one reason since the client last heard of it.
struct HeldDrops {
    uint32_t Count;
    uint8_t LastApp;  // app bit and command of the last message dropped
    uint32_t LastCmd;
    uint32_t Serial;  // the queue's drop number of that last one: the later of two is the last
};

// The drops of one account's answers, for the notices to its next announced client.
struct HeldAccountDrops {
    char Owner[HELD_ACCOUNT_SIZE];
    uint32_t Serial;  // its latest drop; the account with the oldest gives way when all are used
    HeldDrops Age;
    HeldDrops Full;
};

struct HeldQueue {
    uint32_t Max;       // 0: nothing is held
    uint32_t MaxAgeMs;
    uint32_t Count;
    HeldDrops Age;      // every account's drops together, for the trace
    HeldDrops Full;
    uint32_t Serial;    // drops so far
    uint16_t Order[HELD_MAX_LIMIT];  // slots in Msgs of the held answers, oldest first
    uint16_t Spare[HELD_MAX_LIMIT];  // slots in Msgs that hold nothing
    uint32_t SpareCount;
    HeldAccountDrops Accounts[HELD_DROP_ACCOUNTS];
    uint32_t Dropped;  // for either reason since the start, for the event log and the metrics
    HeldMsg Msgs[HELD_MAX_LIMIT];
};

// 1: an announced client of account client may take an answer held for owner: its own account's,
// and those that arrived before any client was served.
int HeldMayTake(const char* owner, const char* client);

// Empties the queue and sets its bounds (max above HELD_MAX_LIMIT is taken as the limit).
void HeldInit(HeldQueue* q, uint32_t max, uint32_t seconds);
// Keeps one client message of len bytes (at most MAX_CLIENT_OUT) for owner (cut to
// HELD_ACCOUNT_SIZE - 1 characters); when the queue is full the oldest, whoever owns it, is
// dropped first and counted. 1: kept; 0: not kept (no room at all, or a bad message).
int HeldPut(HeldQueue* q, const uint8_t* msg, size_t len, uint32_t nowMs, const char* owner = HELD_NO_OWNER);
// Drops, oldest first, what has been held longer than the age bound; returns how many.
uint32_t HeldExpire(HeldQueue* q, uint32_t nowMs);
// The oldest message, or none.
const HeldMsg* HeldPeek(const HeldQueue* q);
void HeldPop(HeldQueue* q);
// The same for what a client of account client may take (HeldMayTake); the others keep their
// places.
const HeldMsg* HeldPeekFor(const HeldQueue* q, const char* client);
uint32_t HeldCountFor(const HeldQueue* q, const char* client);
// Removes m, a message of the queue (from HeldPeekFor).
void HeldTake(HeldQueue* q, const HeldMsg* m);
// Moves the drops of the answers a client of account client may take into age and full (one
// record per reason: the counts added, the last drop named) and forgets them.
void HeldTakeDrops(HeldQueue* q, const char* client, HeldDrops* age, HeldDrops* full);
