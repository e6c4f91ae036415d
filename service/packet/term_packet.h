// The application message carried between the pipe client and the terminal, and the table of
// the terminal's applications: the record that the link and the bridge both speak.
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
