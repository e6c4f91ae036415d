// The service's end of the UDP link to one application of the payment terminal: the socket, the
// event the bridge waits on, and the stop-and-wait link protocol with its ring of outgoing frames.
#pragma once

#include <cstdint>

#include "link_frame.h"
#include "term_packet.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
using LinkSocket = SOCKET;
using LinkEvent = HANDLE;  // auto-reset event, signalled when a datagram arrives (FD_READ)
#else
using LinkSocket = int;
using LinkEvent = int;  // the socket's descriptor itself: readable (POLLIN) while a datagram waits
#endif

// Largest frame on the wire: flags, sequence, length, command, status and 600 data bytes.
constexpr uint32_t FRAME_SIZE = 8 + MAX_PACKET_DATA;
constexpr int SLOT_COUNT = 10;
// One slot always stays free, so the frame ended last is never overwritten before the head moves.
constexpr int SLOT_LIMIT = SLOT_COUNT - 1;
// A retransmission is due when more than this many milliseconds have passed since the last one.
constexpr uint32_t RETRY_INTERVAL_MS = 750;
// Retransmissions by timer before a frame is abandoned.
constexpr int RETRY_LIMIT = 3;

// Wall-clock time: seconds since 1970-01-01 UTC and microseconds (a multiple of 1000).
struct TimeStamp {
    int32_t Seconds;
    int32_t Microseconds;
};

struct Slot {
    uint32_t FrameLen;
    uint32_t Tag;  // the sender's mark, handed back when the frame is given up
    uint8_t Frame[FRAME_SIZE];
};

struct Terminal {
    LinkSocket Socket;
    LinkEvent Event;
    char* Name;
    int32_t Pending;     // 1 while a data frame awaits its acknowledgement
    int32_t RetryCount;  // timer expiries for the frame in flight
    uint32_t RecvFailures;  // receives that failed since the start (port-unreachable reports among them)
    struct TimeStamp SentAt;
    uint32_t CurLen;
    uint8_t* CurFrame;  // Frame of the head slot while it is current, else none
    int32_t SlotCount;  // frames held, the one in flight included: 0 to SLOT_LIMIT
    int32_t SlotHead;   // oldest held slot
    Slot Slots[SLOT_COUNT];
    uint8_t SendSeq;  // number of the frame in flight, or of the next one to start
    uint8_t RecvSeq;  // number expected in the terminal's next data frame
    // FLAG_SYNC in a data frame is honoured for the number that our last resync NAK named, until
    // the next frame is accepted, and under the number accepted last when the bytes are not those
    // of the frame accepted last. Otherwise a late or doubled copy of a sync frame is judged by its
    // number like any other frame, so it is never delivered a second time.
    uint8_t ResyncAsked;  // 1 from our resync NAK until a data frame is accepted
    uint8_t ResyncSeq;    // the number that NAK named
    // The datagram accepted last; 0 bytes until a frame is accepted.
    uint32_t LastLen;
    uint8_t Last[FRAME_SIZE];
    // Link health, counted since creation.
    uint32_t FramesSent;       // data frames started (first transmissions)
    uint32_t FramesReceived;   // data frames accepted from the terminal
    uint32_t Retransmitted;    // transmissions by the timer
    uint32_t GivenUp;          // frames abandoned after RETRY_LIMIT retransmissions
    uint32_t GivenUpCmd;       // command of the frame abandoned last
    uint32_t GivenUpTag;       // its Slot Tag
    int32_t Health;            // a LinkHealthState
    struct TimeStamp HealthSince;
    int32_t Heard;             // 1 once any datagram came from the terminal
    struct TimeStamp LastHeard;
};

// What the link knows of the terminal's application.
enum LinkHealthState {
    LINK_UNKNOWN = 0,        // nothing heard and nothing given up yet
    LINK_ANSWERING = 1,      // the terminal's last word came after our last give-up
    LINK_RETRYING = 2,       // the frame in flight is being retransmitted
    LINK_NOT_ANSWERING = 3,  // a frame was given up and nothing has come since
};

// Creates the link for one application: a UDP socket bound to port on every local address and
// connected to port at addr (strict dotted IPv4 text). Returns 1 and stores the Terminal in *out,
// or 0 with *out untouched. The socket library must be started.
int TerminalInit(const char* name, const char* addr, uint16_t port, Terminal** out);
// Closes socket and event and frees the record; 1 when it got a Terminal, 0 for none.
int TerminalClose(Terminal* t);
LinkEvent TerminalEvent(Terminal* t);

// The ring of outgoing frames.
Slot* SlotReserve(Terminal* t);
void SlotCommit(Terminal* t, uint32_t length);
uint8_t* SlotPeek(Terminal* t, uint32_t* length);
int SlotPop(Terminal* t);

void TimeStamp(struct TimeStamp* stamp);

// TerminalRecv's results besides a datagram size (> 0: a data frame was accepted into *pkt).
enum TerminalRecvResult {
    TERMINAL_RECV_NOTHING = 0,         // nothing for the client
    TERMINAL_RECV_FAILED = -1,         // no datagram could be read
    TERMINAL_RECV_UNDELIVERABLE = -2,  // accepted and acknowledged, but shorter than its own command
                                       // and status words, so *pkt is not to be delivered
};

// Reads one datagram: a datagram size or a TerminalRecvResult.
int TerminalRecv(Terminal* t, TermPacket* pkt);
// Transmits the current frame with number SendSeq (sync 0 or 1); the send's result, 0 for none.
int TerminalSendFrame(Terminal* t, int sync);
// Sends the two-byte link frame (flags | FLAG_HOST, seq); the send's result.
int TerminalSendLink(Terminal* t, uint8_t flags, uint8_t seq);
// Ends the frame in flight (acknowledged or abandoned): SendSeq advances, head slot dropped.
void TerminalRelease(Terminal* t);

// Queues pkt as a data frame and starts it when nothing is in flight. 0 when refused (too long,
// or SLOT_LIMIT frames held), else Pending (1).
int TerminalSend(Terminal* t, const TermPacket* pkt);
// TerminalSend with the sender's mark, which GivenUpTag reports should the frame be given up.
int TerminalSendTagged(Terminal* t, const TermPacket* pkt, uint32_t tag);
// Starts the oldest held frame when nothing is in flight; returns Pending.
int TerminalSendNext(Terminal* t);
// Timer tick: retransmits an overdue frame, abandons it after RETRY_LIMIT retransmissions (then
// GivenUp counts it and GivenUpCmd and GivenUpTag name it).
int TerminalTime(Terminal* t);
