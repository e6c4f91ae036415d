// The terminal side's link rules, fault decisions, numbered payloads and command line, driven
// directly with bytes and a clock.
#include "faults.h"
#include "options.h"
#include "simlink.h"
#include "soak.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Harness {
    SimLink link;
    SimOutbox box;
    TermPacket pkt;

    explicit Harness(uint8_t startSeq = 0, bool silent = false)
    {
        SimLinkInit(&link, 0, startSeq, silent);
        SimOutboxClear(&box);
        memset(&pkt, 0xEE, sizeof pkt);
    }
    int Recv(const Bytes& d, int64_t now = 0)
    {
        SimOutboxClear(&box);
        return SimLinkRecv(&link, d.data(), d.size(), now, &pkt, &box);
    }
    int Poll(int64_t now)
    {
        SimOutboxClear(&box);
        return SimLinkPoll(&link, now, &box);
    }
    Bytes Sent(int i) const { return Bytes(box.Bytes[i], box.Bytes[i] + box.Len[i]); }
    void Queue(uint32_t cmd, const Bytes& data, uint32_t tag = SIM_NO_TAG)
    {
        TermPacket p{};
        p.Cmd = cmd;
        p.Status = 0x0102;
        p.Len = uint32_t(data.size());
        if (!data.empty())
            memcpy(p.Data, data.data(), data.size());
        ASSERT_EQ(1, SimLinkQueue(&link, &p, tag));
    }
};

// A data frame as the service sends it: flags 0x08 (plus sync), number, length, command, data.
Bytes HostData(uint8_t seq, uint16_t cmd, const Bytes& data, bool sync = false)
{
    Bytes f = {uint8_t(0x08 | (sync ? 1 : 0)), seq, 0, 0, uint8_t(cmd >> 8), uint8_t(cmd)};
    size_t len = 2 + data.size();
    if (cmd & 0x8000) {
        f.push_back(0xAB);
        f.push_back(0xCD);
        len += 2;
    }
    f[2] = uint8_t(len >> 8);
    f[3] = uint8_t(len);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

TEST(SimSeq, WrapsFrom255To0)
{
    EXPECT_EQ(0, SimSeqNext(255));
    EXPECT_EQ(6, SimSeqNext(5));
    EXPECT_TRUE(SimSeqIsPrevious(255, 0));
    EXPECT_TRUE(SimSeqIsPrevious(4, 5));
    EXPECT_FALSE(SimSeqIsPrevious(0, 255));
    EXPECT_FALSE(SimSeqIsPrevious(5, 5));
    EXPECT_EQ(0, SimElapsedMs(1000, 400));  // a clock that went back is not overdue
    EXPECT_EQ(751, SimElapsedMs(249, 1000));
}

TEST(SimLinkRecv, AcceptsExpectedAndAcknowledgesRepeatWithoutDelivering)
{
    Harness h;
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x1234, {0x41, 0x42})));
    ASSERT_EQ(1, h.box.Count);
    EXPECT_EQ((Bytes{0x04, 0x00}), h.Sent(0));
    EXPECT_EQ(0x1234u, h.pkt.Cmd);
    EXPECT_EQ(2u, h.pkt.Len);
    EXPECT_EQ(0x41, h.pkt.Data[0]);
    EXPECT_EQ(0x42, h.pkt.Data[1]);
    EXPECT_EQ(1, h.link.RecvSeq);

    h.pkt.Len = 99;
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(0, 0x1234, {0x41, 0x42})));
    ASSERT_EQ(1, h.box.Count);
    EXPECT_EQ((Bytes{0x04, 0x00}), h.Sent(0));
    EXPECT_EQ(99u, h.pkt.Len);
    EXPECT_EQ(1, h.link.RecvSeq);
    EXPECT_EQ(1u, h.link.C.DeliveredIn);
    EXPECT_EQ(1u, h.link.C.DupSuppressed);
    EXPECT_EQ(1u, h.link.C.RetransSeen);
}

