// Every notice reason where the bridge sends it, and what the next client reads of it on a real
// pipe: the link's refusals, a frame given up, held answers dropped for age and for count. A
// client that did not announce itself reads none of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "PipeSrv.h"
#include "delivery.h"
#include "dulvex_client.h"
#include "pipe_test_util.h"
#include "terminal.h"

namespace {

Delivery d;                  // large (the held queue): one for the whole file
Terminal links[APP_COUNT];
Terminal* const terms[APP_COUNT] = {&links[0], &links[1], &links[2], &links[3], &links[4]};
TraceCapture trace;

enum Act { NOTHING, QUEUE_FULL, LINK_REFUSED, GIVEN_UP };

// What the client read, one line each: "welcome N", "notice R MM CCCC N", "msg MM CCCC".
std::vector<std::string> ClientReads(DulvexClient* c, PipeServer* srv)
{
    std::vector<std::string> lines;
    for (;;) {
        if (WaitForSingleObject(PipeSrvGetWriteEvent(srv), 0) == WAIT_OBJECT_0)
            PipeSrvWritten(srv);
        DulvexMessage msg;
        int r = DulvexReceive(c, &msg, 300);
        char line[64];
        if (r == DULVEX_E_UNDELIVERED)
            snprintf(line, sizeof line, "notice %u %02x %04x %u", msg.Reason, msg.Mask, msg.Cmd,
                     static_cast<unsigned>(msg.Count));
        else if (r >= 0)
            snprintf(line, sizeof line, "msg %02x %04x", msg.Mask, msg.Cmd);
        else
            break;
        lines.push_back(line);
    }
    if (c->Welcomed)
        lines.insert(lines.begin(), "welcome " + std::to_string(c->HeldAtWelcome));
    return lines;
}

TEST(DeliveryOnThePipe, EveryNoticeReasonReachesTheAnnouncedClientOnly)
{
    const struct {
        const char* what;
        bool announce;
        uint32_t heldMax, heldSeconds, answersBefore, announceAtMs;
        Act act;
        std::vector<std::string> reads;
    } cases[] = {
        {"queue full", true, 8, 300, 0, 10, QUEUE_FULL, {"welcome 0", "notice 1 10 0059 1"}},
        {"link refused", true, 8, 300, 0, 10, LINK_REFUSED, {"welcome 0", "notice 3 10 005a 1"}},
        {"given up", true, 8, 300, 0, 10, GIVEN_UP, {"welcome 0", "notice 2 10 0045 1"}},
        // Held at 0 ms, older than one second at the announcement: both dropped, the last named.
        {"held dropped for age", true, 8, 1, 2, 5000, NOTHING, {"welcome 0", "notice 4 08 8061 2"}},
        {"held dropped for count", true, 1, 300, 3, 10, NOTHING, {"welcome 1", "notice 5 08 8061 2", "msg 08 8062"}},
        {"a plain client: none of it", false, 1, 1, 3, 5000, QUEUE_FULL, {}},
        {"a plain client: no give-up", false, 8, 300, 0, 10, GIVEN_UP, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = TestPipeName("delivery");
        PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
        ASSERT_NE(srv, nullptr);
        DeliveryInit(&d, c.heldMax, c.heldSeconds);
        memset(links, 0, sizeof links);
        for (uint32_t i = 0; i < c.answersBefore; ++i) {
            const uint8_t answer[] = {0x08, 0x80, static_cast<uint8_t>(0x60 + i), 0x00, 0x00, 0x01};
            EXPECT_EQ(DeliveryAnswer(&d, srv, answer, sizeof answer, 0), 0) << "held: no client yet";
        }
        static DulvexClient client;
        memset(&client, 0, sizeof client);
        ASSERT_EQ(DulvexConnectEx(&client, name.c_str(), 2000, c.announce ? 0 : DULVEX_CONNECT_PLAIN), DULVEX_OK);
        ASSERT_EQ(AcceptClient(srv), 0);
        if (c.announce)
            DeliveryControl(&d, srv, terms, CONTROL_ANNOUNCE, c.announceAtMs);
        Terminal* petro = &links[4];
        switch (c.act) {
        case QUEUE_FULL:
            petro->SlotCount = SLOT_LIMIT;
            DeliveryRefused(&d, srv, petro, 4, 0x0059);
            break;
        case LINK_REFUSED: DeliveryRefused(&d, srv, nullptr, 4, 0x005A); break;
        case GIVEN_UP:
            petro->GivenUp = 1;
            petro->GivenUpCmd = 0x0045;
            petro->GivenUpTag = 1;  // a client's command
            DeliveryTimer(&d, srv, terms, c.announceAtMs);
            break;
        case NOTHING: break;
        }
        EXPECT_EQ(ClientReads(&client, srv), c.reads);
        DulvexClose(&client);
        PipeSrvDestroy(srv);
    }
}

}  // namespace
