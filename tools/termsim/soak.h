// Payload of the numbered packets that termsim and the soak driver send each other: a running
// number, the total the sender means to send, and a check word, so that the receiver can tell
// order, gaps, repeats and damage apart.
#pragma once

#include <cstddef>
#include <cstdint>

#include "term_packet.h"

// Command code of a numbered packet (not one that the service acts on itself).
constexpr uint32_t SOAK_CMD = 0x0200;
constexpr uint32_t SOAK_MIN_LEN = 12;

// Fills pkt with number num of total, len data bytes (SOAK_MIN_LEN to MAX_PACKET_DATA, clamped);
// the bytes after the header are a pattern derived from num.
void SoakFill(TermPacket* pkt, uint32_t num, uint32_t total, uint32_t len);

enum SoakCheckResult {
    SOAK_NOT = 0,       // not a numbered packet
    SOAK_OK = 1,
    SOAK_DAMAGED = -1,  // the right command, but the check word or the pattern is wrong
};
int SoakCheck(const TermPacket* pkt, uint32_t* num, uint32_t* total);

// Receiver's view of one stream of numbered packets.
struct SoakTrack {
    uint32_t Next;     // number expected next
    uint32_t Total;    // total announced by the sender (0 until the first packet)
    uint32_t Accepted; // numbers delivered once, in increasing order (gaps allowed)
    uint32_t Missing;  // numbers skipped over
    uint32_t Repeats;  // numbers that came again or out of order: never acceptable
    uint32_t Damaged;
};

void SoakTrackInit(SoakTrack* t);
// Accounts one delivered numbered packet. Returns how many numbers it skipped (they run from the
// Next before the call); 0 when it came in order; -1 for a repeat or a number going back.
int SoakTrackAdd(SoakTrack* t, uint32_t num, uint32_t total);
// At the end: the numbers from Next up to Total never came; returns their count and counts them
// as missing.
uint32_t SoakTrackFinish(SoakTrack* t);

// Numbers of a stream's packets reported one by one at the end (given up, missing): the first
// NUM_LIST_SIZE are kept, Count counts them all.
constexpr int NUM_LIST_SIZE = 4096;
struct NumList {
    uint32_t Count;
    uint32_t Nums[NUM_LIST_SIZE];
};
void NumListAdd(NumList* l, uint32_t num);