TEST(SimLinkRecv, NumberWrapsAndRepeatOf255IsAcknowledgedAgain)
{
    Harness h;
    // Fresh, 255 counts as the one before the expected 0; from 1 on it is out of step.
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(255, 0x0001, {})));
    EXPECT_EQ((Bytes{0x04, 0xFF}), h.Sent(0));
    ASSERT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x0001, {})));
    EXPECT_EQ(SIM_RX_RESYNC, h.Recv(HostData(255, 0x0001, {})));
    EXPECT_EQ((Bytes{0x03, 0xFF}), h.Sent(0));
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(255, 0x0001, {}, true)));
    EXPECT_EQ((Bytes{0x04, 0xFF}), h.Sent(0));
    EXPECT_EQ(0, h.link.RecvSeq);
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(255, 0x0001, {})));
    EXPECT_EQ((Bytes{0x04, 0xFF}), h.Sent(0));
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x0001, {})));
    EXPECT_EQ(1, h.link.RecvSeq);
}

TEST(SimLinkRecv, UnexpectedNumberGetsResyncNakThenSyncFrameIsAccepted)
{
    Harness h;
    ASSERT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x0001, {})));
    EXPECT_EQ(SIM_RX_RESYNC, h.Recv(HostData(5, 0x0001, {7})));
    ASSERT_EQ(1, h.box.Count);
    EXPECT_EQ((Bytes{0x03, 0x05}), h.Sent(0));
    EXPECT_EQ(1, h.link.RecvSeq);
    EXPECT_EQ(1u, h.link.C.NakSent);

    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(5, 0x0001, {7}, true)));
    EXPECT_EQ((Bytes{0x04, 0x05}), h.Sent(0));
    EXPECT_EQ(6, h.link.RecvSeq);
    EXPECT_EQ(7, h.pkt.Data[0]);
    EXPECT_EQ(2u, h.link.C.DeliveredIn);
}

TEST(SimLinkRecv, SyncFrameIsHonouredOnlyInAnswerToOurNak)
{
    Harness h;
    ASSERT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x0001, {})));
    // Nobody asked: the sync frame is judged by its number and rejected.
    EXPECT_EQ(SIM_RX_RESYNC, h.Recv(HostData(40, 0x0001, {}, true)));
    EXPECT_EQ((Bytes{0x03, 40}), h.Sent(0));
    EXPECT_EQ(1, h.link.RecvSeq);
    EXPECT_EQ(1u, h.link.C.StaleSync);
    // Asked for number 40 just now: accepted.
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(40, 0x0001, {}, true)));
    EXPECT_EQ(41, h.link.RecvSeq);
    // A duplicated copy of that sync frame is a repeat: acknowledged again, not delivered twice.
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(40, 0x0001, {}, true)));
    EXPECT_EQ((Bytes{0x04, 40}), h.Sent(0));
    ASSERT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(41, 0x0001, {})));
    // A late copy arriving after the next frame does not pull the expected number back.
    EXPECT_EQ(SIM_RX_RESYNC, h.Recv(HostData(40, 0x0001, {}, true)));
    EXPECT_EQ(42, h.link.RecvSeq);
    EXPECT_EQ(3u, h.link.C.DeliveredIn);
    EXPECT_EQ(3u, h.link.C.StaleSync);
}

// The service restarted after one frame and comes back with a sync frame under the number we
// accepted last: new bytes are a new frame, the same bytes a copy (as on the service's side).
TEST(SimLinkRecv, SyncFrameUnderTheNumberAcceptedLastIsNewUnlessACopy)
{
    Harness h;
    ASSERT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x0000, {0x00})));
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(0, 0x0000, {0x00}, true)));
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(0, 0x0042, {0x01})));
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x0042, {0x01}, true)));
    EXPECT_EQ((Bytes{0x04, 0x00}), h.Sent(0));
    EXPECT_EQ(0x0042u, h.pkt.Cmd);
    EXPECT_EQ(1, h.link.RecvSeq);
    EXPECT_EQ(SIM_RX_REPEAT, h.Recv(HostData(0, 0x0042, {0x01}, true)));
    EXPECT_EQ(2u, h.link.C.DeliveredIn);
    EXPECT_EQ(1u, h.link.C.RestartSync);
}

