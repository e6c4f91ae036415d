// Sending: the frame built from a packet, the ring limit, and the order of frames.
#include <cstring>

#include "link_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class TerminalSendTest : public LinkTest {
protected:
    TermPacket Packet(uint32_t cmd, uint32_t len, int status = -1)
    {
        TermPacket p{};
        p.Cmd = cmd;
        p.Len = len;
        if (status >= 0)
            p.Status = static_cast<uint16_t>(status);
        for (uint32_t i = 0; i < MAX_PACKET_DATA; ++i)
            p.Data[i] = static_cast<uint8_t>(i + 1);
        return p;
    }
};

TEST_F(TerminalSendTest, FirstEchoOnTheWire)
{
    TermPacket echo{};
    echo.Cmd = ECHO;
    echo.Len = 1;
    EXPECT_EQ(1, TerminalSend(t, &echo));
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}), peer.Take());
    EXPECT_EQ((Lines{"'Test': TerminalSend: 0x0000 -> 1", "'Test': Sending (0x08,0x00) 0x0000:  data of len 7",
                     "'Test': TerminalSendNext: 0 -> 1"}),
              TakeTrace());
    EXPECT_EQ(1, t->Pending);
    EXPECT_EQ(0, t->RetryCount);
    EXPECT_EQ(1, t->SlotCount);
    EXPECT_EQ(t->Slots[0].Frame, t->CurFrame);
    EXPECT_EQ(7u, t->CurLen);
    EXPECT_EQ(FakeNow.Seconds, t->SentAt.Seconds);
}

TEST_F(TerminalSendTest, StatusWordWithSequenceTwo)
{
    t->SendSeq = 2;
    TermPacket p = Packet(0x8000, 0, 0x0001);
    EXPECT_EQ(1, TerminalSend(t, &p));
    EXPECT_EQ(Frame({0x08, 0x02, 0x00, 0x04, 0x80, 0x00, 0x00, 0x01}), peer.Take());
    EXPECT_EQ((Lines{"'Test': TerminalSend: 0x8000 (0x0001) -> 0",
                     "'Test': Sending (0x08,0x02) 0x8000:  data of len 8", "'Test': TerminalSendNext: 0 -> 1"}),
              TakeTrace());
}

TEST_F(TerminalSendTest, OnlyTheLow16BitsOfCmdTravel)
{
    TermPacket p = Packet(0x00012345, 2);
    EXPECT_EQ(1, TerminalSend(t, &p));
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x04, 0x23, 0x45, 1, 2}), peer.Take());
}

TEST_F(TerminalSendTest, SixHundredBytesWithStatusFillAFrame)
{
    TermPacket p = Packet(0x8001, 600, 0x1234);
    EXPECT_EQ(1, TerminalSend(t, &p));
    Bytes f = peer.Take();
    ASSERT_EQ(608u, f.size());
    EXPECT_EQ(Frame({0x08, 0x00, 0x02, 0x5C, 0x80, 0x01, 0x12, 0x34}), Bytes(f.begin(), f.begin() + 8));
    EXPECT_EQ(0, memcmp(p.Data, f.data() + 8, 600));
}

