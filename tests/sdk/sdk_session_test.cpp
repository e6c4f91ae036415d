// The SDK DLL through its import library, against the service's own pipe server on a real pipe:
// results without a service, the waitable handle, a send while another thread receives, the
// delivery notices, the welcome's held count and link health that loses nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "PipeSrv.h"
#include "dulvex_sdk.h"
#include "pipe_test_util.h"

namespace {

TEST(SdkNoService, ResultsWithoutAConnection)
{
    EXPECT_EQ(DulvexSdkVersion(), DULVEX_SDK_VERSION);
    EXPECT_STREQ(DulvexSdkResultText(DULVEX_SDK_E_NO_MEMORY), "out of memory");
    EXPECT_STREQ(DulvexSdkResultText(DULVEX_SDK_E_TIMEOUT), "timed out");
    EXPECT_STREQ(DulvexSdkResultText(7), "ok");
    EXPECT_STREQ(DulvexSdkResultText(DULVEX_SDK_E_CANCELLED), "cancelled: the session was closed");
    // Every code has its own text: the library's notice code (-11) is no alias of the DLL's -11.
    std::vector<std::string> texts;
    for (int code = DULVEX_SDK_E_ARGUMENT; code >= DULVEX_SDK_E_KEPT; --code) {
        std::string text = DulvexSdkResultText(code);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << code << ": " << text;
        EXPECT_NE(text, "unknown error") << code;
        texts.push_back(text);
    }

    DulvexSdkMessage msg;
    const struct {
        const char* what;
        int got, want;
    } nulls[] = {
        {"connect", DulvexSdkConnect(nullptr, nullptr, 0), DULVEX_SDK_E_ARGUMENT},
        {"send", DulvexSdkSend(nullptr, 1, 2, 0, nullptr, 0), DULVEX_SDK_E_ARGUMENT},
        {"capture", DulvexSdkSendCapture(nullptr, "x"), DULVEX_SDK_E_ARGUMENT},
        {"receive", DulvexSdkReceive(nullptr, &msg, 0), DULVEX_SDK_E_ARGUMENT},
        {"send time-out", DulvexSdkSetSendTimeout(nullptr, 100), DULVEX_SDK_E_ARGUMENT},
        {"async", DulvexSdkReceiveAsync(nullptr, 0, [](void*, int, const DulvexSdkMessage*) {}, nullptr),
         DULVEX_SDK_E_ARGUMENT},
        {"connect with flags", DulvexSdkConnectEx(nullptr, nullptr, 0, 0), DULVEX_SDK_E_ARGUMENT},
        {"welcome", DulvexSdkWelcome(nullptr, nullptr), DULVEX_SDK_E_ARGUMENT},
        {"link health", DulvexSdkLinkHealth(nullptr, nullptr, 0), DULVEX_SDK_E_ARGUMENT},
    };
    for (const auto& c : nulls)
        EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(DulvexSdkReceiveHandle(nullptr), nullptr);
    EXPECT_EQ(DulvexSdkLastError(nullptr), 0u);
    DulvexSdkClose(nullptr);
    DulvexSdkFree(nullptr);

    DulvexSession* s = DulvexSdkCreate();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(DulvexSdkSetSendTimeout(s, 0), DULVEX_SDK_E_ARGUMENT);
    EXPECT_EQ(DulvexSdkSetSendTimeout(s, 100), DULVEX_SDK_OK);
    EXPECT_EQ(DulvexSdkSend(s, 1, 2, 0, nullptr, 0), DULVEX_SDK_E_NOT_CONNECTED);
    EXPECT_EQ(DulvexSdkReceive(s, &msg, 0), DULVEX_SDK_E_NOT_CONNECTED);
    EXPECT_EQ(DulvexSdkReceive(s, nullptr, 0), DULVEX_SDK_E_ARGUMENT);
    EXPECT_EQ(DulvexSdkReceiveHandle(s), nullptr);
    EXPECT_EQ(DulvexSdkReceiveAsync(s, 0, nullptr, nullptr), DULVEX_SDK_E_ARGUMENT);
    EXPECT_EQ(DulvexSdkReceiveAsync(s, 0, [](void*, int, const DulvexSdkMessage*) {}, nullptr),
              DULVEX_SDK_E_NOT_CONNECTED);
    DulvexSdkHealth health;
    EXPECT_EQ(DulvexSdkLinkHealth(s, &health, 0), DULVEX_SDK_E_NOT_CONNECTED);
    EXPECT_EQ(DulvexSdkWelcome(s, nullptr), 0);
    EXPECT_EQ(DulvexSdkConnectEx(s, "x", 0, 2), DULVEX_SDK_E_ARGUMENT) << "an unknown flag";
    std::string absent = TestPipeName("sdk-absent");
    EXPECT_EQ(DulvexSdkConnect(s, absent.c_str(), 200), DULVEX_SDK_E_NO_SERVICE);
    EXPECT_EQ(DulvexSdkLastError(s), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    DulvexSdkFree(s);
}

class SdkSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = TestPipeName("sdk");
        srv_ = PipeSrvCreate(name_.c_str(), 600, 0);
        ASSERT_NE(srv_, nullptr);
        s_ = DulvexSdkCreate();
        ASSERT_NE(s_, nullptr);
        ASSERT_EQ(DulvexSdkConnect(s_, name_.c_str(), 2000), DULVEX_SDK_OK);
        ASSERT_EQ(AcceptClient(srv_), 0);
        // A session announces itself unless asked to connect plain.
        ASSERT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x01, 0x01}));
    }
    void TearDown() override
    {
        DulvexSdkFree(s_);
        if (srv_ != nullptr)
            PipeSrvDestroy(srv_);
    }
    std::vector<uint8_t> ServerGets()
    {
        std::vector<uint8_t> got(2048);
        if (!WaitServer(srv_) || GotOverResult(srv_) <= 0)
            return {};
        int n = PipeSrvRead(srv_, got.data(), 2048);
        got.resize(n > 0 ? n : 0);
        return got;
    }

    static TraceCapture trace_;
    std::string name_;
    PipeServer* srv_ = nullptr;
    DulvexSession* s_ = nullptr;
};

