// Receiving: data frames from the terminal, its acknowledgements, and datagrams that do not fit.
#include <cstring>

#include "link_fixture.h"

namespace {

using TerminalRecvTest = LinkTest;

using Lines = std::vector<std::string>;

TEST_F(TerminalRecvTest, FirstFrameNumberZeroIsAcceptedAndAcknowledged)
{
    pkt.Cmd = 0xFFFF0000u;
    EXPECT_EQ(6, Deliver(DataFrame(0x00, 0, 0x0000, {})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
    EXPECT_EQ(0u, pkt.Cmd);
    EXPECT_EQ(0u, pkt.Len);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x00,0x00 of len 6", "'Test': Sending link 0x0c,0x00",
                     "'Test': TerminalRecv: 0x0000 -> 0"}),
              TakeTrace());
}

TEST_F(TerminalRecvTest, RepeatedFrameIsAcknowledgedAgainNotDeliveredTwice)
{
    EXPECT_EQ(8, Deliver(DataFrame(0x00, 0, 0x1234, {0xAB, 0xCD})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    TakeTrace();
    pkt = TermPacket{};
    pkt.Cmd = 0xDEAD;
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 0, 0x1234, {0xAB, 0xCD})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    EXPECT_EQ(0xDEADu, pkt.Cmd);
    EXPECT_EQ(0u, pkt.Len);
    EXPECT_EQ(1, t->RecvSeq);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x00,0x00 of len 8", "'Test': TerminalRecv: ACK the previous",
                     "'Test': Sending link 0x0c,0x00"}),
              TakeTrace());
}

TEST_F(TerminalRecvTest, Number255WrapsToZero)
{
    t->RecvSeq = 255;
    EXPECT_EQ(6, Deliver(DataFrame(0x00, 255, 0x0001, {})));
    EXPECT_EQ(Frame({0x0C, 0xFF}), peer.Take());
    EXPECT_EQ(0, t->RecvSeq);
    TakeTrace();
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 255, 0x0001, {})));
    EXPECT_EQ(Frame({0x0C, 0xFF}), peer.Take());
    EXPECT_TRUE(TraceHas(TakeTrace(), "'Test': TerminalRecv: ACK the previous"));
    EXPECT_EQ(6, Deliver(DataFrame(0x00, 0, 0x0002, {})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
}

TEST_F(TerminalRecvTest, FarNumberGetsResyncNakThenSyncFrameIsAccepted)
{
    t->RecvSeq = 1;
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 5, 0x0001, {})));
    EXPECT_EQ(Frame({0x0B, 0x05}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x00,0x05 of len 6", "'Test': TerminalRecv: Seq too far away",
                     "'Test': Sending link 0x0b,0x05"}),
              TakeTrace());
    EXPECT_EQ(7, Deliver(DataFrame(0x01, 5, 0x0001, {0x42})));
    EXPECT_EQ(Frame({0x0C, 0x05}), peer.Take());
    EXPECT_EQ(6, t->RecvSeq);
    EXPECT_EQ(1u, pkt.Len);
    EXPECT_EQ(0x42, pkt.Data[0]);
}

TEST_F(TerminalRecvTest, NumberTwoBelowIsFarNotPrevious)
{
    t->RecvSeq = 0;
    EXPECT_EQ(0, Deliver(DataFrame(0x00, 254, 0x0001, {})));
    EXPECT_EQ(Frame({0x0B, 0xFE}), peer.Take());
}

TEST_F(TerminalRecvTest, StatusWordAndData)
{
    pkt.Status = 0;
    EXPECT_EQ(8, Deliver(DataFrame(0x00, 0, 0x8000, {}, 0x0001)));
    EXPECT_EQ(0x8000u, pkt.Cmd);
    EXPECT_EQ(0x0001, pkt.Status);
    EXPECT_EQ(0u, pkt.Len);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x00,0x00 of len 8", "'Test': Sending link 0x0c,0x00",
                     "'Test': TerminalRecv: 0x8000 (0x0001) -> 0"}),
              TakeTrace());
    EXPECT_EQ(11, Deliver(DataFrame(0x00, 1, 0x8123, {1, 2, 3}, 0xBEEF)));
    EXPECT_EQ(0x8123u, pkt.Cmd);
    EXPECT_EQ(0xBEEF, pkt.Status);
    ASSERT_EQ(3u, pkt.Len);
    EXPECT_EQ(3, pkt.Data[2]);
}

