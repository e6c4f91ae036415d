#include <cstring>

#include "link_fixture.h"

namespace {

Terminal* const UNTOUCHED = reinterpret_cast<Terminal*>(static_cast<uintptr_t>(0x5A5A5A50));

TEST(TerminalInit, RefusesAnAddressThatIsNotOneHost)
{
    // The trace names the rule each breaks, in the one rule's own words.
    const struct {
        const char* Addr;
        const char* Rule;
    } bad[] = {
        {"terminal.local", "holds a character other than digits and dots"},
        {"192.168.1.300", "has a number above 255"},
        {"", "is empty"},
        {"10.0.0", "is not four numbers separated by single dots"},
        {"10.0.0.1 ", "holds a character other than digits and dots"},
        {"255.255.255.255", "is 224.0.0.0 or above (multicast or broadcast), not one host"},
        {"0.0.0.0", "is 0.0.0.0, which names no host"},
        {"239.1.2.3", "is 224.0.0.0 or above (multicast or broadcast), not one host"},
    };
    TakeTrace();
    for (const auto& c : bad) {
        Terminal* out = UNTOUCHED;
        EXPECT_EQ(0, TerminalInit("Master", c.Addr, 0, &out)) << c.Addr;
        EXPECT_EQ(UNTOUCHED, out);
        std::string expected = std::string("TerminalInit: 'Master': The terminal address \"") + c.Addr + "\" " +
                               c.Rule + ".";
        EXPECT_EQ(std::vector<std::string>{expected}, TakeTrace());
    }
    Terminal* out = UNTOUCHED;
    EXPECT_EQ(0, TerminalInit("Master", nullptr, 0, &out));
    EXPECT_EQ(UNTOUCHED, out);
    TakeTrace();
}

TEST(TerminalInit, PortTakenGivesBindError)
{
    Peer holder;
    TakeTrace();
    Terminal* out = UNTOUCHED;
    EXPECT_EQ(0, TerminalInit("Fleet", "127.0.0.1", holder.Port(), &out));
    EXPECT_EQ(UNTOUCHED, out);
    // The system's text of the code may end in a line break of its own.
    std::vector<std::string> lines = TakeTrace();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines[0].find("Error ' bind() ' -> ")) << lines[0];
}

TEST(TerminalInit, MissingArguments)
{
    Terminal* out = UNTOUCHED;
    EXPECT_EQ(0, TerminalInit(nullptr, "127.0.0.1", 0, &out));
    EXPECT_EQ(UNTOUCHED, out);
    EXPECT_EQ(0, TerminalInit("Maint", "127.0.0.1", 0, nullptr));
}

TEST(TerminalClose, NoneReturnsZero) { EXPECT_EQ(0, TerminalClose(nullptr)); }

// Bound and connected to the same port of loopback, a Terminal talks to itself: every frame it
// sends comes back to it, and is ignored for its FLAG_HOST.
TEST(TerminalInit, SamePortOnBothEndsAndFreshState)
{
    uint16_t port;
    {
        Peer probe;
        port = probe.Port();
    }
    Terminal* t = nullptr;
    char name[] = "Self";
    ASSERT_EQ(1, TerminalInit(name, "127.0.0.1", port, &t));
    EXPECT_EQ(port, LinkSocketPort(t->Socket));
    EXPECT_STREQ("Self", t->Name);
    EXPECT_NE(name, t->Name) << "the name is copied";
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(0, t->RetryCount);
    EXPECT_EQ(0, t->SlotCount);
    EXPECT_EQ(0, t->SlotHead);
    EXPECT_EQ(0, t->SendSeq);
    EXPECT_EQ(0, t->RecvSeq);
    EXPECT_EQ(0u, t->CurLen);
    EXPECT_EQ(nullptr, t->CurFrame);
    EXPECT_EQ(t->Event, TerminalEvent(t));
    EXPECT_FALSE(LinkEventWait(TerminalEvent(t), 0));

    TermPacket echo{};
    echo.Cmd = ECHO;
    echo.Len = 1;
    TakeTrace();
    EXPECT_EQ(1, TerminalSend(t, &echo));
    EXPECT_EQ((std::vector<std::string>{"'Self': TerminalSend: 0x0000 -> 1",
                                        "'Self': Sending (0x08,0x00) 0x0000:  data of len 7",
                                        "'Self': TerminalSendNext: 0 -> 1"}),
              TakeTrace());
    ASSERT_TRUE(LinkEventWait(TerminalEvent(t), 2000));
    TermPacket in{};
    EXPECT_EQ(0, TerminalRecv(t, &in));
    EXPECT_EQ(std::vector<std::string>{"'Self': TerminalRecv: 0x08,0x00 of len 7"}, TakeTrace());
    EXPECT_EQ(1, t->Pending);
    EXPECT_EQ(0, t->RecvSeq);
    EXPECT_EQ(-1, TerminalRecv(t, &in)) << "nothing waiting: the receive fails, without a trace";
    EXPECT_TRUE(TakeTrace().empty());
    EXPECT_EQ(1, TerminalClose(t));
}

TEST(TerminalEvent, NoneGivesNoEvent) { EXPECT_EQ(LINK_NO_EVENT, TerminalEvent(nullptr)); }

using TerminalEventTest = LinkTest;

// The event stays signalled while datagrams wait, and not after the last one is read.
TEST_F(TerminalEventTest, SignalledWhileADatagramWaits)
{
    EXPECT_FALSE(LinkEventWait(TerminalEvent(t), 0));
    peer.Send(Frame({0x04, 0x10}));
    peer.Send(Frame({0x04, 0x11}));
    ASSERT_TRUE(LinkEventWait(TerminalEvent(t), 2000));
    EXPECT_EQ(0, TerminalRecv(t, &pkt));
    // The second datagram may still be on its way through loopback: wait for it, bounded.
    ASSERT_TRUE(LinkEventWait(TerminalEvent(t), 2000));
    EXPECT_EQ(0, TerminalRecv(t, &pkt));
    EXPECT_FALSE(LinkEventWait(TerminalEvent(t), 0));
    EXPECT_EQ(-1, TerminalRecv(t, &pkt));
    std::vector<std::string> lines = TakeTrace();
    EXPECT_TRUE(TraceHas(lines, "'Test': TerminalRecv: 0x04,0x10 of len 2"));
    EXPECT_TRUE(TraceHas(lines, "'Test': TerminalRecv: 0x04,0x11 of len 2"));
}

TEST(TerminalNone, MissingTerminalOrPacket)
{
    TermPacket pkt{};
    EXPECT_EQ(-1, TerminalRecv(nullptr, &pkt));
    EXPECT_EQ(0, TerminalSend(nullptr, &pkt));
    EXPECT_EQ(0, TerminalSendNext(nullptr));
    EXPECT_EQ(0, TerminalTime(nullptr));
    EXPECT_EQ(0, TerminalSendFrame(nullptr, 1));
    EXPECT_EQ(0, TerminalSendLink(nullptr, FLAG_ACK, 0));
    TerminalRelease(nullptr);
}

}  // namespace
