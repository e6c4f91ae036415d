// The application message carried between the pipe client and the terminal, the table of the
// terminal's applications, and the byte layout of a message on the pipe in both directions.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t MAX_PACKET_DATA = 600;
constexpr uint32_t CMD_RESPONSE = 0x8000;

// Command codes the service itself produces or answers; every other code passes through.
constexpr uint32_t ECHO = 0x0000;
constexpr uint32_t ECHO_RESP = 0x8000;
constexpr uint32_t ACTIVATE = 0x0010;
constexpr uint32_t PASSIVATE = 0x0011;

// Status of the ECHO_RESP that the bridge builds itself.
constexpr uint16_t ECHO_RESP_STATUS = 0;

struct TermPacket {
    uint32_t Cmd;     // only the low 16 bits travel; bit 0x8000 marks a response
    uint16_t Status;  // meaningful only for a response
    uint32_t Len;     // never above MAX_PACKET_DATA
    uint8_t Data[MAX_PACKET_DATA];
};

struct AppEntry {
    uint32_t Port;
    const char* Name;
};

constexpr int APP_COUNT = 5;
// Index order is mask-bit order; the ports are deliberately not in that order.
extern const AppEntry AppTable[APP_COUNT + 1];

constexpr uint8_t AppMaskOf(int index) { return static_cast<uint8_t>(1u << index); }
constexpr uint8_t APP_MASK_ALL = 0x1F;

inline bool HasStatus(uint32_t cmd) { return (cmd & CMD_RESPONSE) != 0; }

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