TEST_F(TerminalRecvTest, WithoutStatusBitStatusAndDataBeyondLenStayAsTheyWere)
{
    pkt.Status = 0xBEEF;
    memset(pkt.Data, 0x5A, sizeof pkt.Data);
    EXPECT_EQ(8, Deliver(DataFrame(0x00, 0, 0x0042, {7, 8})));
    EXPECT_EQ(0xBEEF, pkt.Status);
    EXPECT_EQ(2u, pkt.Len);
    EXPECT_EQ(7, pkt.Data[0]);
    EXPECT_EQ(8, pkt.Data[1]);
    EXPECT_EQ(0x5A, pkt.Data[2]);
}

TEST_F(TerminalRecvTest, LengthFieldBelowCommandWordIsAcknowledgedThenMinusTwo)
{
    memset(pkt.Data, 0x5A, sizeof pkt.Data);
    EXPECT_EQ(-2, Deliver(Frame({0x00, 0x00, 0x00, 0x01, 0x00, 0x01})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
    EXPECT_EQ(1, t->RecvSeq);
    EXPECT_EQ(1u, pkt.Cmd);
    EXPECT_EQ(0u, pkt.Len) << "not left at a wrapped-around length";
    EXPECT_EQ(0x5A, pkt.Data[0]);
    EXPECT_EQ(-2, Deliver(Frame({0x00, 0x01, 0x00, 0x03, 0x80, 0x01, 0x00, 0x07})));
    EXPECT_EQ(Frame({0x0C, 0x01}), peer.Take());
    EXPECT_EQ(0x0007, pkt.Status);
    EXPECT_EQ(2, t->RecvSeq);
}

TEST_F(TerminalRecvTest, LargestFrameIsReceivedWhole)
{
    Bytes f = {0x00, 0x00, 0x02, 0x5C, 0x80, 0x01, 0x00, 0x02};
    for (int i = 0; i < 600; ++i)
        f.push_back(static_cast<uint8_t>(i * 7));
    ASSERT_EQ(608u, f.size());
    EXPECT_EQ(608, Deliver(f));
    EXPECT_EQ(600u, pkt.Len);
    EXPECT_EQ(0, memcmp(pkt.Data, f.data() + 8, 600));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
}

TEST_F(TerminalRecvTest, OversizedDatagramIsDroppedWithATrace)
{
    Bytes f = DataFrame(0x00, 0, 0x0001, {});
    f.resize(700);
    EXPECT_EQ(-1, Deliver(f));
    std::vector<std::string> trace = TakeTrace();
    ASSERT_EQ(1u, trace.size());
    EXPECT_NE(std::string::npos, trace[0].find("'Test': TerminalRecv: receive failed with ")) << trace[0];
    EXPECT_EQ(0, t->RecvSeq);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalRecvTest, BytesAfterTheLengthAreIgnored)
{
    Bytes f = DataFrame(0x00, 0, 0x0001, {9, 9});
    f.push_back(0xEE);
    f.push_back(0xEE);
    EXPECT_EQ(10, Deliver(f));
    EXPECT_EQ(2u, pkt.Len);
}

TEST_F(TerminalRecvTest, UpperFlagBitsAreIgnored)
{
    EXPECT_EQ(6, Deliver(DataFrame(0xF0, 0, 0x0001, {})));
    EXPECT_EQ(Frame({0x0C, 0x00}), peer.Take());
}

TEST_F(TerminalRecvTest, FramesOfTheServiceDirectionAreIgnored)
{
    EXPECT_EQ(0, Deliver(DataFrame(0x08, 0, 0x0001, {})));
    EXPECT_EQ(0, Deliver(Frame({0x0C, 0x00})));
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x08,0x00 of len 6", "'Test': TerminalRecv: 0x0c,0x00 of len 2"}),
              TakeTrace());
    EXPECT_EQ(0, t->RecvSeq);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalRecvTest, EmptyDatagramIsNothing)
{
    EXPECT_EQ(0, Deliver(Bytes()));
    EXPECT_TRUE(TakeTrace().empty());
    EXPECT_NOTHING_SENT();
}

// Datagrams that cannot be read whole: dropped with a trace line, neither acknowledged nor
// counted, so that the terminal's retransmission can still bring the frame intact.

TEST_F(TerminalRecvTest, OneByteDatagramIsDropped)
{
    EXPECT_EQ(0, Deliver(Frame({0x00})));
    EXPECT_EQ(Lines{"'Test': TerminalRecv: 0x00 of len 1, too short, dropped"}, TakeTrace());
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalRecvTest, DataFrameShorterThanItsHeaderIsDropped)
{
    EXPECT_EQ(0, Deliver(Frame({0x00, 0x00, 0x00, 0x02, 0x00})));
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x00,0x00 of len 5",
                     "'Test': TerminalRecv: data frame of len 5 shorter than its header, dropped"}),
              TakeTrace());
    EXPECT_EQ(0, Deliver(Frame({0x00, 0x00, 0x00})));
    EXPECT_EQ(0, Deliver(Frame({0x01, 0x07, 0x00, 0x04, 0x80, 0x00, 0x00})));
    EXPECT_TRUE(TraceHas(TakeTrace(), "data frame of len 7 shorter than its header, dropped"));
    EXPECT_EQ(0, t->RecvSeq) << "not even FLAG_SYNC of a dropped frame counts";
    EXPECT_NOTHING_SENT();
    EXPECT_EQ(6, Deliver(DataFrame(0x00, 0, 0x0001, {})));
}