TraceCapture SdkSessionTest::trace_;

TEST_F(SdkSessionTest, HandleIsSignalledByAMessageOnly)
{
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE h = DulvexSdkReceiveHandle(s_);
    ASSERT_NE(h, nullptr);
    HANDLE both[2] = {other, h};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DulvexSdkMessage msg;
    EXPECT_EQ(DulvexSdkReceive(s_, &msg, 0), DULVEX_SDK_E_TIMEOUT);

    const uint8_t reply[] = {0x08, 0x81, 0x23, 0x00, 0x07, 0x41, 0x42, 0x43};
    ASSERT_EQ(PipeWrite(srv_, reply, sizeof reply), static_cast<int>(sizeof reply));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0 + 1);
    ASSERT_EQ(DulvexSdkReceive(s_, &msg, 0), 3);
    EXPECT_EQ(msg.Mask, 0x08);
    EXPECT_EQ(msg.Cmd, 0x8123);
    EXPECT_EQ(msg.HasStatus, 1);
    EXPECT_EQ(msg.Status, 0x0007);
    EXPECT_EQ(msg.Len, 3);
    EXPECT_EQ(memcmp(msg.Data, "ABC", 3), 0);

    // Taken: the handle, armed again, waits for the next message.
    EXPECT_EQ(DulvexSdkReceiveHandle(s_), h);
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    const uint8_t plain[] = {0x01, 0x00, 0x05};
    ASSERT_EQ(PipeWrite(srv_, plain, sizeof plain), 3);
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(DulvexSdkReceive(s_, &msg, 0), 0);
    EXPECT_EQ(msg.Cmd, 0x0005);
    EXPECT_EQ(msg.HasStatus, 0);
    CloseHandle(other);
}

