// Resynchronisation in both directions when the network doubles, delays or drops datagrams:
// copies of a sync frame from the terminal, and copies of the terminal's resync NAK. Whatever
// arrives twice, a frame is delivered once and sent with FLAG_SYNC once per request.
#include "link_fixture.h"

namespace {

using Lines = std::vector<std::string>;

using ResyncRecvTest = LinkTest;

// The terminal answered two resync NAKs for copies of frame 5 (its timer sent frame 5 twice):
// the second sync copy is a repeat.
TEST_F(ResyncRecvTest, SecondSyncCopyOfTheFrameAcceptedLastIsARepeat)
{
    t->RecvSeq = 1;
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 5, 0x0001, {})));
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 5, 0x0001, {})));
    EXPECT_EQ(Frame({0x0B, 0x05}), peer.Take());
    EXPECT_EQ(Frame({0x0B, 0x05}), peer.Take());
    EXPECT_EQ(6, Deliver(DataFrame(0x01, 5, 0x0001, {})));
    EXPECT_EQ(Frame({0x0C, 0x05}), peer.Take());
    TakeTrace();
    pkt.Cmd = 0xDEAD;
    EXPECT_EQ(0, Deliver(DataFrame(0x01, 5, 0x0001, {})));
    EXPECT_EQ(Frame({0x0C, 0x05}), peer.Take());
    EXPECT_EQ(0xDEADu, pkt.Cmd);
    EXPECT_EQ(6, t->RecvSeq);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x01,0x05 of len 6", "'Test': TerminalRecv: ACK the previous",
                     "'Test': Sending link 0x0c,0x05"}),
              TakeTrace());
}

// A copy of the sync frame held back until after the next frame: it must neither be delivered
// again nor pull RecvSeq back, which would have the frame after it rejected.
TEST_F(ResyncRecvTest, LateSyncCopyAfterTheNextFrameIsNotDeliveredAgain)
{
    t->RecvSeq = 1;
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 5, 0x0007, {})));
    EXPECT_EQ(Frame({0x0B, 0x05}), peer.Take());
    EXPECT_EQ(6, Deliver(DataFrame(0x01, 5, 0x0007, {})));
    EXPECT_EQ(Frame({0x0C, 0x05}), peer.Take());
    EXPECT_EQ(7, Deliver(DataFrame(0x00, 6, 0x0008, {0x66})));
    EXPECT_EQ(Frame({0x0C, 0x06}), peer.Take());
    TakeTrace();
    pkt = TermPacket{};
    pkt.Cmd = 0xDEAD;
    EXPECT_EQ(0, Deliver(DataFrame(0x01, 5, 0x0007, {})));
    EXPECT_EQ(0xDEADu, pkt.Cmd);
    EXPECT_EQ(7, t->RecvSeq);
    // Judged by its number like any frame: neither the expected one nor the previous one.
    EXPECT_EQ(Frame({0x0B, 0x05}), peer.Take());
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x01,0x05 of len 6", "'Test': TerminalRecv: Seq too far away",
                     "'Test': Sending link 0x0b,0x05"}),
              TakeTrace());
    EXPECT_EQ(6, Deliver(DataFrame(0x00, 7, 0x0009, {})));
    EXPECT_EQ(Frame({0x0C, 0x07}), peer.Take());
    EXPECT_EQ(0x0009u, pkt.Cmd);
    EXPECT_EQ(8, t->RecvSeq);
}