TEST_F(TerminalRecvTest, LengthBeyondTheDatagramIsDropped)
{
    memset(pkt.Data, 0x5A, sizeof pkt.Data);
    EXPECT_EQ(0, Deliver(Frame({0x00, 0x00, 0x00, 0x0A, 0x00, 0x01, 1, 2})));
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x00,0x00 of len 8",
                     "'Test': TerminalRecv: length 10 does not fit the frame of len 8, dropped"}),
              TakeTrace());
    EXPECT_EQ(0, Deliver(Frame({0x01, 0x09, 0xFF, 0xFF, 0x80, 0x01, 0, 0})));
    EXPECT_EQ(0, t->RecvSeq);
    EXPECT_EQ(0x5A, pkt.Data[0]);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalRecvTest, MoreThan600DataBytesAreDroppedEvenWhenTheDatagramHoldsThem)
{
    // 608 bytes without a status word: the length field 604 promises 602 data bytes.
    Bytes f = {0x00, 0x00, 0x02, 0x5C, 0x00, 0x01};
    f.resize(608, 0x33);
    EXPECT_EQ(0, Deliver(f));
    EXPECT_TRUE(TraceHas(TakeTrace(), "data frame of len 608 carries 602 data bytes, more than 600, dropped"));
    EXPECT_EQ(0, t->RecvSeq);
    EXPECT_NOTHING_SENT();
}

// The terminal's ACK and NAK of the service's frames.

class TerminalAckTest : public LinkTest {
protected:
    // One frame in flight with number SendSeq, taken off the wire by the peer.
    void StartFrame(uint16_t cmd = 0x0021)
    {
        TermPacket out{};
        out.Cmd = cmd;
        out.Len = 1;
        out.Data[0] = 0x77;
        ASSERT_EQ(1, TerminalSend(t, &out));
        sent = peer.Take();
        ASSERT_EQ(7u, sent.size());
        TakeTrace();
    }
    Bytes sent;
};