TEST_F(TerminalSendTest, SixHundredAndOneBytesAreRefused)
{
    TermPacket p = Packet(0x0001, 601);
    EXPECT_EQ(0, TerminalSend(t, &p));
    EXPECT_EQ((Lines{"'Test': TerminalSend: 0x0001 -> 601", "Error, too long packet (max=600)...."}), TakeTrace());
    EXPECT_EQ(0, t->SlotCount);
    EXPECT_EQ(0, t->Pending);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalSendTest, TenthPacketFindsNoSlot)
{
    for (int i = 0; i < SLOT_LIMIT; ++i) {
        TermPacket p = Packet(0x0100 + i, 0);
        EXPECT_EQ(1, TerminalSend(t, &p)) << i;
    }
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x02, 0x01, 0x00}), peer.Take());
    EXPECT_EQ(9, t->SlotCount);
    TakeTrace();
    TermPacket tenth = Packet(0x0109, 0);
    EXPECT_EQ(0, TerminalSend(t, &tenth));
    EXPECT_EQ((Lines{"'Test': TerminalSend: 0x0109 -> 0", "\tno free slot ?!?! -> forget .... :-{"}), TakeTrace());
    EXPECT_EQ(9, t->SlotCount);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalSendTest, AfterAnAckTheNextFrameWaitsForTheTick)
{
    TermPacket p = Packet(0x0001, 0);
    for (int i = 0; i < 3; ++i) {
        p.Cmd = 0x0001 + i;
        EXPECT_EQ(1, TerminalSend(t, &p));
    }
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x02, 0x00, 0x01}), peer.Take());
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(2, t->SlotCount);
    EXPECT_NOTHING_SENT();
    TakeTrace();
    EXPECT_EQ(1, TerminalTime(t));
    EXPECT_EQ(Frame({0x08, 0x01, 0x00, 0x02, 0x00, 0x02}), peer.Take());
    EXPECT_EQ((Lines{"'Test': Sending (0x08,0x01) 0x0002:  data of len 6", "'Test': TerminalSendNext: 0 -> 1"}),
              TakeTrace());
    // Or the next TerminalSend starts the waiting frame before its own.
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x01})));
    p.Cmd = 0x0004;
    EXPECT_EQ(1, TerminalSend(t, &p));
    EXPECT_EQ(Frame({0x08, 0x02, 0x00, 0x02, 0x00, 0x03}), peer.Take());
    EXPECT_EQ(2, t->SlotCount);
}

TEST_F(TerminalSendTest, SendOnAFrameInFlightHoldsAndReturnsOne)
{
    TermPacket p = Packet(0x0001, 0);
    EXPECT_EQ(1, TerminalSend(t, &p));
    peer.Take();
    TakeTrace();
    EXPECT_EQ(1, TerminalSend(t, &p));
    EXPECT_EQ(Lines{"'Test': TerminalSend: 0x0001 -> 0"}, TakeTrace());
    EXPECT_EQ(2, t->SlotCount);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalSendTest, PacketIsCopiedAtOnce)
{
    TermPacket p = Packet(0x0001, 1);
    EXPECT_EQ(1, TerminalSend(t, &p));
    peer.Take();
    p.Cmd = 0x0002;
    p.Data[0] = 0x99;
    EXPECT_EQ(1, TerminalSend(t, &p));
    p.Data[0] = 0x55;
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    EXPECT_EQ(1, TerminalTime(t));
    EXPECT_EQ(Frame({0x08, 0x01, 0x00, 0x03, 0x00, 0x02, 0x99}), peer.Take());
}

// Frames leave in order, numbered on from 255 through 0, over several turns of the ring.
TEST_F(TerminalSendTest, OrderAndNumbersAcrossTheWrap)
{
    t->SendSeq = 250;
    uint8_t expectSeq = 250;
    int sent = 0;
    int acked = 0;
    TermPacket p = Packet(0, 0);
    while (acked < 30) {
        while (sent < 30 && t->SlotCount < SLOT_LIMIT) {
            p.Cmd = static_cast<uint32_t>(sent++);
            ASSERT_EQ(1, TerminalSend(t, &p));
        }
        if (t->Pending == 0) {
            ASSERT_EQ(1, TerminalTime(t));
        }
        Bytes f = peer.Take();
        ASSERT_EQ(6u, f.size());
        EXPECT_EQ(expectSeq, f[1]);
        EXPECT_EQ(acked, f[5]);
        EXPECT_EQ(0, Deliver(Frame({0x04, expectSeq})));
        ++expectSeq;
        ++acked;
    }
    EXPECT_EQ(static_cast<uint8_t>(250 + 30), t->SendSeq);
    EXPECT_EQ(0, t->SlotCount);
}

TEST_F(TerminalSendTest, IdleTickLeavesNoCurrentFrame)
{
    TermPacket p = Packet(0x0001, 0);
    EXPECT_EQ(1, TerminalSend(t, &p));
    peer.Take();
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    EXPECT_NE(nullptr, t->CurFrame);
    EXPECT_EQ(0, TerminalTime(t));
    EXPECT_EQ(nullptr, t->CurFrame);
    EXPECT_EQ(6u, t->CurLen) << "CurLen keeps its value";
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x01})));
    EXPECT_NOTHING_SENT();
}

}  // namespace
