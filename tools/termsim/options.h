// Command line of termsim. Plain code: text in, a filled record or a message out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "faults.h"
#include "term_packet.h"

struct SimOptions {
    char Peer[16];            // the service's address (dotted IPv4)
    char Bind[16];            // local address of the five sockets; "0.0.0.0" for any
    uint8_t Apps;             // applications played (mask bits of AppTable indexes)
    uint16_t PortOffset;      // added to every application's port on both sides (a second
                              // terminal beside the first, for side-by-side benchmarks)
    uint8_t Reply;            // applications whose commands get a response
    uint32_t Echo[APP_COUNT]; // ECHO requests to send per application
    uint32_t Send[APP_COUNT]; // numbered packets to send per application
    uint32_t SendSize;        // data bytes of each numbered packet
    uint8_t StartSeq;
    bool Silent;
    uint64_t Seed;
    FaultConfig In;
    FaultConfig Out;
    double TimeLimit;         // seconds; 0 = none
    double IdleLimit;         // seconds without traffic or work; 0 = none
    char Log[256];            // "" = no log, "-" = standard error
};

enum SimParseResult {
    SIM_PARSE_OK = 1,
    SIM_PARSE_HELP = 0,
    SIM_PARSE_ERROR = -1,
};

void SimOptionsDefault(SimOptions* o);
// Parses argv[1..argc-1]. On SIM_PARSE_ERROR, err holds one line saying what was wrong.
int SimParseOptions(int argc, char** argv, SimOptions* o, char* err, size_t errSize);
// Application list: "all", "none", or names/indexes separated by commas (case-insensitive).
// Returns the mask, or -1 for an unknown name.
int SimParseAppList(const char* text);
// True for an address termsim may send to: loopback (127.0.0.0/8) or 198.18.0.0/15.
bool SimAddressAllowed(const char* dotted);

extern const char SimUsage[];