TEST(SimLinkRecv, TerminalDirectionAndRuntsAreIgnored)
{
    Harness h;
    EXPECT_EQ(SIM_RX_OWN, h.Recv({0x00, 0x00, 0x00, 0x02, 0x00, 0x01}));
    EXPECT_EQ(SIM_RX_OWN, h.Recv({0x04, 0x00}));
    EXPECT_EQ(0, h.box.Count);
    EXPECT_EQ(SIM_RX_RUNT, h.Recv({0x08}));
    EXPECT_EQ(SIM_RX_RUNT, h.Recv({}));
    EXPECT_EQ(0, h.box.Count);
    EXPECT_EQ(0, h.link.RecvSeq);
    EXPECT_EQ(2u, h.link.C.OwnDirection);
    EXPECT_EQ(2u, h.link.C.Malformed);
}

TEST(SimLinkRecv, StatusAndSizeLimits)
{
    Harness h;
    // Response with status and no data.
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(HostData(0, 0x8000, {})));
    EXPECT_EQ(0x8000u, h.pkt.Cmd);
    EXPECT_EQ(0xABCD, h.pkt.Status);
    EXPECT_EQ(0u, h.pkt.Len);

    // The largest frame: 600 data bytes with a status, 608 bytes in all.
    Bytes big(600);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 3);
    Bytes f = HostData(1, 0x8123, big);
    ASSERT_EQ(608u, f.size());
    EXPECT_EQ(SIM_RX_DELIVERED, h.Recv(f));
    EXPECT_EQ(600u, h.pkt.Len);
    EXPECT_EQ(0, memcmp(big.data(), h.pkt.Data, 600));

    // Length field too small for the command word: acknowledged, the number used, not delivered.
    EXPECT_EQ(SIM_RX_MALFORMED, h.Recv({0x08, 0x02, 0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ((Bytes{0x04, 0x02}), h.Sent(0));
    EXPECT_EQ(3, h.link.RecvSeq);
    // Length field promising more than the datagram holds.
    EXPECT_EQ(SIM_RX_MALFORMED, h.Recv({0x08, 0x03, 0x00, 0x10, 0x00, 0x01, 0x55}));
    // Status announced but missing.
    EXPECT_EQ(SIM_RX_MALFORMED, h.Recv({0x08, 0x04, 0x00, 0x04, 0x80, 0x00}));
    // Data frame shorter than its header.
    EXPECT_EQ(SIM_RX_MALFORMED, h.Recv({0x08, 0x05, 0x00}));
    EXPECT_EQ(6, h.link.RecvSeq);
    EXPECT_EQ(2u, h.link.C.DeliveredIn);
    EXPECT_EQ(4u, h.link.C.Malformed);
}

TEST(SimLinkSend, FirstFrameUsesStartNumberAndAckReleasesIt)
{
    Harness h(200);
    h.Queue(0x0042, {1, 2, 3});
    h.Queue(0x8001, {9});
    EXPECT_EQ(1, h.Poll(1000));
    EXPECT_EQ((Bytes{0x00, 200, 0x00, 0x05, 0x00, 0x42, 1, 2, 3}), h.Sent(0));
    EXPECT_EQ(0, h.Poll(1001));  // one frame in flight at a time

    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0C, 199}));  // another number: ignored
    EXPECT_TRUE(h.link.Pending);
    EXPECT_EQ(1u, h.link.C.StaleAck);
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0C, 200}));
    EXPECT_FALSE(h.link.Pending);
    EXPECT_EQ(201, h.link.SendSeq);
    EXPECT_EQ(0, h.box.Count);

    EXPECT_EQ(1, h.Poll(1002));
    EXPECT_EQ((Bytes{0x00, 201, 0x00, 0x05, 0x80, 0x01, 0x01, 0x02, 9}), h.Sent(0));
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0C, 201}));
    EXPECT_EQ(0, h.Poll(1003));
    EXPECT_FALSE(SimLinkBusy(&h.link));
    EXPECT_EQ(-1, SimLinkNextDueMs(&h.link, 1003));
    EXPECT_EQ(2u, h.link.C.AckRecv);
}

