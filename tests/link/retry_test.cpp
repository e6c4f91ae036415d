// The retransmission timer, driven by a clock that the test moves: ticks every 100 ms as the
// bridge gives them, without waiting for real time.
#include "link_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class TerminalTimeTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        TermPacket p{};
        p.Cmd = 0x0030;
        p.Len = 1;
        p.Data[0] = 0x44;
        ASSERT_EQ(1, TerminalSend(t, &p));
        first = peer.Take();
        ASSERT_EQ(Frame({0x08, 0x00, 0x00, 0x03, 0x00, 0x30, 0x44}), first);
        TakeTrace();
    }

    // Ticks every 100 ms until one sends or abandons; returns the ticks taken (bounded).
    int TickUntilExpiry()
    {
        for (int ticks = 1; ticks <= 20; ++ticks) {
            AdvanceMs(100);
            int retry = t->RetryCount;
            int pending = t->Pending;
            TerminalTime(t);
            if (t->RetryCount != retry || t->Pending != pending)
                return ticks;
        }
        return -1;
    }

    Bytes first;
};

TEST_F(TerminalTimeTest, NothingAt750MsRetryAt751)
{
    AdvanceMs(750);
    EXPECT_EQ(0, TerminalTime(t));
    EXPECT_TRUE(TakeTrace().empty());
    EXPECT_NOTHING_SENT();
    AdvanceMs(1);
    EXPECT_EQ(7, TerminalTime(t)) << "the send's result";
    EXPECT_EQ(first, peer.Take());
    EXPECT_EQ((Lines{"'Test': TerminalTime & Pending (0)", "'Test': RetryData (0x08,0x00) 0x0030 of len 7",
                     "'Test': Sending (0x08,0x00) 0x0030:  data of len 7"}),
              TakeTrace());
    EXPECT_EQ(1, t->RetryCount);
}

TEST_F(TerminalTimeTest, ThreeRetriesThenAbortedAndTheNextFrameGoesOut)
{
    TermPacket second{};
    second.Cmd = 0x0031;
    ASSERT_EQ(1, TerminalSend(t, &second));
    TakeTrace();
    for (int r = 0; r < RETRY_LIMIT; ++r) {
        EXPECT_EQ(8, TickUntilExpiry()) << "first tick more than 750 ms after the last transmission";
        EXPECT_EQ(first, peer.Take()) << r;
        std::string count = std::to_string(r);
        EXPECT_EQ((Lines{"'Test': TerminalTime & Pending (" + count + ")",
                         "'Test': RetryData (0x08,0x00) 0x0030 of len 7",
                         "'Test': Sending (0x08,0x00) 0x0030:  data of len 7"}),
                  TakeTrace());
    }
    EXPECT_EQ(8, TickUntilExpiry());
    EXPECT_EQ((Lines{"'Test': TerminalTime & Pending (3)", "'Test': TerminalTime - aborted",
                     "'Test': Sending (0x08,0x01) 0x0031:  data of len 6", "'Test': TerminalSendNext: 0 -> 1"}),
              TakeTrace());
    EXPECT_EQ(Frame({0x08, 0x01, 0x00, 0x02, 0x00, 0x31}), peer.Take());
    EXPECT_EQ(1, t->Pending);
    EXPECT_EQ(0, t->RetryCount);
    EXPECT_EQ(1, t->SendSeq);
    EXPECT_EQ(1, t->SlotCount);
}

TEST_F(TerminalTimeTest, AbortWithNothingHeldLeavesTheLinkIdle)
{
    for (int r = 0; r < RETRY_LIMIT; ++r)
        EXPECT_EQ(8, TickUntilExpiry());
    AdvanceMs(800);
    EXPECT_EQ(0, TerminalTime(t));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(0, t->SlotCount);
    EXPECT_EQ(1, t->SendSeq) << "the abandoned frame's number is not used again";
    for (int r = 0; r < RETRY_LIMIT; ++r)
        EXPECT_EQ(first, peer.Take());
    EXPECT_NOTHING_SENT();
    // A NAK for the abandoned frame now finds nothing in flight.
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_NOTHING_SENT();
}

// The terminal never saw the abandoned frame: it rejects the next one, which then goes out with
// FLAG_SYNC, and both ends are in step again.
TEST_F(TerminalTimeTest, ResyncAfterAnAbandonedFrame)
{
    for (int r = 0; r <= RETRY_LIMIT; ++r)
        TickUntilExpiry();
    TermPacket next{};
    next.Cmd = 0x0032;
    ASSERT_EQ(1, TerminalSend(t, &next));
    for (int r = 0; r < RETRY_LIMIT; ++r)
        peer.Take();
    EXPECT_EQ(Frame({0x08, 0x01, 0x00, 0x02, 0x00, 0x32}), peer.Take());
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x01})));
    EXPECT_EQ(Frame({0x09, 0x01, 0x00, 0x02, 0x00, 0x32}), peer.Take());
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x01})));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(2, t->SendSeq);
}

