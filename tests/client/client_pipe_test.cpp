// The client library against the service's own pipe server on a real pipe.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "PipeSrv.h"
#include "dulvex_client.h"
#include "pipe_test_util.h"

namespace {

class ClientPipeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = TestPipeName("client");
        srv_ = PipeSrvCreate(name_.c_str(), 600, 0);
        ASSERT_NE(srv_, nullptr);
        memset(&client_, 0, sizeof client_);
    }
    void TearDown() override
    {
        DulvexClose(&client_);
        PipeSrvDestroy(srv_);
    }
    // Every connection announces itself first.
    void ConnectAndAccept()
    {
        ASSERT_EQ(DulvexConnect(&client_, name_.c_str(), 2000), DULVEX_OK);
        ASSERT_EQ(AcceptClient(srv_), 0);
        ASSERT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x01, 0x01}));
    }
    // What the server received as one message.
    std::vector<uint8_t> ServerGets()
    {
        std::vector<uint8_t> got(2048);
        if (!WaitServer(srv_))
            return {};
        int n = GotOverResult(srv_);
        if (n <= 0)
            return {};
        n = PipeSrvRead(srv_, got.data(), 2048);
        got.resize(n > 0 ? n : 0);
        return got;
    }

    static TraceCapture trace_;
    std::string name_;
    PipeServer* srv_ = nullptr;
    DulvexClient client_;
};

TraceCapture ClientPipeTest::trace_;

TEST(ClientNoService, ConnectFailsCleanly)
{
    DulvexClient c;
    memset(&c, 0, sizeof c);
    std::string name = TestPipeName("absent");
    EXPECT_EQ(DulvexConnect(&c, name.c_str(), 200), DULVEX_E_NO_SERVICE);
    EXPECT_EQ(c.LastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    DulvexMessage msg;
    EXPECT_EQ(DulvexSendPacket(&c, 1, 2, 0, nullptr, 0), DULVEX_E_NOT_CONNECTED);
    EXPECT_EQ(DulvexSendCaptureNow(&c, "x"), DULVEX_E_NOT_CONNECTED);
    EXPECT_EQ(DulvexReceive(&c, &msg, 0), DULVEX_E_NOT_CONNECTED);
    EXPECT_EQ(DulvexConnect(nullptr, name.c_str(), 0), DULVEX_E_ARGUMENT);
    EXPECT_EQ(DulvexSendPacket(nullptr, 1, 2, 0, nullptr, 0), DULVEX_E_ARGUMENT);
    EXPECT_EQ(DulvexReceive(nullptr, &msg, 0), DULVEX_E_ARGUMENT);
    DulvexClose(&c);
    DulvexClose(nullptr);
}

TEST_F(ClientPipeTest, PacketsBothWays)
{
    ConnectAndAccept();
    const uint8_t data[] = {0x41, 0x42};
    EXPECT_EQ(DulvexSendPacket(&client_, 0x05, 0x1234, 0x7777, data, 2), 5);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x05, 0x12, 0x34, 0x41, 0x42}));
    EXPECT_EQ(DulvexSendPacket(&client_, 0x01, 0x8000, 0x0007, nullptr, 0), 5);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x01, 0x80, 0x00, 0x00, 0x07}));

    const uint8_t reply[] = {0x08, 0x80, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(PipeWrite(srv_, reply, sizeof reply), 6);
    const uint8_t plain[] = {0x02, 0x00, 0x11, 0xDE, 0xAD};
    ASSERT_EQ(PipeWrite(srv_, plain, sizeof plain), 5);
    DulvexMessage msg;
    ASSERT_EQ(DulvexReceive(&client_, &msg, 5000), 6);
    EXPECT_EQ(msg.Mask, 0x08);
    EXPECT_EQ(msg.Cmd, 0x8000);
    EXPECT_EQ(msg.HasStatus, 1);
    EXPECT_EQ(msg.Status, 0);
    ASSERT_EQ(msg.Len, 1u);
    EXPECT_EQ(msg.Data[0], 0x00);
    // Messages stay apart even when both wait in the pipe.
    ASSERT_EQ(DulvexReceive(&client_, &msg, 5000), 5);
    EXPECT_EQ(msg.Mask, 0x02);
    EXPECT_EQ(msg.Cmd, 0x0011);
    EXPECT_EQ(msg.HasStatus, 0);
    ASSERT_EQ(msg.Len, 2u);
    EXPECT_EQ(msg.Data[0], 0xDE);
    EXPECT_EQ(msg.Data[1], 0xAD);
}