TEST(SimLinkSend, NakRepeatsOnlyTheFrameInFlight)
{
    Harness h(7);
    h.Queue(0x0001, {});
    ASSERT_EQ(1, h.Poll(0));
    // A resync request for our number: sent again at once with the sync flag.
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0B, 7}, 100));
    ASSERT_EQ(1, h.box.Count);
    EXPECT_EQ((Bytes{0x01, 7, 0x00, 0x02, 0x00, 0x01}), h.Sent(0));
    // Without the sync bit: sent again plain.
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0A, 7}, 200));
    EXPECT_EQ((Bytes{0x00, 7, 0x00, 0x02, 0x00, 0x01}), h.Sent(0));
    EXPECT_EQ(2u, h.link.C.NakResends);
    // The NAK restarted the timer.
    EXPECT_EQ(751, SimLinkNextDueMs(&h.link, 200));
    // A NAK for another number (a late copy of an old frame) is not answered.
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0B, 6}, 300));
    EXPECT_EQ(0, h.box.Count);
    // ACK and NAK together end the frame; nothing is repeated with the next number.
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0F, 7}, 400));
    EXPECT_EQ(0, h.box.Count);
    EXPECT_EQ(8, h.link.SendSeq);
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0B, 8}, 500));
    EXPECT_EQ(0, h.box.Count);
    EXPECT_EQ(3u, h.link.C.StaleNak);
}

TEST(SimLinkSend, ThreeTimerRetransmissionsThenAbandonAndNextNumber)
{
    Harness h(254);
    h.Queue(0x0001, {0x11}, 40);
    h.Queue(0x0002, {0x22}, 41);
    ASSERT_EQ(1, h.Poll(0));
    int64_t t = 0;
    for (int retry = 1; retry <= 3; ++retry) {
        EXPECT_EQ(0, h.Poll(t + 750)) << retry;  // 750 ms is not yet overdue
        t += 751;
        ASSERT_EQ(1, h.Poll(t)) << retry;
        EXPECT_EQ((Bytes{0x00, 254, 0x00, 0x03, 0x00, 0x01, 0x11}), h.Sent(0));
        EXPECT_FALSE(h.box.Abandoned);
        EXPECT_EQ(retry, h.link.RetryCount);
    }
    // The fourth expiry gives the frame up and starts the next one with the next number.
    t += 751;
    ASSERT_EQ(1, h.Poll(t));
    EXPECT_TRUE(h.box.Abandoned);
    EXPECT_EQ(40u, h.box.AbandonedTag);
    EXPECT_EQ((Bytes{0x00, 255, 0x00, 0x03, 0x00, 0x02, 0x22}), h.Sent(0));
    EXPECT_EQ(0, h.link.RetryCount);
    EXPECT_EQ(3u, h.link.C.Retransmits);
    EXPECT_EQ(1u, h.link.C.Abandoned);
    // The peer's resync request for the new number is honoured.
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0B, 255}, t + 1));
    EXPECT_EQ((Bytes{0x01, 255, 0x00, 0x03, 0x00, 0x02, 0x22}), h.Sent(0));
    EXPECT_EQ(SIM_RX_LINK, h.Recv({0x0C, 255}, t + 2));
    EXPECT_EQ(0, h.link.SendSeq);
}

TEST(SimLinkSend, QueueLimitAndTooLongPacket)
{
    Harness h;
    TermPacket p{};
    p.Cmd = 1;
    for (int i = 0; i < SIM_QUEUE_SIZE; ++i)
        ASSERT_EQ(1, SimLinkQueue(&h.link, &p, SIM_NO_TAG));
    EXPECT_EQ(0, SimLinkFree(&h.link));
    EXPECT_EQ(0, SimLinkQueue(&h.link, &p, SIM_NO_TAG));
    EXPECT_EQ(1u, h.link.C.QueueFull);

    Harness g;
    p.Len = MAX_PACKET_DATA + 1;
    EXPECT_EQ(0, SimLinkQueue(&g.link, &p, SIM_NO_TAG));
    p.Len = MAX_PACKET_DATA;
    p.Cmd = 0x8000;
    EXPECT_EQ(1, SimLinkQueue(&g.link, &p, SIM_NO_TAG));
    ASSERT_EQ(1, g.Poll(0));
    EXPECT_EQ(SIM_FRAME_MAX, g.box.Len[0]);
}

TEST(SimLinkSilent, CountsRetransmissionsButNeverAnswers)
{
    Harness h(0, true);
    Bytes f = HostData(0, 0x0000, {0});
    EXPECT_EQ(SIM_RX_SILENT, h.Recv(f));
    EXPECT_EQ(SIM_RX_SILENT, h.Recv(f));
    EXPECT_EQ(SIM_RX_SILENT, h.Recv(f));
    EXPECT_EQ(SIM_RX_SILENT, h.Recv({0x0C, 0}));
    EXPECT_EQ(0, h.box.Count);
    EXPECT_EQ(3u, h.link.C.DataIn);
    EXPECT_EQ(2u, h.link.C.RetransSeen);
    EXPECT_EQ(0u, h.link.C.DeliveredIn);
    TermPacket p{};
    EXPECT_EQ(0, SimLinkQueue(&h.link, &p, SIM_NO_TAG));
    EXPECT_EQ(0, h.Poll(5000));
}