// A sync frame nobody asked for is an ordinary frame: taken when its number is the expected
// one, otherwise asked for again, and honoured once the NAK has named it.
TEST_F(ResyncRecvTest, UnaskedSyncFrameIsJudgedByItsNumber)
{
    EXPECT_EQ(6, Deliver(DataFrame(0x01, 0, 0x0001, {})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
    EXPECT_EQ(0, Deliver(DataFrame(0x01, 9, 0x0002, {})));
    EXPECT_EQ(Frame({0x0B, 0x09}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
    EXPECT_EQ(6, Deliver(DataFrame(0x01, 9, 0x0002, {})));
    EXPECT_EQ(Frame({0x0C, 0x09}), peer.Take());
    EXPECT_EQ(0x0002u, pkt.Cmd);
    EXPECT_EQ(10, t->RecvSeq);
}

// Only the number named by the last resync NAK is honoured; an accepted frame ends the request.
TEST_F(ResyncRecvTest, OnlyTheNumberOfTheLastNakAndOnlyUntilAFrameIsAccepted)
{
    t->RecvSeq = 3;
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 250, 0x0001, {})));
    EXPECT_EQ(Frame({0x0B, 0xFA}), peer.Take());
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 255, 0x0002, {})));
    EXPECT_EQ(Frame({0x0B, 0xFF}), peer.Take());
    EXPECT_EQ(0, Deliver(DataFrame(0x01, 250, 0x0001, {})));
    EXPECT_EQ(Frame({0x0B, 0xFA}), peer.Take());
    EXPECT_EQ(3, t->RecvSeq);
    // Now 250 was named last: the sync frame 255 is asked for again, then honoured.
    EXPECT_EQ(0, Deliver(DataFrame(0x01, 255, 0x0002, {})));
    EXPECT_EQ(Frame({0x0B, 0xFF}), peer.Take());
    EXPECT_EQ(6, Deliver(DataFrame(0x01, 255, 0x0002, {})));
    EXPECT_EQ(Frame({0x0C, 0xFF}), peer.Take());
    EXPECT_EQ(0, t->RecvSeq);
    // After 255 the expected number wraps to 0; the frame accepted next ends any request.
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 40, 0x0003, {})));
    EXPECT_EQ(Frame({0x0B, 0x28}), peer.Take());
    EXPECT_EQ(6, Deliver(DataFrame(0x00, 0, 0x0004, {})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    EXPECT_EQ(0, Deliver(DataFrame(0x01, 40, 0x0003, {})));
    EXPECT_EQ(Frame({0x0B, 0x28}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
}

// A sync frame under the number accepted last that nobody asked for: a copy of that frame (the
// same bytes from the number on) is a repeat; other bytes come from a terminal that started
// counting again and are a new frame. Without FLAG_SYNC such a frame is always the repeat.
TEST_F(ResyncRecvTest, UnaskedSyncFrameUnderTheNumberAcceptedLastIsNewUnlessACopy)
{
    struct Case {
        const char* Name;
        bool AcceptFirst;  // frame 5, command 0x0007, data 0x11, accepted before
        Bytes Frame;
        bool Delivered;
    };
    const Case cases[] = {
        {"sync copy of the frame accepted last", true, DataFrame(0x01, 5, 0x0007, {0x11}), false},
        {"plain copy", true, DataFrame(0x00, 5, 0x0007, {0x11}), false},
        {"plain frame, other data", true, DataFrame(0x00, 5, 0x0007, {0x12}), false},
        {"sync frame, other data", true, DataFrame(0x01, 5, 0x0007, {0x12}), true},
        {"sync frame, other command", true, DataFrame(0x01, 5, 0x0008, {0x11}), true},
        {"sync frame, longer", true, DataFrame(0x01, 5, 0x0007, {0x11, 0x11}), true},
        {"sync frame with a status", true, DataFrame(0x01, 5, 0x8007, {0x11}, 0), true},
        {"sync frame 255 before any frame", false, DataFrame(0x01, 255, 0x0007, {0x11}), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TerminalClose(t);
        t = nullptr;
        ASSERT_EQ(1, TerminalInitPorts("Test", "127.0.0.1", 0, peer.Port(), &t));
        peer.ConnectTo(LinkSocketPort(t->Socket));
        uint8_t seq = c.Frame[1];
        if (c.AcceptFirst) {
            t->RecvSeq = 5;
            ASSERT_EQ(7, Deliver(DataFrame(0x00, 5, 0x0007, {0x11})));
            ASSERT_EQ(Frame({0x0C, 0x05}), peer.Take());
        }
        TakeTrace();
        pkt = TermPacket{};
        pkt.Cmd = 0xDEAD;
        int got = Deliver(c.Frame);
        EXPECT_EQ(Frame({0x0C, seq}), peer.Take());
        EXPECT_EQ(static_cast<uint8_t>(seq + 1), t->RecvSeq);
        Lines trace = TakeTrace();
        if (c.Delivered) {
            EXPECT_EQ(static_cast<int>(c.Frame.size()), got);
            EXPECT_EQ(c.Frame[4] << 8 | c.Frame[5], static_cast<int>(pkt.Cmd));
            EXPECT_EQ(c.Frame.back(), pkt.Data[pkt.Len - 1]);
            EXPECT_TRUE(TraceHas(trace, "is not a copy of the frame accepted last, taken as new"));
        } else {
            EXPECT_EQ(0, got);
            EXPECT_EQ(0xDEADu, pkt.Cmd);
            EXPECT_TRUE(TraceHas(trace, "ACK the previous"));
        }
        // Whatever was taken, a copy of it is a repeat.
        EXPECT_EQ(0, Deliver(c.Frame));
        EXPECT_EQ(Frame({0x0C, seq}), peer.Take());
        EXPECT_EQ(static_cast<uint8_t>(seq + 1), t->RecvSeq);
    }
}

// The terminal's resync NAK of the service's frames.

class ResyncSendTest : public LinkTest {
protected:
    // One frame in flight with number SendSeq, taken off the wire by the peer.
    void StartFrame(uint16_t cmd)
    {
        TermPacket out{};
        out.Cmd = cmd;
        out.Len = 1;
        out.Data[0] = 0x77;
        ASSERT_EQ(1, TerminalSend(t, &out));
        ASSERT_EQ(Frame({0x08, t->SendSeq, 0x00, 0x03, cmd >> 8, cmd & 0xFF, 0x77}), peer.Take());
        TakeTrace();
    }
};

// A terminal that follows the receiving rules takes every sync frame: two sync copies in answer
// to a doubled NAK would have it run the command twice.
TEST_F(ResyncSendTest, DoubledResyncNakGetsOneSyncCopy)
{
    StartFrame(0x0042);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(Frame({0x09, 0x00, 0x00, 0x03, 0x00, 0x42, 0x77}), peer.Take());
    TakeTrace();
    AdvanceMs(700);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x03,0x00 of len 2", "'Test': TerminalRecv: flag NAK",
                     "'Test': TerminalRecv: NAK 0x00 already answered with a resync, ignored"}),
              TakeTrace());
    EXPECT_NOTHING_SENT();
    EXPECT_EQ(1, t->Pending);
    EXPECT_EQ(0, t->RetryCount);
    // The ignored NAK did not restart the timer: 751 ms after the sync copy it is overdue.
    AdvanceMs(51);
    EXPECT_EQ(7, TerminalTime(t));
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x03, 0x00, 0x42, 0x77}), peer.Take());
}

