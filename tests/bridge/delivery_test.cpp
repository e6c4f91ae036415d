// The delivery guarantees' plain parts: the held answers' bounds, and the control messages'
// bytes as the service writes them and as the client library reads them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "client_wire.h"
#include "dulvex_client.h"
#include "held.h"

namespace {

HeldQueue q;  // large: one for the whole file

// A client message from app bit mask with command cmd and one data byte.
std::vector<uint8_t> Msg(uint8_t mask, uint16_t cmd, uint8_t data)
{
    return {mask, static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd), data};
}

void Put(uint8_t mask, uint16_t cmd, uint32_t at)
{
    std::vector<uint8_t> m = Msg(mask, cmd, static_cast<uint8_t>(cmd));
    ASSERT_EQ(HeldPut(&q, m.data(), m.size(), at), 1);
}

std::vector<uint16_t> HeldCommands()
{
    std::vector<uint16_t> cmds;
    while (const HeldMsg* m = HeldPeek(&q)) {
        cmds.push_back(static_cast<uint16_t>(m->Bytes[1] << 8 | m->Bytes[2]));
        HeldPop(&q);
    }
    return cmds;
}

TEST(Held, FullQueueDropsTheOldestFirstAndCountsThem)
{
    HeldInit(&q, 3, 300);
    for (uint16_t c = 1; c <= 5; ++c)
        Put(0x01 << (c % 5), c, 0);
    EXPECT_EQ(q.Full.Count, 2u);
    EXPECT_EQ(q.Full.LastApp, 0x04);  // the second message, command 2
    EXPECT_EQ(q.Full.LastCmd, 2u);
    EXPECT_EQ(q.Age.Count, 0u);
    EXPECT_EQ(HeldCommands(), (std::vector<uint16_t>{3, 4, 5}));
}

TEST(Held, AgeBoundDropsOnlyWhatIsOlderAcrossTheCounterWrap)
{
    struct Case {
        uint32_t First, Second, Now;
        uint32_t Dropped;
    } cases[] = {
        {0, 500, 1000, 0},                    // exactly the bound: kept
        {0, 500, 1001, 1},
        {0, 500, 1501, 2},
        {0xFFFFFF00u, 0xFFFFFFF0u, 0x2F0, 1},  // 1008 and 768 ms across the wrap
    };
    for (const Case& c : cases) {
        HeldInit(&q, 8, 1);
        Put(0x10, 0x45, c.First);
        Put(0x01, 0x46, c.Second);
        EXPECT_EQ(HeldExpire(&q, c.Now), c.Dropped) << c.Now;
        EXPECT_EQ(q.Age.Count, c.Dropped);
        EXPECT_EQ(q.Count, 2 - c.Dropped);
        if (c.Dropped > 0) {
            EXPECT_EQ(q.Age.LastCmd, c.Dropped == 1 ? 0x45u : 0x46u);
        }
    }
}

TEST(Held, BoundsOfTheSettingsAndOfTheMessage)
{
    HeldInit(&q, 0, 300);
    std::vector<uint8_t> m = Msg(0x01, 0x8001, 0);
    EXPECT_EQ(HeldPut(&q, m.data(), m.size(), 0), 0) << "0 holds nothing";
    HeldInit(&q, HELD_MAX_LIMIT + 1, 300);
    EXPECT_EQ(q.Max, HELD_MAX_LIMIT);
    EXPECT_EQ(HeldPut(&q, m.data(), 2, 0), 0) << "shorter than a header";
    EXPECT_EQ(HeldPut(&q, m.data(), MAX_CLIENT_OUT + 1, 0), 0);
    EXPECT_EQ(q.Count, 0u);
}