TEST(Faults, SameSeedSameDecisionsAndRatesAtTheEdges)
{
    FaultConfig cfg{0.2, 0.05, 0.05, 30};
    SimRng a, b, c;
    SimRngSeed(&a, 42);
    SimRngSeed(&b, 42);
    SimRngSeed(&c, 43);
    int drops = 0, dups = 0, holds = 0, differ = 0, maxDelay = 0;
    for (int i = 0; i < 10000; ++i) {
        FaultPlan x = FaultDecide(&cfg, &a);
        FaultPlan y = FaultDecide(&cfg, &b);
        FaultPlan z = FaultDecide(&cfg, &c);
        ASSERT_EQ(x.Drop, y.Drop);
        ASSERT_EQ(x.Dup, y.Dup);
        ASSERT_EQ(x.Hold, y.Hold);
        ASSERT_EQ(x.DelayMs, y.DelayMs);
        differ += x.Drop != z.Drop;
        drops += x.Drop;
        dups += x.Dup;
        holds += x.Hold;
        if (x.DelayMs > maxDelay)
            maxDelay = x.DelayMs;
        ASSERT_GE(x.DelayMs, 0);
        if (x.Drop) {
            ASSERT_FALSE(x.Dup || x.Hold || x.DelayMs);
        }
    }
    EXPECT_GT(differ, 1000);
    EXPECT_GT(drops, 1800);
    EXPECT_LT(drops, 2200);
    EXPECT_GT(dups, 300);  // about 5% of the 80% not dropped
    EXPECT_LT(dups, 500);
    EXPECT_GT(holds, 300);
    EXPECT_LT(holds, 500);
    EXPECT_EQ(30, maxDelay);

    FaultConfig none{};
    FaultConfig all{1, 1, 1, 0};
    EXPECT_TRUE(FaultConfigIsClean(&none));
    EXPECT_FALSE(FaultConfigIsClean(&all));
    for (int i = 0; i < 1000; ++i) {
        FaultPlan p = FaultDecide(&none, &a);
        ASSERT_FALSE(p.Drop || p.Dup || p.Hold || p.DelayMs);
        ASSERT_TRUE(FaultDecide(&all, &a).Drop);
    }
}

TEST(Soak, PayloadRoundTripAndDamage)
{
    TermPacket p{};
    SoakFill(&p, 1234, 2000, 40);
    EXPECT_EQ(SOAK_CMD, p.Cmd);
    EXPECT_EQ(40u, p.Len);
    uint32_t num = 0, total = 0;
    EXPECT_EQ(SOAK_OK, SoakCheck(&p, &num, &total));
    EXPECT_EQ(1234u, num);
    EXPECT_EQ(2000u, total);

    p.Data[20] ^= 1;
    EXPECT_EQ(SOAK_DAMAGED, SoakCheck(&p, &num, &total));
    SoakFill(&p, 5, 9, 3);  // clamped up to the header
    EXPECT_EQ(SOAK_MIN_LEN, p.Len);
    p.Data[3] ^= 0x80;
    EXPECT_EQ(SOAK_DAMAGED, SoakCheck(&p, &num, &total));
    SoakFill(&p, 5, 9, 12);
    p.Len = 11;
    EXPECT_EQ(SOAK_DAMAGED, SoakCheck(&p, &num, &total));
    p.Cmd = SOAK_CMD | CMD_RESPONSE;
    EXPECT_EQ(SOAK_NOT, SoakCheck(&p, &num, &total));
}

