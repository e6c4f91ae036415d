// The byte layout of a message on the pipe, in both directions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "term_packet.h"

// Largest message the service writes to the client: mask, command, status, full data.
constexpr size_t MAX_CLIENT_OUT = 5 + MAX_PACKET_DATA;

enum ClientMsgKind {
    CLIENT_MSG_SHORT = -1,   // shorter than its own header: nothing decoded into the packet
    CLIENT_MSG_TOO_LONG = -2, // more data than a packet can hold
    CLIENT_MSG_CAPTURE = 1,  // mask 0: a capture record, see capture/body
    CLIENT_MSG_PACKET = 2,   // a packet for the applications in mask
};

struct ClientMsg {
    uint8_t Mask;
    const uint8_t* Capture;  // capture record body (time stamp and text), inside the message
    size_t CaptureLen;
};

// Decodes one client message of n bytes into pkt (Status untouched when the command has none).
// Never reads past msg[n-1] and never computes a negative length.
int DecodeClientMsg(const uint8_t* msg, size_t n, TermPacket* pkt, ClientMsg* out);

// Encodes pkt as a message to the client from application index app; returns the length, or 0
// when out is too small or the packet or index is invalid.
size_t EncodeClientMsg(const TermPacket* pkt, int app, uint8_t* out, size_t outSize);

// Control messages carry the mask CLIENT_CONTROL_MASK and nothing else in it. That mask selects
// no application, so a service that does not know them forwards them to nobody and writes
// nothing back; and no application's message to the client ever carries it, so a client that
// never announced itself never receives one.
constexpr uint8_t CLIENT_CONTROL_MASK = 0x80;
constexpr uint8_t CONTROL_VERSION = 1;
// From the client: command words without the response bit, so no status word follows.
constexpr uint32_t CONTROL_ANNOUNCE = 0x7F01;  // data: the client's version byte (ignored)
constexpr uint32_t CONTROL_HEALTH = 0x7F02;    // no data
// To an announced client: command words with the response bit, so a status word follows.
constexpr uint32_t CONTROL_WELCOME = 0xFF01;        // status 0; version byte, held answers (u16)
constexpr uint32_t CONTROL_NOTICE = 0xFF02;         // status: NoticeReason; app bit, command, count
constexpr uint32_t CONTROL_HEALTH_ANSWER = 0xFF03;  // status 0; count byte, then HEALTH_RECORD each

enum NoticeReason {
    NOTICE_QUEUE_FULL = 1,     // the link already holds SLOT_LIMIT frames: refused at once
    NOTICE_GIVEN_UP = 2,       // no acknowledgement after the retransmissions
    NOTICE_LINK_UNUSABLE = 3,  // the link refused it for another reason
    NOTICE_HELD_AGE = 4,       // held answers dropped for age; the last one's app and command
    NOTICE_HELD_COUNT = 5,     // held answers dropped for count (oldest first); the last one's
};

constexpr size_t WELCOME_SIZE = 5 + 3;
constexpr size_t NOTICE_SIZE = 5 + 7;

// One application's link health; times are milliseconds before the answer was made,
// HEALTH_NEVER when the event has not happened.
struct AppHealth {
    uint8_t State;  // LinkHealthState
    uint32_t SinceMs;
    uint32_t Sent;
    uint32_t Received;
    uint32_t Retransmitted;
    uint32_t GivenUp;
    uint8_t Queue;  // frames held by the link, the one in flight included
    uint32_t LastHeardMs;
};
constexpr uint32_t HEALTH_NEVER = 0xFFFFFFFFu;
// App bit, state, since, sent, received, retransmitted, given up, queue, last heard.
constexpr size_t HEALTH_RECORD = 1 + 1 + 4 + 4 + 4 + 4 + 4 + 1 + 4;
constexpr size_t HEALTH_ANSWER_SIZE = 5 + 1 + APP_COUNT * HEALTH_RECORD;

// True for a message from the client that the service answers itself.
inline bool IsControlMsg(uint8_t mask, uint32_t cmd)
{
    return mask == CLIENT_CONTROL_MASK && (cmd == CONTROL_ANNOUNCE || cmd == CONTROL_HEALTH);
}

// Each returns the length written to out, or 0 when out is too small or an argument is invalid.
size_t EncodeWelcome(uint16_t held, uint8_t* out, size_t outSize);
size_t EncodeNotice(int reason, uint8_t appMask, uint32_t cmd, uint32_t count, uint8_t* out, size_t outSize);
// apps holds APP_COUNT records, in application index order.
size_t EncodeHealth(const AppHealth* apps, uint8_t* out, size_t outSize);