TEST(ControlWire, TheServiceBytesAsTheLibraryReadsThem)
{
    uint8_t out[HEALTH_ANSWER_SIZE];
    ASSERT_EQ(EncodeWelcome(3, out, sizeof out), WELCOME_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(out, out + WELCOME_SIZE),
              (std::vector<uint8_t>{0x80, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00, 0x03}));
    DulvexMessage msg;
    ASSERT_EQ(DulvexDecodeMessage(out, WELCOME_SIZE, &msg), static_cast<int>(WELCOME_SIZE));
    EXPECT_EQ(DulvexSortMessage(&msg, nullptr), 1);

    ASSERT_EQ(EncodeNotice(NOTICE_GIVEN_UP, 0x10, 0x0045, 1, out, sizeof out), NOTICE_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(out, out + NOTICE_SIZE),
              (std::vector<uint8_t>{0x80, 0xFF, 0x02, 0x00, 0x02, 0x10, 0x00, 0x45, 0x00, 0x00, 0x00, 0x01}));
    ASSERT_EQ(DulvexDecodeMessage(out, NOTICE_SIZE, &msg), static_cast<int>(NOTICE_SIZE));
    EXPECT_EQ(DulvexSortMessage(&msg, nullptr), DULVEX_E_UNDELIVERED);
    EXPECT_EQ(msg.Mask, 0x10);
    EXPECT_EQ(msg.Cmd, 0x0045);
    EXPECT_EQ(msg.Reason, DULVEX_UNDELIVERED_GIVEN_UP);
    EXPECT_EQ(msg.Count, 1u);
    EXPECT_EQ(EncodeNotice(0, 0x10, 0x45, 1, out, sizeof out), 0u);
    EXPECT_EQ(EncodeNotice(NOTICE_HELD_COUNT, 0x10, 0x45, 1, out, NOTICE_SIZE - 1), 0u);

    AppHealth apps[APP_COUNT] = {};
    for (int i = 0; i < APP_COUNT; ++i)
        apps[i] = AppHealth{static_cast<uint8_t>(i % 4), 1000u + i, 10u + i, 20u + i, 30u + i, 40u + i,
                            static_cast<uint8_t>(i), i == 4 ? HEALTH_NEVER : 50u + i};
    ASSERT_EQ(EncodeHealth(apps, out, sizeof out), HEALTH_ANSWER_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0x80, 0xFF, 0x03, 0x00, 0x00, 0x05}));
    ASSERT_EQ(DulvexDecodeMessage(out, HEALTH_ANSWER_SIZE, &msg), static_cast<int>(HEALTH_ANSWER_SIZE));
    DulvexHealth health;
    ASSERT_EQ(DulvexSortMessage(&msg, &health), 2);
    ASSERT_EQ(health.Count, APP_COUNT);
    for (int i = 0; i < APP_COUNT; ++i) {
        const DulvexAppHealth& a = health.Apps[i];
        EXPECT_EQ(a.Mask, 1 << i);
        EXPECT_EQ(a.State, i % 4);
        EXPECT_EQ(a.SinceMs, 1000u + i);
        EXPECT_EQ(a.Sent + a.Received + a.Retransmitted + a.GivenUp, 100u + 4 * i);
        EXPECT_EQ(a.Retransmitted, 30u + i);
        EXPECT_EQ(a.Queue, i);
        EXPECT_EQ(a.LastHeardMs, i == 4 ? DULVEX_NEVER : 50u + i);
    }
    EXPECT_EQ(EncodeHealth(apps, out, HEALTH_ANSWER_SIZE - 1), 0u);
}

TEST(ControlWire, TheClientsControlMessagesAndWhatTheServiceTakesForThem)
{
    uint8_t out[16];
    ASSERT_EQ(DulvexEncodeAnnounce(out, sizeof out), 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x80, 0x7F, 0x01, 0x01}));
    ASSERT_EQ(DulvexEncodeHealthRequest(out, sizeof out), 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0x80, 0x7F, 0x02}));
    struct Case {
        uint8_t Mask;
        uint32_t Cmd;
        bool Control;
    } cases[] = {
        {0x80, CONTROL_ANNOUNCE, true}, {0x80, CONTROL_HEALTH, true}, {0x81, CONTROL_ANNOUNCE, false},
        {0x80, 0x7F03, false},          {0x80, 0xFF01, false},       {0x01, CONTROL_HEALTH, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsControlMsg(c.Mask, c.Cmd), c.Control) << std::hex << int(c.Mask) << " " << c.Cmd;
    // An application's message is never sorted as a control message, whatever its command.
    DulvexMessage msg;
    const uint8_t answer[] = {0x01, 0xFF, 0x02, 0x00, 0x02};
    ASSERT_EQ(DulvexDecodeMessage(answer, sizeof answer, &msg), 5);
    EXPECT_EQ(DulvexSortMessage(&msg, nullptr), 0);
}

}  // namespace