TEST_F(ClientPipeTest, PlainConnectionSendsNoAnnouncement)
{
    ASSERT_EQ(DulvexConnectEx(&client_, name_.c_str(), 2000, DULVEX_CONNECT_PLAIN), DULVEX_OK);
    ASSERT_EQ(AcceptClient(srv_), 0);
    EXPECT_EQ(DulvexSendPacket(&client_, 0x01, 0x0001, 0, nullptr, 0), 3);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x01, 0x00, 0x01}));
}

// The welcome is taken in passing, a notice is a result of its own, and what arrives while the
// health answer is awaited is kept for the next receive.
TEST_F(ClientPipeTest, NoticesWelcomeAndHealth)
{
    ConnectAndAccept();
    const uint8_t welcome[] = {0x80, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02};
    const uint8_t answer[] = {0x01, 0x00, 0x05};
    const uint8_t notice[] = {0x80, 0xFF, 0x02, 0x00, 0x01, 0x10, 0x00, 0x59, 0x00, 0x00, 0x00, 0x01};
    std::vector<uint8_t> health = {0x80, 0xFF, 0x03, 0x00, 0x00, 0x05};
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> record(27, 0);
        record[0] = static_cast<uint8_t>(1 << i);
        record[1] = i == 4 ? 3 : 1;
        record[22] = static_cast<uint8_t>(i);
        health.insert(health.end(), record.begin(), record.end());
    }
    ASSERT_EQ(PipeWrite(srv_, welcome, sizeof welcome), 8);
    ASSERT_EQ(PipeWrite(srv_, answer, sizeof answer), 3);
    ASSERT_EQ(PipeWrite(srv_, notice, sizeof notice), 12);
    ASSERT_EQ(PipeWrite(srv_, health.data(), static_cast<uint32_t>(health.size())), 141);
    DulvexHealth h;
    ASSERT_EQ(DulvexLinkHealth(&client_, &h, 5000), DULVEX_OK);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x02}));
    ASSERT_EQ(h.Count, 5);
    EXPECT_EQ(h.Apps[4].Mask, 0x10);
    EXPECT_EQ(h.Apps[4].State, DULVEX_LINK_NOT_ANSWERING);
    EXPECT_EQ(h.Apps[3].Queue, 3);
    EXPECT_EQ(client_.Welcomed, 1);
    EXPECT_EQ(client_.HeldAtWelcome, 2u);
    DulvexMessage msg;
    ASSERT_EQ(DulvexReceive(&client_, &msg, 0), 3);
    EXPECT_EQ(msg.Cmd, 0x0005);
    ASSERT_EQ(DulvexReceive(&client_, &msg, 0), DULVEX_E_UNDELIVERED);
    EXPECT_EQ(msg.Mask, 0x10);
    EXPECT_EQ(msg.Cmd, 0x0059);
    EXPECT_EQ(msg.Reason, DULVEX_UNDELIVERED_QUEUE_FULL);
    EXPECT_EQ(msg.Count, 1u);
    EXPECT_EQ(DulvexReceive(&client_, &msg, 0), DULVEX_E_TIMEOUT);
}

