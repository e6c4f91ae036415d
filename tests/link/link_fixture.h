// Test support for the link: the trace read back line by line, a clock the test moves by hand,
// and a Terminal on loopback facing a peer socket that plays the terminal application.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "link_socket.h"
#include "terminal.h"
#include "terminal_internal.h"

using Bytes = std::vector<uint8_t>;

// Trace lines written since the last call, without their time and thread prefix.
std::vector<std::string> TakeTrace();
// The same, for assertions that only look for one line.
bool TraceHas(const std::vector<std::string>& lines, const std::string& part);

// The clock behind TimeStamp while a LinkTest runs.
extern struct TimeStamp FakeNow;
void AdvanceMs(int ms);

// A UDP socket bound to a port of the system's choice on every local address.
class Peer {
public:
    Peer();
    ~Peer();
    uint16_t Port() const { return port_; }
    void ConnectTo(uint16_t port);
    void Send(const Bytes& datagram);
    // The next datagram, or an empty vector when none comes within two seconds.
    Bytes Take();
    LinkSocket Socket() const { return socket_; }

private:
    LinkSocket socket_ = LINK_NO_SOCKET;
    LinkEvent event_ = LINK_NO_EVENT;
    uint16_t port_ = 0;
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Peer sends datagram; the Terminal's event is awaited and TerminalRecv called once.
    int Deliver(const Bytes& datagram);
    // Proves that the Terminal sent nothing since the last Take: it sends a marker link frame,
    // which must be the next datagram the peer gets (loopback keeps one socket's order).
    void ExpectNothingSent(int line);

    Peer peer;
    Terminal* t = nullptr;
    TermPacket pkt{};
};

#define EXPECT_NOTHING_SENT() ExpectNothingSent(__LINE__)

Bytes Frame(std::initializer_list<int> bytes);
// A data frame from the terminal: flags, sequence, length field, command, [status], data.
Bytes DataFrame(uint8_t flags, uint8_t seq, uint16_t cmd, std::initializer_list<int> data, int status = -1);
