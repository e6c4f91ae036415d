// Messages to the client: queued and written without ever waiting for the client, delivered
// whole and in order, and a client that does not take them is dropped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PipeSrv.h"
#include "pipe_test_util.h"

namespace {

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// Message number n: its length and every byte derive from n.
std::vector<uint8_t> Numbered(int n, size_t len)
{
    std::vector<uint8_t> bytes(len);
    for (size_t i = 0; i < len; ++i)
        bytes[i] = static_cast<uint8_t>(n * 13 + i);
    return bytes;
}

class PipeQueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = TestPipeName("queue");
        srv_ = PipeSrvCreate(name_.c_str(), 600, 0);
        ASSERT_NE(srv_, nullptr);
        client_ = OpenClient(name_);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE);
        ASSERT_EQ(AcceptClient(srv_), 0);
        ASSERT_EQ(srv_->Ready, 1);
        trace_.Mark();
    }
    void TearDown() override
    {
        if (client_ != INVALID_HANDLE_VALUE)
            CloseHandle(client_);
        PipeSrvDestroy(srv_);
    }
    // After a drop: the same instance listens, writes are discarded, the next client is served.
    void ExpectNextClientServed(HANDLE pipe)
    {
        EXPECT_EQ(srv_->Ready, 0);
        EXPECT_EQ(srv_->Pipe, pipe);
        EXPECT_EQ(PipeWrite(srv_, "abc", 3), 0);
        if (client_ != INVALID_HANDLE_VALUE)
            CloseHandle(client_);
        client_ = OpenClient(name_);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_EQ(AcceptClient(srv_), 0);
        ASSERT_EQ(PipeWrite(srv_, "\x01\x00\x05", 3), 3);
        uint8_t got[8];
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(client_, got, sizeof got, &n, nullptr));
        EXPECT_EQ(n, 3u);
    }

    static TraceCapture trace_;
    std::string name_;
    PipeServer* srv_ = nullptr;
    HANDLE client_ = INVALID_HANDLE_VALUE;
};

TraceCapture PipeQueueTest::trace_;