// Six held answers wait behind the welcome: the health request keeps four, refuses to read the
// fifth, and nothing is lost; the answer that came meanwhile serves the next request.
TEST_F(ClientPipeTest, HealthRequestNeverLosesAMessage)
{
    ConnectAndAccept();
    const uint8_t welcome[] = {0x80, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00, 0x06};
    ASSERT_EQ(PipeWrite(srv_, welcome, sizeof welcome), 8);
    for (uint8_t i = 1; i <= 6; ++i) {
        const uint8_t held[] = {0x01, 0x80, 0x60, 0x00, 0x00, i};
        ASSERT_EQ(PipeWrite(srv_, held, sizeof held), 6);
    }
    std::vector<uint8_t> health = {0x80, 0xFF, 0x03, 0x00, 0x00, 0x05};
    health.resize(6 + 5 * 27, 0);
    ASSERT_EQ(PipeWrite(srv_, health.data(), static_cast<uint32_t>(health.size())), 141);
    DulvexHealth h;
    EXPECT_EQ(DulvexLinkHealth(&client_, &h, 5000), DULVEX_E_BUSY);
    EXPECT_EQ(client_.HeldAtWelcome, 6u);
    EXPECT_EQ(DulvexLinkHealth(&client_, &h, 5000), DULVEX_E_BUSY) << "refused before it reads";
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x02}));
    EXPECT_FALSE(WaitServer(srv_, 100)) << "the refused request is not sent";
    DulvexMessage msg;
    for (uint8_t i = 1; i <= 6; ++i) {
        ASSERT_EQ(DulvexReceive(&client_, &msg, 1000), 6) << "held answer " << int(i);
        EXPECT_EQ(msg.Data[0], i);
    }
    ASSERT_EQ(DulvexLinkHealth(&client_, &h, 5000), DULVEX_OK);
    EXPECT_EQ(h.Count, 5);
    EXPECT_EQ(DulvexReceive(&client_, &msg, 0), DULVEX_E_TIMEOUT);
}

TEST_F(ClientPipeTest, LargestPacketArrivesWhole)
{
    ConnectAndAccept();
    std::vector<uint8_t> data(597);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(DulvexSendPacket(&client_, 0x1F, 0x0042, 0, data.data(), data.size()), 600);
    std::vector<uint8_t> got = ServerGets();
    ASSERT_EQ(got.size(), 600u);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 3, got.end()), data);
    std::vector<uint8_t> reply(605, 0x33);
    reply[0] = 0x10;
    reply[1] = 0x80;
    ASSERT_EQ(PipeWrite(srv_, reply.data(), 605), 605);
    DulvexMessage msg;
    ASSERT_EQ(DulvexReceive(&client_, &msg, 5000), 605);
    EXPECT_EQ(msg.Len, 600u);
    EXPECT_EQ(msg.Status, 0x3333);
}

TEST_F(ClientPipeTest, CaptureRecords)
{
    ConnectAndAccept();
    EXPECT_EQ(DulvexSendCapture(&client_, 1700000000, 123, "hello"), 16);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x65, 0x53, 0xF1, 0x00, 0x00, 0x00, 0x00, 0x7B,
                                                 'h', 'e', 'l', 'l', 'o'}));
    time_t before = time(nullptr);
    EXPECT_EQ(DulvexSendCaptureNow(&client_, "now"), 14);
    std::vector<uint8_t> got = ServerGets();
    ASSERT_EQ(got.size(), 14u);
    uint32_t sec = static_cast<uint32_t>(got[3]) << 24 | got[4] << 16 | got[5] << 8 | got[6];
    uint32_t msec = static_cast<uint32_t>(got[7]) << 24 | got[8] << 16 | got[9] << 8 | got[10];
    EXPECT_GE(sec + 1, static_cast<uint32_t>(before));
    EXPECT_LE(sec, static_cast<uint32_t>(time(nullptr)));
    EXPECT_LT(msec, 1000u);
    std::string tooLong(590, 'x');
    EXPECT_EQ(DulvexSendCapture(&client_, 1, 2, tooLong.c_str()), DULVEX_E_TOO_LONG);
}

TEST_F(ClientPipeTest, RefusedPacketsSendNothing)
{
    ConnectAndAccept();
    std::vector<uint8_t> data(598, 1);
    EXPECT_EQ(DulvexSendPacket(&client_, 0x00, 0x0001, 0, nullptr, 0), DULVEX_E_ARGUMENT);
    EXPECT_EQ(DulvexSendPacket(&client_, 0x01, 0x0001, 0, data.data(), 598), DULVEX_E_TOO_LONG);
    EXPECT_EQ(DulvexSendPacket(&client_, 0x01, 0x8001, 0, data.data(), 596), DULVEX_E_TOO_LONG);
    EXPECT_FALSE(WaitServer(srv_, 100));
    // And the connection still works.
    EXPECT_EQ(DulvexSendPacket(&client_, 0x01, 0x0001, 0, nullptr, 0), 3);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x01, 0x00, 0x01}));
}