TEST_F(SdkSessionTest, HandleFiresWhenTheServiceIsGone)
{
    PipeSrvDestroy(srv_);
    srv_ = nullptr;
    // The read cannot even start; a waiter must still wake to learn why.
    HANDLE h = DulvexSdkReceiveHandle(s_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    DulvexSdkMessage msg;
    EXPECT_EQ(DulvexSdkReceive(s_, &msg, 0), DULVEX_SDK_E_DISCONNECTED);
    DulvexSdkClose(s_);
    EXPECT_EQ(DulvexSdkReceiveHandle(s_), nullptr);
}

TEST_F(SdkSessionTest, OneThreadSendsWhileAnotherReceives)
{
    DulvexSdkMessage msg;
    int received = DULVEX_SDK_E_SYSTEM;
    // Long enough that a send held up behind this receive would make it time out first.
    TestThread receiver([&] { received = DulvexSdkReceive(s_, &msg, 20000); });
    // Lets the receiver get into its wait, so that a send serialised behind it would show; the
    // results asserted hold either way.
    Sleep(200);
    const uint8_t data[] = {0x00, 0xFF};
    EXPECT_EQ(DulvexSdkSend(s_, 0x02, 0x0123, 0, data, sizeof data), 5);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x02, 0x01, 0x23, 0x00, 0xFF}));
    const uint8_t reply[] = {0x02, 0x81, 0x23, 0x00, 0x00, 0x00, 0xFF};
    ASSERT_EQ(PipeWrite(srv_, reply, sizeof reply), static_cast<int>(sizeof reply));
    receiver.Join();
    EXPECT_EQ(received, 2);
    EXPECT_EQ(msg.Mask, 0x02);
    EXPECT_EQ(msg.Cmd, 0x8123);
    EXPECT_EQ(DulvexSdkSendCapture(s_, "sdk"), 11 + 3);
    std::vector<uint8_t> capture = ServerGets();
    ASSERT_EQ(capture.size(), 14u);
    EXPECT_EQ(memcmp(capture.data() + 11, "sdk", 3), 0);
}

// A health answer of five applications, the last one not answering.
std::vector<uint8_t> HealthAnswer()
{
    std::vector<uint8_t> health = {0x80, 0xFF, 0x03, 0x00, 0x00, 0x05};
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> record(27, 0);
        record[0] = static_cast<uint8_t>(1 << i);
        record[1] = i == 4 ? 3 : 1;
        record[9] = static_cast<uint8_t>(10 + i);  // frames sent
        record[22] = static_cast<uint8_t>(i);
        health.insert(health.end(), record.begin(), record.end());
    }
    return health;
}

