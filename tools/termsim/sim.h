// termsim's state: the five applications with their links, the fault line's delay queue and held
// datagrams, and the counters the summary prints. Shared by the loop (termsim.cpp), the fault line
// (fault_line.cpp) and the summary (summary.cpp).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>

#include "faults.h"
#include "options.h"
#include "simlink.h"
#include "soak.h"
#include "term_packet.h"

enum { DIR_IN = 0, DIR_OUT = 1 };
extern const char* const DirName[2];

// A datagram held back for reordering goes on after the next one, or after this long alone.
constexpr int64_t HOLD_MAX_MS = 1000;
constexpr int DELAY_QUEUE_SIZE = 1024;

struct Datagram {
    uint32_t Len;
    uint8_t Bytes[SIM_FRAME_MAX];
};

struct Delayed {
    bool Used;
    int64_t At;
    int Dir;
    int App;
    Datagram D;
};

struct Held {
    bool Valid;
    int64_t Since;
    Datagram D;
};

struct FaultCounters {
    uint32_t Dropped;
    uint32_t Duplicated;
    uint32_t Reordered;
    uint32_t Delayed;
};

struct AppState {
    bool Active;
    int Fd;
    sockaddr_in Peer;
    SimLink Link;
    uint32_t EchoLeft;
    uint32_t SendNext;
    uint32_t SendTotal;
    uint32_t EchoResp;
    uint32_t Responses;  // responses received (command with 0x8000), ECHO_RESP included
    uint32_t Replies;    // responses we queued to the service's commands
    uint32_t Foreign;    // datagrams from another address or port: ignored
    uint32_t Oversize;   // datagrams longer than a frame: ignored
    SoakTrack Soak;
    NumList Abandoned;
    NumList Missing;
    Held Hold[2];
};

struct Sim {
    SimOptions Opt;
    FILE* Log;
    int64_t StartMs;
    int64_t LastActivityMs;
    SimRng Rng[2];
    FaultCounters Faults[2];
    AppState Apps[APP_COUNT];
    Delayed Queue[DELAY_QUEUE_SIZE];
    uint32_t QueueOverflow;
    TermPacket Pkt;
    TermPacket Out;
};

// The loop's side (termsim.cpp).
void LogDatagram(Sim* s, int64_t now, const char* dir, int app, const uint8_t* b, size_t n, const char* note);
// Sends a datagram to the service (DIR_OUT) or hands one to the application's link (DIR_IN).
void Deliver(Sim* s, int dir, int app, const uint8_t* b, size_t n, int64_t now);

// The fault line (fault_line.cpp): every datagram of either direction passes Route exactly once.
void Route(Sim* s, int dir, int app, const uint8_t* b, size_t n, int64_t now);
// Delivers what the delay queue and the held places owe by now.
void ReleaseDue(Sim* s, int64_t now);
// Milliseconds until the fault line next owes a datagram, at most limitMs.
int64_t FaultLineNextMs(const Sim* s, int64_t now, int64_t limitMs);
// True when nothing waits in the delay queue or a held place.
bool FaultLineEmpty(const Sim* s);

// The parseable summary (summary.cpp).
void PrintSummary(Sim* s, int64_t now);
