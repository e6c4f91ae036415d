// The link frame's first two bytes and its header, as the link, the communication log and
// termsim read them.
#pragma once

#include <cstdint>

// Bits of a frame's first byte; bits 4 to 7 are sent as 0 and ignored on receipt.
constexpr uint8_t FLAG_SYNC = 0x01;  // data frame: take its number as expected; NAK: resend with SYNC
constexpr uint8_t FLAG_NAK = 0x02;
constexpr uint8_t FLAG_ACK = 0x04;
constexpr uint8_t FLAG_HOST = 0x08;  // set in every frame the service sends

// A data frame: flags, sequence, then a big-endian length of what follows it (command word,
// status word for a response, data).
constexpr uint32_t LINK_FRAME_HEAD = 4;
// An ACK or NAK: flags and sequence only.
constexpr uint32_t LINK_FRAME_CONTROL = 2;