// The welcome announces six held answers; the health request keeps four of them and refuses to
// read on; every one is received in order, then a notice as a result of its own, and the
// session goes on.
TEST_F(SdkSessionTest, HeldAnswersNoticesAndHealthLoseNothing)
{
    uint32_t held = 99;
    EXPECT_EQ(DulvexSdkWelcome(s_, &held), 0);
    const uint8_t welcome[] = {0x80, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00, 0x06};
    ASSERT_EQ(PipeWrite(srv_, welcome, sizeof welcome), 8);
    for (uint8_t i = 1; i <= 6; ++i) {
        const uint8_t answer[] = {0x08, 0x80, 0x61, 0x00, 0x00, i};
        ASSERT_EQ(PipeWrite(srv_, answer, sizeof answer), 6);
    }
    const uint8_t notice[] = {0x80, 0xFF, 0x02, 0x00, 0x02, 0x10, 0x00, 0x45, 0x00, 0x00, 0x01, 0x02};
    ASSERT_EQ(PipeWrite(srv_, notice, sizeof notice), 12);
    std::vector<uint8_t> health = HealthAnswer();
    ASSERT_EQ(PipeWrite(srv_, health.data(), static_cast<uint32_t>(health.size())), 141);

    DulvexSdkHealth h;
    EXPECT_EQ(DulvexSdkLinkHealth(s_, &h, 5000), DULVEX_SDK_E_KEPT);
    EXPECT_EQ(DulvexSdkWelcome(s_, &held), 1);
    EXPECT_EQ(held, 6u);
    HANDLE handle = DulvexSdkReceiveHandle(s_);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0) << "kept messages wake a waiter";
    DulvexSdkMessage msg;
    for (uint8_t i = 1; i <= 6; ++i) {
        ASSERT_EQ(DulvexSdkReceive(s_, &msg, 1000), 1) << "held answer " << int(i);
        EXPECT_EQ(msg.Mask, 0x08);
        EXPECT_EQ(msg.Cmd, 0x8061);
        EXPECT_EQ(msg.Data[0], i);
    }
    ASSERT_EQ(DulvexSdkReceive(s_, &msg, 1000), DULVEX_SDK_E_UNDELIVERED);
    EXPECT_EQ(msg.Mask, 0x10);
    EXPECT_EQ(msg.Cmd, 0x0045);
    EXPECT_EQ(msg.Status, DULVEX_SDK_NOTICE_GIVEN_UP);
    EXPECT_EQ(msg.HasStatus, 0);
    EXPECT_EQ(msg.Len, 4);
    EXPECT_EQ(DULVEX_SDK_NOTICE_COUNT(&msg), 0x102u);

    ASSERT_EQ(DulvexSdkLinkHealth(s_, &h, 5000), DULVEX_SDK_OK);
    ASSERT_EQ(h.Count, 5u);
    EXPECT_EQ(h.Apps[4].Mask, 0x10);
    EXPECT_EQ(h.Apps[4].State, 3);
    EXPECT_EQ(h.Apps[4].Sent, 14u);
    EXPECT_EQ(h.Apps[3].Queue, 3);
    EXPECT_EQ(DulvexSdkReceive(s_, &msg, 0), DULVEX_SDK_E_TIMEOUT);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x02}));
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x80, 0x7F, 0x02}));
    const uint8_t data[] = {0x01};
    EXPECT_EQ(DulvexSdkSend(s_, 0x10, 0x0046, 0, data, 1), 4) << "the session goes on";
}

TEST_F(SdkSessionTest, PlainSessionSendsNoAnnouncement)
{
    DulvexSdkClose(s_);
    ASSERT_TRUE(WaitServer(srv_));
    EXPECT_EQ(GotOverResult(srv_), 0);
    ASSERT_EQ(DulvexSdkConnectEx(s_, name_.c_str(), 2000, DULVEX_SDK_CONNECT_PLAIN), DULVEX_SDK_OK);
    ASSERT_EQ(AcceptClient(srv_), 0);
    EXPECT_EQ(DulvexSdkSend(s_, 0x01, 0x0001, 0, nullptr, 0), 3);
    EXPECT_EQ(ServerGets(), (std::vector<uint8_t>{0x01, 0x00, 0x01}));
}