TEST_F(PipeQueueTest, QueueReachesLateReaderWholeAndInOrder)
{
    // Far more than the pipe's own buffer takes, while the client reads nothing: every write
    // returns at once, the rest waits in the queue.
    const int count = 40;
    for (int n = 0; n < count; ++n)
        ASSERT_EQ(PipeWrite(srv_, Numbered(n, 300 + n * 7).data(), 300 + n * 7), 300 + n * 7) << n;
    EXPECT_EQ(srv_->Writing, 1);
    EXPECT_GT(srv_->OutCount, 1u);
    EXPECT_EQ(srv_->Ready, 1);
    EXPECT_TRUE(Contains(trace_.Text(), "PipeWrite -> overlapped, ")) << trace_.Text();
    // The first writes completed at once and signalled the write event; the one left pending
    // unsignalled it as it began, so the wait does not wake before the client takes something.
    EXPECT_EQ(WaitForSingleObject(PipeSrvGetWriteEvent(srv_), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    std::vector<std::vector<uint8_t>> got;
    TestThread reader([&] {
        std::vector<uint8_t> buf(2048);
        for (int n = 0; n < count; ++n) {
            DWORD len = 0;
            if (!ReadFile(client_, buf.data(), 2048, &len, nullptr))
                return;
            got.emplace_back(buf.begin(), buf.begin() + len);
        }
    });
    // The write event is all the server needs to drain the queue.
    for (int i = 0; i < 1000 && (srv_->OutCount > 0 || srv_->Writing); ++i) {
        if (WaitForSingleObject(PipeSrvGetWriteEvent(srv_), 5000) != WAIT_OBJECT_0)
            break;
        EXPECT_EQ(PipeSrvWritten(srv_), 1);
    }
    reader.Join();
    EXPECT_EQ(srv_->OutCount, 0u);
    EXPECT_EQ(srv_->OutBytes, 0u);
    ASSERT_EQ(got.size(), static_cast<size_t>(count));
    for (int n = 0; n < count; ++n)
        EXPECT_EQ(got[n], Numbered(n, 300 + n * 7)) << n;
    // Nothing is left to write: the event rests, so it cannot spin the bridge's wait.
    EXPECT_EQ(WaitForSingleObject(PipeSrvGetWriteEvent(srv_), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(PipeQueueTest, ClientThatNeverReadsIsDropped)
{
    // Full replies pass the bound in bytes, small ones the bound in messages.
    struct Case {
        size_t Len;
        uint32_t Bound;
        const char* Trace;
    } cases[] = {
        {605, PIPE_OUT_QUEUE_BYTES / 605, "PipeWrite: client's queue is full ("},
        {3, PIPE_OUT_QUEUE_MESSAGES, "PipeWrite: client's queue is full (256 messages, 768 bytes) -> drop it\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Len);
        HANDLE pipe = srv_->Pipe;
        std::vector<uint8_t> reply = Numbered(1, c.Len);
        uint32_t accepted = 0;
        int r = 0;
        for (; accepted < 100000; ++accepted) {
            r = PipeWrite(srv_, reply.data(), static_cast<uint32_t>(c.Len));
            if (r != static_cast<int>(c.Len))
                break;
        }
        EXPECT_EQ(r, -1);
        // The queue holds its bound besides what the pipe itself took.
        EXPECT_GE(accepted, c.Bound);
        std::string text = trace_.Text();
        EXPECT_TRUE(Contains(text, c.Trace)) << text;
        EXPECT_FALSE(Contains(text, "took nothing for")) << text;
        ExpectNextClientServed(pipe);
        trace_.Mark();
    }
}

TEST_F(PipeQueueTest, ClientThatTakesNothingForAWhileIsDropped)
{
    HANDLE pipe = srv_->Pipe;
    DWORD before = GetTickCount();
    // More than the pipe's buffer, far less than the queue's bound.
    std::vector<uint8_t> reply = Numbered(2, 600);
    for (int n = 0; n < 20; ++n)
        ASSERT_EQ(PipeWrite(srv_, reply.data(), 600), 600) << n;
    ASSERT_EQ(srv_->Writing, 1);
    // The periodic check, as the bridge calls it, keeps the client until the time is up.
    for (int i = 0; i < 100 && srv_->Ready == 1; ++i) {
        EXPECT_EQ(PipeSrvCheck(srv_), 1);
        if (srv_->Ready == 1) {
            EXPECT_LT(GetTickCount() - before, 2 * PIPE_WRITE_TIMEOUT_MS);
        }
        Sleep(100);
    }
    EXPECT_GE(GetTickCount() - before, PIPE_WRITE_TIMEOUT_MS);
    std::string text = trace_.Text();
    EXPECT_TRUE(Contains(text, "PipeWrite: client took nothing for 3000 ms -> drop it\n")) << text;
    ExpectNextClientServed(pipe);
}

TEST_F(PipeQueueTest, WriteToClientThatLeftDropsIt)
{
    HANDLE pipe = srv_->Pipe;
    CloseHandle(client_);
    client_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(PipeWrite(srv_, "\x01\x00\x05", 3), -1);
    EXPECT_TRUE(Contains(trace_.Text(), "PipeWrite error -> 232 (000000e8) -> drop the client\n")) << trace_.Text();
    ExpectNextClientServed(pipe);
}

// A client that wrote its last message and left before the service took it: a write to it
// must not lose that message with the connection.
TEST_F(PipeQueueTest, WriteToClientThatLeftKeepsItsLastMessage)
{
    HANDLE pipe = srv_->Pipe;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(client_, "\x08\x07\x77", 3, &n, nullptr));
    CloseHandle(client_);
    client_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(WaitForSingleObject(PipeSrvGetEvent(srv_), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(PipeWrite(srv_, "\x01\x00\x05", 3), -1);
    EXPECT_EQ(PipeWrite(srv_, "\x01\x00\x06", 3), -1);
    ASSERT_EQ(GotOverResult(srv_), 3);
    uint8_t got[8] = {};
    ASSERT_EQ(PipeSrvRead(srv_, got, sizeof got), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 3), std::string("\x08\x07\x77", 3));
    EXPECT_TRUE(Contains(trace_.Text(), "its last message of 3 bytes is still taken")) << trace_.Text();
    ExpectNextClientServed(pipe);
}

}  // namespace
