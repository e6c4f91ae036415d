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