TEST_F(TerminalAckTest, AckForTheFrameInFlightReleasesIt)
{
    StartFrame();
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(1, t->SendSeq);
    EXPECT_EQ(0, t->SlotCount);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x04,0x00 of len 2", "'Test': TerminalRecv: flag ACK"}), TakeTrace());
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalAckTest, AckWithAnotherNumberOrWithNothingPendingChangesNothing)
{
    StartFrame();
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x01})));
    EXPECT_EQ(1, t->Pending);
    EXPECT_EQ(0, t->SendSeq);
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x01})));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(1, t->SendSeq);
    EXPECT_EQ(0, t->SlotCount);
    EXPECT_NOTHING_SENT();
}

TEST_F(TerminalAckTest, NakWithSyncSendsAgainWithSync)
{
    StartFrame();
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    Bytes again = peer.Take();
    ASSERT_EQ(7u, again.size());
    EXPECT_EQ(0x09, again[0]);
    EXPECT_EQ(0x00, again[1]);
    EXPECT_TRUE(std::equal(sent.begin() + 2, sent.end(), again.begin() + 2));
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x03,0x00 of len 2", "'Test': TerminalRecv: flag NAK",
                     "'Test': Sending (0x09,0x00) 0x0021:  data of len 7"}),
              TakeTrace());
    EXPECT_EQ(0, Deliver(Frame({0x02, 0x00})));
    EXPECT_EQ(Frame({0x08, 0x00, 0x00, 0x03, 0x00, 0x21, 0x77}), peer.Take());
    EXPECT_EQ(1, t->Pending);
    EXPECT_EQ(0, t->RetryCount);
}

TEST_F(TerminalAckTest, NakBeforeAnyFrameSendsNothing)
{
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_NOTHING_SENT();
}

// A NAK after the ACK that ended the frame would send the frame ended last again under the next
// number: the terminal would run the command twice.
TEST_F(TerminalAckTest, NakAfterTheAckSendsNothing)
{
    StartFrame();
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    TakeTrace();
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x01})));
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x03,0x01 of len 2", "'Test': TerminalRecv: flag NAK",
                     "'Test': TerminalRecv: NAK with no frame in flight, ignored"}),
              TakeTrace());
    EXPECT_EQ(0, Deliver(Frame({0x02, 0x00})));
    EXPECT_NOTHING_SENT();
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(1, t->SendSeq);
}

TEST_F(TerminalAckTest, AckAndNakInOneByteReleaseAndSendNothing)
{
    StartFrame();
    EXPECT_EQ(0, Deliver(Frame({0x06, 0x00})));
    EXPECT_EQ(0, t->Pending);
    EXPECT_EQ(1, t->SendSeq);
    EXPECT_EQ((Lines{"'Test': TerminalRecv: 0x06,0x00 of len 2", "'Test': TerminalRecv: flag ACK",
                     "'Test': TerminalRecv: flag NAK",
                     "'Test': TerminalRecv: NAK with no frame in flight, ignored"}),
              TakeTrace());
    EXPECT_NOTHING_SENT();
}

// A late NAK for a number that is no longer in flight says nothing about the present frame.
TEST_F(TerminalAckTest, NakForAnotherNumberWhileAFrameIsPendingSendsNothing)
{
    StartFrame();
    EXPECT_EQ(0, Deliver(Frame({0x04, 0x00})));
    StartFrame();
    EXPECT_EQ(1, t->SendSeq);
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x00})));
    EXPECT_TRUE(TraceHas(TakeTrace(), "'Test': TerminalRecv: NAK 0x00 while frame 0x01 is in flight, ignored"));
    EXPECT_NOTHING_SENT();
    EXPECT_EQ(0, Deliver(Frame({0x03, 0x01})));
    Bytes again = peer.Take();
    ASSERT_EQ(7u, again.size());
    EXPECT_EQ(0x09, again[0]);
    EXPECT_EQ(0x01, again[1]);
}

TEST_F(TerminalAckTest, NakRestartsTheTimer)
{
    StartFrame();
    AdvanceMs(700);
    EXPECT_EQ(0, Deliver(Frame({0x02, 0x00})));
    EXPECT_EQ(7u, peer.Take().size());
    AdvanceMs(700);
    EXPECT_EQ(0, TerminalTime(t)) << "700 ms after the NAK's transmission";
    EXPECT_NOTHING_SENT();
}

}  // namespace