// A notice reaches an asynchronous receive with its message.
TEST_F(SdkSessionTest, AsyncReceiveGetsANotice)
{
    struct Got {
        int Result = 0;
        DulvexSdkMessage Msg{};
        bool HadMsg = false;
        HANDLE Done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    } got;
    auto record = [](void* context, int result, const DulvexSdkMessage* msg) {
        Got* g = static_cast<Got*>(context);
        g->Result = result;
        g->HadMsg = msg != nullptr;
        if (msg != nullptr)
            g->Msg = *msg;
        SetEvent(g->Done);
    };
    ASSERT_EQ(DulvexSdkReceiveAsync(s_, 5000, record, &got), DULVEX_SDK_OK);
    const uint8_t notice[] = {0x80, 0xFF, 0x02, 0x00, 0x01, 0x02, 0x00, 0x59, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(PipeWrite(srv_, notice, sizeof notice), 12);
    ASSERT_EQ(WaitForSingleObject(got.Done, 5000), WAIT_OBJECT_0);
    CloseHandle(got.Done);
    EXPECT_EQ(got.Result, DULVEX_SDK_E_UNDELIVERED);
    ASSERT_TRUE(got.HadMsg);
    EXPECT_EQ(got.Msg.Mask, 0x02);
    EXPECT_EQ(got.Msg.Cmd, 0x0059);
    EXPECT_EQ(got.Msg.Status, DULVEX_SDK_NOTICE_QUEUE_FULL);
    EXPECT_EQ(DULVEX_SDK_NOTICE_COUNT(&got.Msg), 1u);
}

// What the callbacks of asynchronous receives reported, in order.
struct Calls {
    TestLock Lock;
    std::vector<int> Results;
    std::vector<uint16_t> Cmds;
    DWORD Thread = 0;
    HANDLE Done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DulvexSession* Again = nullptr; // asks for the next message from inside the callback
    ~Calls() { CloseHandle(Done); }

    static void DULVEX_SDK_CALL Record(void* context, int result, const DulvexSdkMessage* msg)
    {
        Calls* c = static_cast<Calls*>(context);
        {
            TestLock::Hold hold(c->Lock);
            c->Results.push_back(result);
            c->Cmds.push_back(msg != nullptr ? msg->Cmd : 0);
            c->Thread = GetCurrentThreadId();
        }
        if (c->Again != nullptr && result >= 0) {
            EXPECT_EQ(DulvexSdkReceiveAsync(c->Again, DULVEX_SDK_INFINITE, Record, c), DULVEX_SDK_OK);
        }
        SetEvent(c->Done);
    }
};

TEST_F(SdkSessionTest, AsyncReceiveCallsBackOncePerRequest)
{
    Calls calls;
    calls.Again = s_;
    ASSERT_EQ(DulvexSdkReceiveAsync(s_, DULVEX_SDK_INFINITE, Calls::Record, &calls), DULVEX_SDK_OK);
    EXPECT_EQ(DulvexSdkReceiveAsync(s_, DULVEX_SDK_INFINITE, Calls::Record, &calls), DULVEX_SDK_E_PENDING);
    const uint8_t first[] = {0x01, 0x00, 0x11};
    const uint8_t second[] = {0x02, 0x80, 0x22, 0x00, 0x00};
    ASSERT_EQ(PipeWrite(srv_, first, sizeof first), 3);
    ASSERT_EQ(WaitForSingleObject(calls.Done, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(PipeWrite(srv_, second, sizeof second), 5);
    ASSERT_EQ(WaitForSingleObject(calls.Done, 5000), WAIT_OBJECT_0);
    // The callback asked for a third message: closing cancels it, and calls back before it returns.
    DulvexSdkClose(s_);
    TestLock::Hold hold(calls.Lock);
    EXPECT_EQ(calls.Results, (std::vector<int>{0, 0, DULVEX_SDK_E_CANCELLED}));
    EXPECT_EQ(calls.Cmds, (std::vector<uint16_t>{0x0011, 0x8022, 0}));
    EXPECT_EQ(calls.Thread, GetCurrentThreadId()) << "the cancellation is reported by the closing call";
}

TEST_F(SdkSessionTest, AsyncReceiveTimesOutAndFails)
{
    Calls calls;
    ASSERT_EQ(DulvexSdkReceiveAsync(s_, 0, Calls::Record, &calls), DULVEX_SDK_OK);
    ASSERT_EQ(WaitForSingleObject(calls.Done, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(DulvexSdkReceiveAsync(s_, 20000, Calls::Record, &calls), DULVEX_SDK_OK);
    PipeSrvDestroy(srv_);
    srv_ = nullptr;
    ASSERT_EQ(WaitForSingleObject(calls.Done, 5000), WAIT_OBJECT_0);
    TestLock::Hold hold(calls.Lock);
    EXPECT_EQ(calls.Results, (std::vector<int>{DULVEX_SDK_E_TIMEOUT, DULVEX_SDK_E_DISCONNECTED}));
    EXPECT_NE(calls.Thread, GetCurrentThreadId());
}

}  // namespace