TEST_F(TerminalTimeTest, NakKeepsTheRetryCount)
{
    EXPECT_EQ(8, TickUntilExpiry());
    EXPECT_EQ(8, TickUntilExpiry());
    EXPECT_EQ(2, t->RetryCount);
    AdvanceMs(300);
    EXPECT_EQ(0, Deliver(Frame({0x02, 0x00})));
    EXPECT_EQ(2, t->RetryCount);
    TakeTrace();
    EXPECT_EQ(8, TickUntilExpiry()) << "the NAK's transmission restarted the timer";
    EXPECT_TRUE(TraceHas(TakeTrace(), "'Test': TerminalTime & Pending (2)"));
    EXPECT_EQ(3, t->RetryCount);
}

TEST_F(TerminalTimeTest, RetryAfterASyncNakShowsTheSyncByteButSendsWithout)
{
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(0x09, peer.Take().at(0));
    TakeTrace();
    AdvanceMs(751);
    EXPECT_EQ(7, TerminalTime(t));
    EXPECT_EQ((Lines{"'Test': TerminalTime & Pending (0)", "'Test': RetryData (0x09,0x00) 0x0030 of len 7",
                     "'Test': Sending (0x08,0x00) 0x0030:  data of len 7"}),
              TakeTrace());
    EXPECT_EQ(first, peer.Take());
}

TEST_F(TerminalTimeTest, ClockSetBackCountsAsOverdue)
{
    AdvanceMs(-1);
    EXPECT_EQ(7, TerminalTime(t));
    EXPECT_EQ(first, peer.Take());
    AdvanceMs(-3600 * 1000);
    EXPECT_EQ(7, TerminalTime(t));
    EXPECT_EQ(first, peer.Take());
    EXPECT_EQ(2, t->RetryCount);
    AdvanceMs(750);
    EXPECT_EQ(0, TerminalTime(t)) << "timed again from the retransmission";
}

TEST_F(TerminalTimeTest, CrossingASecondBoundary)
{
    FakeNow = {2000000, 999000};
    EXPECT_EQ(0, Deliver(Frame({0x02, 0x00})));
    peer.Take();
    AdvanceMs(750);
    EXPECT_EQ(0, TerminalTime(t));
    AdvanceMs(1);
    EXPECT_EQ(7, TerminalTime(t));
    EXPECT_EQ(first, peer.Take());
}

TEST_F(TerminalTimeTest, AnAckStopsTheTimer)
{
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    AdvanceMs(5000);
    EXPECT_EQ(0, TerminalTime(t));
    EXPECT_NOTHING_SENT();
}

// The bridge learns from the counters which frame was given up and whose it was, and reads the
// link's health from the same record.
TEST_F(TerminalTimeTest, GivenUpFrameNamedWithItsTagAndHealthFollowsTheTerminal)
{
    TermPacket second{};
    second.Cmd = 0x0031;
    ASSERT_EQ(1, TerminalSendTagged(t, &second, 7));
    EXPECT_EQ(LINK_UNKNOWN, t->Health);
    EXPECT_EQ(2u, t->FramesSent + t->SlotCount - 1) << "one started, one queued";
    for (int frame = 0; frame < 2; ++frame) {
        for (int r = 0; r <= RETRY_LIMIT; ++r) {
            ASSERT_EQ(8, TickUntilExpiry());
            // Once a frame was given up, retrying the next one does not make the link look better.
            EXPECT_EQ(r < RETRY_LIMIT && frame == 0 ? LINK_RETRYING : LINK_NOT_ANSWERING, t->Health)
                << frame << " " << r;
        }
        EXPECT_EQ(static_cast<uint32_t>(frame + 1), t->GivenUp);
        EXPECT_EQ(frame == 0 ? 0x0030u : 0x0031u, t->GivenUpCmd);
        EXPECT_EQ(frame == 0 ? 0u : 7u, t->GivenUpTag);
    }
    EXPECT_EQ(2u, t->FramesSent);
    EXPECT_EQ(6u, t->Retransmitted);
    EXPECT_EQ(0, t->Heard);
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x02})));
    EXPECT_EQ(LINK_ANSWERING, t->Health) << "any word from the terminal";
    EXPECT_EQ(1, t->Heard);
    EXPECT_GT(Deliver(DataFrame(0x00, 0x00, 0x0040, {1})), 0);
    EXPECT_EQ(1u, t->FramesReceived);
}

}  // namespace
