// Byte layout of the shared status block, the contract between the service, which publishes
// it, and the applet, which reads it: nothing else, no header, version or checksum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config_value.h"

// What the block tells: the service's process id and the address it was started with.
struct ServiceIdent {
    uint32_t Pid;
    char IPAddr[CONFIG_ADDR_SIZE];
};

constexpr size_t IDENT_PID_OFFSET = 0;    // unsigned 32-bit, little-endian
constexpr size_t IDENT_ADDR_OFFSET = 4;   // the whole 16-byte address buffer
constexpr size_t IDENT_SIZE = IDENT_ADDR_OFFSET + CONFIG_ADDR_SIZE;  // 20 bytes: what every reader needs
// After those, the number of link states that follow (IDENT_LINK_COUNT), then one byte per
// terminal application in mask-bit order (Master, MBCA, Maint, Fleet, Petro): 0 nothing heard
// yet, 1 answering, 2 retrying, 3 not answering. A reader of the first 20 bytes alone is not
// disturbed by them. The count tells a block of 20 bytes (an older service) apart: the system
// maps whole zero-filled pages, so a longer view of such a block may well succeed.
constexpr size_t IDENT_LINKS_COUNT_OFFSET = IDENT_SIZE;
constexpr size_t IDENT_LINKS_OFFSET = IDENT_LINKS_COUNT_OFFSET + 1;
constexpr size_t IDENT_LINK_COUNT = 5;
constexpr size_t IDENT_BLOCK_SIZE = IDENT_LINKS_OFFSET + IDENT_LINK_COUNT;  // 26 bytes, as created

// The stored address always ends within its 16 bytes: a buffer without a NUL has its last byte
// replaced by one, since every reader prints the field as a string.
void IdentEncode(uint8_t* block, const ServiceIdent* ident);

// The address handed out ends within its 16 bytes whatever the block holds, since any process
// that opens the block by name may have written it.
void IdentDecode(const uint8_t* block, ServiceIdent* ident);