TEST_F(ClientPipeTest, ReceiveTimeOutLosesNothing)
{
    ConnectAndAccept();
    DulvexMessage msg;
    EXPECT_EQ(DulvexReceive(&client_, &msg, 0), DULVEX_E_TIMEOUT);
    EXPECT_EQ(DulvexReceive(&client_, &msg, 50), DULVEX_E_TIMEOUT);
    const uint8_t reply[] = {0x04, 0x00, 0x20, 0x99};
    ASSERT_EQ(PipeWrite(srv_, reply, sizeof reply), 4);
    ASSERT_EQ(DulvexReceive(&client_, &msg, 5000), 4);
    EXPECT_EQ(msg.Mask, 0x04);
    EXPECT_EQ(msg.Cmd, 0x0020);
    EXPECT_EQ(msg.Data[0], 0x99);
}

TEST_F(ClientPipeTest, MalformedMessageIsReportedAndSkipped)
{
    ConnectAndAccept();
    const uint8_t shortMsg[] = {0x01, 0x80, 0x00};
    const uint8_t good[] = {0x01, 0x00, 0x05};
    ASSERT_EQ(PipeWrite(srv_, shortMsg, sizeof shortMsg), 3);
    ASSERT_EQ(PipeWrite(srv_, good, sizeof good), 3);
    DulvexMessage msg;
    EXPECT_EQ(DulvexReceive(&client_, &msg, 5000), DULVEX_E_PROTOCOL);
    ASSERT_EQ(DulvexReceive(&client_, &msg, 5000), 3);
    EXPECT_EQ(msg.Cmd, 0x0005);
}

TEST_F(ClientPipeTest, ServiceGoneIsDisconnected)
{
    ConnectAndAccept();
    PipeSrvDestroy(srv_);
    srv_ = nullptr;
    DulvexMessage msg;
    EXPECT_EQ(DulvexReceive(&client_, &msg, 5000), DULVEX_E_DISCONNECTED);
    EXPECT_EQ(DulvexSendPacket(&client_, 0x01, 0x0001, 0, nullptr, 0), DULVEX_E_DISCONNECTED);
}

TEST_F(ClientPipeTest, SecondClientWaitsForTheFirst)
{
    ConnectAndAccept();
    DulvexClient second;
    memset(&second, 0, sizeof second);
    EXPECT_EQ(DulvexConnect(&second, name_.c_str(), 200), DULVEX_E_BUSY);
    EXPECT_EQ(second.LastError, static_cast<DWORD>(ERROR_PIPE_BUSY));

    // The second client waits while the first leaves and the server prepares a new instance.
    // A Win32 thread: the win32-thread compilers have no std::thread.
    struct Waiter {
        DulvexClient* Client;
        const char* Name;
        int Result;
    } waiter = {&second, name_.c_str(), 1};
    auto connect = [](void* arg) -> DWORD {
        auto* w = static_cast<Waiter*>(arg);
        w->Result = DulvexConnect(w->Client, w->Name, 10000);
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, connect, &waiter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DulvexClose(&client_);
    bool served = WaitServer(srv_);
    EXPECT_TRUE(served);
    EXPECT_EQ(GotOverResult(srv_), 0);
    EXPECT_EQ(AcceptClient(srv_), 0);
    // Joined before any assertion can leave the test: the thread writes into this frame.
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_TRUE(served);
    ASSERT_EQ(waiter.Result, DULVEX_OK);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x01, 0x01}));
    EXPECT_EQ(DulvexSendPacket(&second, 0x02, 0x0003, 0, nullptr, 0), 3);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x02, 0x00, 0x03}));
    DulvexClose(&second);
}

}  // namespace
