// A receive that fails (a port-unreachable report for an earlier send, a datagram too large)
// must not hide the datagrams behind it: the terminal may come up after the service's first
// frames met a closed port.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link_socket.h"
#include "terminal.h"
#include "terminal_internal.h"

namespace {

struct Sockets {
    LinkSocket Peer = LINK_NO_SOCKET;
    Terminal* Term = nullptr;
    ~Sockets()
    {
        if (Peer != LINK_NO_SOCKET)
            LinkSocketClose(Peer);
        TerminalClose(Term);
    }
};

const uint8_t LOOPBACK[4] = {127, 0, 0, 1};

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }

TEST(RecvErrors, DatagramBehindAPortUnreachableReportIsRead)
{
    ASSERT_EQ(0, LinkStartup());
    Sockets s;
    // A port that nobody holds: open, bind, note it, close.
    LinkSocket probe = LINK_NO_SOCKET;
    ASSERT_EQ(0, LinkSocketOpen(&probe));
    ASSERT_EQ(0, LinkSocketBind(probe, 0));
    uint16_t peerPort = LinkSocketPort(probe);
    LinkSocketClose(probe);
    ASSERT_NE(0, peerPort);

    ASSERT_EQ(1, TerminalInitPorts("Master", "127.0.0.1", 0, peerPort, &s.Term));
    TermPacket pkt{};
    pkt.Cmd = 0x0123;
    pkt.Len = 1;
    ASSERT_EQ(1, TerminalSend(s.Term, &pkt)) << "the frame goes to a closed port";
    Pause();  // the port-unreachable report arrives

    // The terminal comes up on that port and sends an echo request: number 0, length 3.
    ASSERT_EQ(0, LinkSocketOpen(&s.Peer));
    ASSERT_EQ(0, LinkSocketBind(s.Peer, peerPort));
    ASSERT_EQ(0, LinkSocketConnect(s.Peer, LOOPBACK, LinkSocketPort(s.Term->Socket)));
    const uint8_t echo[] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x5A};
    ASSERT_EQ(static_cast<int>(sizeof echo), LinkSocketSend(s.Peer, echo, sizeof echo));
    Pause();

    TermPacket in{};
    EXPECT_GT(TerminalRecv(s.Term, &in), 0) << "one call reads past the error to the datagram";
    EXPECT_EQ(0u, in.Cmd);
    ASSERT_EQ(1u, in.Len);
    EXPECT_EQ(0x5A, in.Data[0]);
    EXPECT_EQ(-1, TerminalRecv(s.Term, &in)) << "then nothing waits";
}

TEST(RecvErrors, OversizeDatagramIsDroppedAndTheNextOneRead)
{
    ASSERT_EQ(0, LinkStartup());
    Sockets s;
    ASSERT_EQ(0, LinkSocketOpen(&s.Peer));
    ASSERT_EQ(0, LinkSocketBind(s.Peer, 0));
    ASSERT_EQ(1, TerminalInitPorts("Fleet", "127.0.0.1", 0, LinkSocketPort(s.Peer), &s.Term));
    ASSERT_EQ(0, LinkSocketConnect(s.Peer, LOOPBACK, LinkSocketPort(s.Term->Socket)));

    uint8_t big[FRAME_SIZE + 92] = {};
    ASSERT_EQ(static_cast<int>(sizeof big), LinkSocketSend(s.Peer, big, sizeof big));
    const uint8_t echo[] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x7E};
    ASSERT_EQ(static_cast<int>(sizeof echo), LinkSocketSend(s.Peer, echo, sizeof echo));
    Pause();

    TermPacket in{};
    EXPECT_GT(TerminalRecv(s.Term, &in), 0);
    ASSERT_EQ(1u, in.Len);
    EXPECT_EQ(0x7E, in.Data[0]);
}

}  // namespace
