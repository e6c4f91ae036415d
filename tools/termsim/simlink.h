// The terminal's end of the stop-and-wait link for one application, as termsim plays it: the same
// frame format and receiving and sending rules as the service's end, with the direction flag clear.
// Written apart from the service's own link code on purpose, so that each checks the other.
// Plain code: bytes and a millisecond clock in, datagrams to send out; no sockets here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "term_packet.h"

// Flag byte of every frame; bits 4 to 7 are sent as 0 and ignored on receipt.
constexpr uint8_t SIM_FLAG_SYNC = 0x01;
constexpr uint8_t SIM_FLAG_NAK = 0x02;
constexpr uint8_t SIM_FLAG_ACK = 0x04;
constexpr uint8_t SIM_FLAG_HOST = 0x08;  // the service's direction; never set by the terminal

// Largest frame: flags, sequence, length, command, status and a full packet of data.
constexpr size_t SIM_FRAME_MAX = 8 + MAX_PACKET_DATA;
// A frame is due again when more than this many milliseconds have passed since it was sent.
constexpr int64_t SIM_RETRY_MS = 750;
// Timer retransmissions before a frame is given up.
constexpr int SIM_RETRY_LIMIT = 3;
// Outgoing frames held per application, the one in flight included.
constexpr int SIM_QUEUE_SIZE = 16;
// Tag of a queued frame that carries no running number.
constexpr uint32_t SIM_NO_TAG = 0xFFFFFFFFu;

struct SimFrame {
    uint32_t Len;
    uint32_t Tag;
    uint8_t Bytes[SIM_FRAME_MAX];
};

struct SimCounters {
    uint32_t DataIn;         // data frames received, whatever became of them
    uint32_t DeliveredIn;    // data frames accepted with a well-formed packet
    uint32_t DupSuppressed;  // repeats of the frame accepted last: acknowledged again, not delivered
    uint32_t RetransSeen;    // data frames carrying the same number as the data frame before them
    uint32_t NakSent;        // resync requests for unexpected numbers
    uint32_t StaleSync;      // resync frames nobody asked for: judged by their number alone
    uint32_t RestartSync;    // of those, new frames under the number accepted last: accepted
    uint32_t AckRecv;        // acknowledgements that ended the frame in flight
    uint32_t StaleAck;       // acknowledgements for another number, or with nothing in flight
    uint32_t NakRecv;        // NAKs received
    uint32_t StaleNak;       // NAKs for a number that is not in flight: ignored
    uint32_t NakResends;     // frames sent again at once in answer to a NAK
    uint32_t SentOut;        // first transmissions of our frames
    uint32_t Retransmits;    // timer retransmissions of our frames
    uint32_t Abandoned;      // our frames given up after the last retransmission
    uint32_t OwnDirection;   // frames without the service's direction flag
    uint32_t Malformed;      // runts and data frames inconsistent with their length field
    uint32_t QueueFull;      // packets refused because the queue was full
};

struct SimLink {
    int App;           // index in AppTable
    bool Silent;       // receive and count, but never answer or send
    uint8_t RecvSeq;   // number expected in the service's next data frame
    uint8_t SendSeq;   // number of our frame in flight, or of the next one
    bool Pending;      // our head frame is in flight
    int RetryCount;    // timer retransmissions of the frame in flight
    int64_t SentAtMs;  // last transmission of the frame in flight
    bool HaveLastData;
    uint8_t LastDataSeq;
    bool ResyncAsked;  // a resync NAK went out and no frame has been accepted since
    uint8_t ResyncSeq; // the number that NAK named
    // The datagram accepted last (0 bytes before the first): a sync frame under its number with
    // other bytes is a new frame from a peer that started counting again.
    uint32_t LastAcceptedLen;
    uint8_t LastAccepted[SIM_FRAME_MAX];
    int Head;
    int Count;
    SimFrame Queue[SIM_QUEUE_SIZE];
    SimCounters C;
};

// Datagrams that one step of the link wants sent, in order, and a frame it gave up.
struct SimOutbox {
    int Count;
    uint32_t Len[2];
    uint8_t Bytes[2][SIM_FRAME_MAX];
    bool Abandoned;
    uint32_t AbandonedTag;
};

enum SimRxResult {
    SIM_RX_DELIVERED = 1,   // a data frame was accepted and *pkt filled
    SIM_RX_LINK = 0,        // an ACK or NAK, handled
    SIM_RX_REPEAT = 2,      // the frame accepted last came again: acknowledged again
    SIM_RX_RESYNC = 3,      // unexpected number: a resync NAK went back
    SIM_RX_OWN = 4,         // the terminal's own direction: ignored
    SIM_RX_SILENT = 5,      // silent mode: counted only
    SIM_RX_MALFORMED = -2,  // accepted and acknowledged, but the packet is unusable
    SIM_RX_RUNT = -3,       // shorter than flags and sequence: ignored
};

uint8_t SimSeqNext(uint8_t seq);
// True when seq is the number just before expected, 255 counting as the one before 0.
bool SimSeqIsPrevious(uint8_t seq, uint8_t expected);
// Milliseconds from then to now on a monotonic clock; a clock that went back counts as 0.
int64_t SimElapsedMs(int64_t then, int64_t now);

void SimLinkInit(SimLink* link, int app, uint8_t startSeq, bool silent);

// Runs the receiving rules on one datagram of n bytes. Fills *pkt only on SIM_RX_DELIVERED.
int SimLinkRecv(SimLink* link, const uint8_t* d, size_t n, int64_t nowMs, TermPacket* pkt,
                SimOutbox* out);

// Queues pkt as a data frame behind the ones held; 1 when queued, 0 when refused (too long,
// queue full, or silent). The frame starts with the next SimLinkPoll.
int SimLinkQueue(SimLink* link, const TermPacket* pkt, uint32_t tag);
int SimLinkFree(const SimLink* link);

// Starts the next frame when nothing is in flight, sends an overdue frame again, or gives it up
// after its last retransmission (and then starts the next). Returns the datagrams added to out.
int SimLinkPoll(SimLink* link, int64_t nowMs, SimOutbox* out);

// Milliseconds until SimLinkPoll has work: 0 when a frame waits to start, -1 when idle.
int64_t SimLinkNextDueMs(const SimLink* link, int64_t nowMs);

// True while frames are held (in flight or waiting).
bool SimLinkBusy(const SimLink* link);

void SimOutboxClear(SimOutbox* out);