// The sync copy was lost: the terminal rejects the timer's retransmission, which went without
// FLAG_SYNC, and that NAK is answered with FLAG_SYNC again.
TEST_F(ResyncSendTest, LostSyncCopyIsSentAgainAfterTheTimersRetransmission)
{
    StartFrame(0x0042);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(0x09, peer.Take().at(0));
    AdvanceMs(751);
    EXPECT_EQ(7, TerminalTime(t));
    EXPECT_EQ(0x08, peer.Take().at(0));
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(Frame({0x09, 0x00, 0x00, 0x03, 0x00, 0x42, 0x77}), peer.Take());
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_NOTHING_SENT();
    EXPECT_EQ(1, t->RetryCount);
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(1, t->SendSeq);
}

// A plain NAK after the sync copy is still answered (without FLAG_SYNC, which a terminal that
// took the sync copy acknowledges as a repeat); a resync NAK after that plain copy is answered
// with FLAG_SYNC.
TEST_F(ResyncSendTest, PlainNakAfterTheSyncCopyIsAnswered)
{
    StartFrame(0x0042);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(0x09, peer.Take().at(0));
    EXPECT_EQ(0, Deliver(Frame({0x02, 0x00})));
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x03, 0x00, 0x42, 0x77}), peer.Take());
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(Frame({0x09, 0x00, 0x00, 0x03, 0x00, 0x42, 0x77}), peer.Take());
}

// The next frame is a new request, even when the ring hands it the slot of a frame that went out
// with FLAG_SYNC: the ring has ten slots, so the eleventh frame reuses the first one's.
TEST_F(ResyncSendTest, EachFrameGetsItsOwnSyncCopy)
{
    StartFrame(0x0042);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_EQ(0x09, peer.Take().at(0));
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    for (int n = 1; n < SLOT_COUNT; ++n) {
        StartFrame(0x0043);
        EXPECT_EQ(0, Deliver(Frame({0x04, static_cast<int>(t->SendSeq)})));
    }
    EXPECT_EQ(0, t->SlotHead);
    StartFrame(0x0044);
    EXPECT_EQ(10, t->SendSeq);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x0A})));
    EXPECT_EQ(Frame({0x09, 0x0A, 0x00, 0x03, 0x00, 0x44, 0x77}), peer.Take());
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x0A})));
    EXPECT_NOTHING_SENT();
}

}  // namespace
