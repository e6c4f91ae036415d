// Entry points of the link below its public interface, for tests, the fuzzer and tools that run
// both ends of a link on one machine.
#pragma once

#include <cstdint>

#include "terminal.h"

// TerminalInit with a local port that may differ from the terminal's port (0: system's choice).
int TerminalInitPorts(const char* name, const char* addr, uint16_t localPort, uint16_t remotePort, Terminal** out);

// The receiving rules applied to one datagram of size bytes, without a socket read. Answers
// (ACK, NAK, a frame sent again) still go out through the Terminal's socket.
int TerminalRecvDatagram(Terminal* t, const uint8_t* datagram, int size, TermPacket* pkt);

// Replaces the wall clock behind TimeStamp; nullptr restores it.
void TerminalSetClock(void (*clock)(struct TimeStamp* stamp));
