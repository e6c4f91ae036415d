// The delivery guarantees' plain parts: the held answers' bounds, and the control messages'
// bytes as the service writes them and as the client library reads them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

constexpr char ALICE[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr char BOB[] = "S-1-5-21-1004336348-1177238915-682003330-1002";

void PutFor(const char* owner, uint16_t cmd, uint32_t at = 0)
{
    std::vector<uint8_t> m = Msg(0x08, cmd, 0);
    ASSERT_EQ(HeldPut(&q, m.data(), m.size(), at, owner), 1);
}

// What a client of account client takes, in order, until nothing is left for it.
std::vector<uint16_t> TakeFor(const char* client)
{
    std::vector<uint16_t> cmds;
    while (const HeldMsg* m = HeldPeekFor(&q, client)) {
        cmds.push_back(static_cast<uint16_t>(m->Bytes[1] << 8 | m->Bytes[2]));
        HeldTake(&q, m);
    }
    return cmds;
}

TEST(HeldOwner, AnAnswerGoesOnlyToAnAnnouncedClientOfItsAccount)
{
    struct Case {
        const char* Owner;
        const char* Client;
        bool Handed;
    } cases[] = {
        {ALICE, ALICE, true},
        {ALICE, BOB, false},
        {ALICE, "S-1-5-21-1004336348-1177238915-682003330-100", false},  // a prefix of the owner
        {"S-1-5-21-1004336348-1177238915-682003330-100", ALICE, false},
        {ALICE, "unknown", false},  // a client that opened the pipe anonymously
        {ALICE, "S-1-5-18", false},
        {"unknown", "unknown", true},  // the 9x family: every client is the one owner
        {"unknown", BOB, false},
        {HELD_NO_OWNER, BOB, true},  // before any client was served: the first to announce
        {HELD_NO_OWNER, "unknown", true},
    };
    for (const Case& c : cases) {
        HeldInit(&q, 4, 300);
        PutFor(c.Owner, 0x8001);
        EXPECT_EQ(HeldMayTake(c.Owner, c.Client), c.Handed ? 1 : 0) << c.Owner << " / " << c.Client;
        EXPECT_EQ(HeldCountFor(&q, c.Client), c.Handed ? 1u : 0u) << c.Owner << " / " << c.Client;
        EXPECT_EQ(TakeFor(c.Client).size(), c.Handed ? 1u : 0u) << c.Owner << " / " << c.Client;
        EXPECT_EQ(q.Count, c.Handed ? 0u : 1u) << "held out stays for its owner";
    }
    EXPECT_EQ(HeldMayTake(nullptr, ALICE), 0);
    EXPECT_EQ(HeldMayTake(ALICE, nullptr), 0);
}

TEST(HeldOwner, EachAccountTakesItsOwnInArrivalOrderAndTheOthersKeepTheirs)
{
    HeldInit(&q, 8, 300);
    PutFor(HELD_NO_OWNER, 0x8000);
    PutFor(ALICE, 0x8001);
    PutFor(BOB, 0x8002);
    PutFor(ALICE, 0x8003);
    PutFor(BOB, 0x8004);
    EXPECT_EQ(HeldCountFor(&q, BOB), 3u);
    EXPECT_EQ(TakeFor(BOB), (std::vector<uint16_t>{0x8000, 0x8002, 0x8004}));
    EXPECT_EQ(TakeFor(BOB), std::vector<uint16_t>{});
    // The freed places are used again, and the arrival order still holds.
    PutFor(BOB, 0x8005);
    PutFor(ALICE, 0x8006);
    EXPECT_EQ(HeldCommands(), (std::vector<uint16_t>{0x8001, 0x8003, 0x8005, 0x8006}));
}

TEST(HeldOwner, BoundsApplyToAllAndDropsAreToldOnlyToTheirOwner)
{
    HeldInit(&q, 3, 1);
    PutFor(HELD_NO_OWNER, 0x8000, 0);
    PutFor(ALICE, 0x8001, 0);
    PutFor(BOB, 0x8002, 500);
    PutFor(ALICE, 0x8003, 500);  // the count bound drops the oldest: the one without owner
    PutFor(BOB, 0x8004, 600);    // and then Alice's first
    EXPECT_EQ(HeldExpire(&q, 1501), 2u);  // Bob's 0x8002 and Alice's 0x8003 are too old
    EXPECT_EQ(q.Full.Count, 2u);
    EXPECT_EQ(q.Age.Count, 2u);
    HeldDrops age, full;
    HeldTakeDrops(&q, BOB, &age, &full);
    EXPECT_EQ(full.Count, 1u) << "the answer without owner is Bob's to hear of too";
    EXPECT_EQ(full.LastCmd, 0x8000u);
    EXPECT_EQ(age.Count, 1u);
    EXPECT_EQ(age.LastCmd, 0x8002u);
    HeldTakeDrops(&q, BOB, &age, &full);
    EXPECT_EQ(age.Count + full.Count, 0u) << "told once";
    HeldTakeDrops(&q, ALICE, &age, &full);
    EXPECT_EQ(full.Count, 1u);
    EXPECT_EQ(full.LastCmd, 0x8001u);
    EXPECT_EQ(age.Count, 1u);
    EXPECT_EQ(age.LastCmd, 0x8003u);
    EXPECT_EQ(TakeFor(ALICE), std::vector<uint16_t>{});
    EXPECT_EQ(TakeFor(BOB), std::vector<uint16_t>{0x8004});
}

TEST(HeldOwner, MoreAccountsWithDropsThanRecordsForgetTheOldestAndLongOwnersAreCut)
{
    HeldInit(&q, 1, 300);
    std::vector<std::string> owners;
    for (uint32_t i = 0; i <= HELD_DROP_ACCOUNTS + 1; ++i) {
        owners.push_back("S-1-5-21-9-" + std::to_string(i));
        PutFor(owners.back().c_str(), static_cast<uint16_t>(0x8000 + i));  // drops the one before
    }
    HeldDrops age, full;
    HeldTakeDrops(&q, owners[0].c_str(), &age, &full);
    EXPECT_EQ(full.Count, 0u) << "the oldest account's drops gave way";
    for (uint32_t i = 1; i <= HELD_DROP_ACCOUNTS; ++i) {
        HeldTakeDrops(&q, owners[i].c_str(), &age, &full);
        EXPECT_EQ(full.Count, 1u) << i;
        EXPECT_EQ(full.LastCmd, 0x8000u + i);
    }
    std::string longOwner(HELD_ACCOUNT_SIZE + 40, '7');
    HeldInit(&q, 2, 300);
    PutFor(longOwner.c_str(), 0x8001);
    EXPECT_EQ(strlen(HeldPeek(&q)->Owner), HELD_ACCOUNT_SIZE - 1);
    EXPECT_EQ(HeldCountFor(&q, longOwner.substr(0, HELD_ACCOUNT_SIZE - 1).c_str()), 1u);
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