TEST(Soak, TrackCountsGapsRepeatsAndTheMissingTail)
{
    SoakTrack t;
    SoakTrackInit(&t);
    EXPECT_EQ(0, SoakTrackAdd(&t, 0, 10));
    EXPECT_EQ(0, SoakTrackAdd(&t, 1, 10));
    EXPECT_EQ(2, SoakTrackAdd(&t, 4, 10));  // 2 and 3 never came
    EXPECT_EQ(-1, SoakTrackAdd(&t, 4, 10));
    EXPECT_EQ(-1, SoakTrackAdd(&t, 2, 10));  // a late one is as bad as a repeat
    EXPECT_EQ(0, SoakTrackAdd(&t, 5, 10));
    EXPECT_EQ(4u, SoakTrackFinish(&t));    // 6 to 9
    EXPECT_EQ(0u, SoakTrackFinish(&t));
    EXPECT_EQ(4u, t.Accepted);
    EXPECT_EQ(6u, t.Missing);
    EXPECT_EQ(2u, t.Repeats);
}

int Parse(std::vector<std::string> args, SimOptions* o, std::string* err = nullptr)
{
    std::vector<char*> argv = {const_cast<char*>("termsim")};
    for (auto& a : args)
        argv.push_back(&a[0]);
    SimOptionsDefault(o);
    char buf[160];
    int r = SimParseOptions(int(argv.size()), argv.data(), o, buf, sizeof buf);
    if (err)
        *err = buf;
    return r;
}

TEST(SimOptions, DefaultsListsAndNumbers)
{
    SimOptions o;
    ASSERT_EQ(SIM_PARSE_OK, Parse({}, &o));
    EXPECT_STREQ("198.18.0.1", o.Peer);
    EXPECT_STREQ("198.18.0.2", o.Bind);
    EXPECT_EQ(0x1F, o.Reply);
    EXPECT_EQ(0x1F, o.Apps);

    ASSERT_EQ(SIM_PARSE_OK, Parse({"--reply=Master,fleet", "--echo=Maint,3", "--echo=all",
                                   "--send=2000", "--send-apps=MBCA,4", "--start-seq=255",
                                   "--bind=127.0.0.2", "--peer=127.0.0.1", "--seed=99",
                                   "--in-drop=0.2", "--out-dup=0.05", "--out-delay-ms=40", "--port-offset=1000"},
                                  &o));
    EXPECT_EQ(1000, o.PortOffset);
    EXPECT_EQ(0x09, o.Reply);
    EXPECT_EQ((std::vector<uint32_t>{1, 1, 4, 1, 1}), std::vector<uint32_t>(o.Echo, o.Echo + APP_COUNT));
    EXPECT_EQ((std::vector<uint32_t>{0, 2000, 0, 0, 2000}), std::vector<uint32_t>(o.Send, o.Send + APP_COUNT));
    EXPECT_EQ(255, o.StartSeq);
    EXPECT_EQ(99u, o.Seed);
    EXPECT_DOUBLE_EQ(0.2, o.In.Drop);
    EXPECT_DOUBLE_EQ(0.05, o.Out.Dup);
    EXPECT_EQ(40, o.Out.DelayMs);
    EXPECT_EQ(0, o.In.DelayMs);

    ASSERT_EQ(SIM_PARSE_OK, Parse({"--reply=none", "--bind=any"}, &o));
    EXPECT_EQ(0, o.Reply);
    EXPECT_STREQ("0.0.0.0", o.Bind);
    EXPECT_EQ(SIM_PARSE_HELP, Parse({"--silent", "--help"}, &o));
}

TEST(SimOptions, RefusesBadValuesAndForeignAddresses)
{
    SimOptions o;
    std::string err;
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--peer=192.0.2.1"}, &o, &err));
    EXPECT_EQ("bad value: --peer=192.0.2.1", err);
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--peer=198.20.0.1"}, &o));  // just outside 198.18.0.0/15
    EXPECT_EQ(SIM_PARSE_OK, Parse({"--peer=198.19.255.254"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--bind=10.0.0.1"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--peer=127.0.0"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--start-seq=256"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--start-seq=-1"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--port-offset=30001"}, &o));  // past the last port
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--in-drop=1.5"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--reply=Master,Bogus"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--echo=Master,x"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--send-size=11"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--send-size=601"}, &o));
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--silent", "--send=1"}, &o, &err));
    EXPECT_EQ("--silent sends nothing: drop --echo and --send", err);
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--sendx=1"}, &o, &err));
    EXPECT_EQ("unknown option: --sendx=1", err);
    EXPECT_EQ(SIM_PARSE_ERROR, Parse({"--log="}, &o));
}

}  // namespace
