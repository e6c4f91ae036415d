// The pipe's name while a server runs: taken as the first instance or not at all, never free
// between two clients, never open to a second creator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <memory>
#include <vector>

#include "PipeSrv.h"
#include "pipe_test_util.h"

namespace {

TraceCapture& Trace()
{
    static TraceCapture trace;
    return trace;
}

HANDLE CreateOther(const std::string& name, DWORD instances)
{
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, instances,
                            600, 600, 0, nullptr);
}

TEST(PipeName, HeldByAnotherProgramIsNotServedBeside)
{
    // A program that took the name first, with room for more instances or without.
    // Where the first-instance flag is honoured (Windows) both are refused by it with
    // ERROR_ACCESS_DENIED; Wine refuses the full one with ERROR_PIPE_BUSY and lets the other
    // be created, which the server then finds beside the first.
    struct Case {
        DWORD Instances;
        const char* WineReason;
    } cases[] = {{PIPE_UNLIMITED_INSTANCES, "(2 instances)"}, {1, "(error 231)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Instances);
        Trace().Mark();
        std::string name = TestPipeName("squat");
        HANDLE squatter = CreateOther(name, c.Instances);
        ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
        PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
        EXPECT_EQ(srv, nullptr);
        PipeSrvDestroy(srv);
        std::string text = Trace().Text();
        std::string why = "PipeCreate: the name '" + name + "' is held by another program ";
        std::string tail = ": not served beside it\n";
        EXPECT_TRUE(text.find(why + c.WineReason + tail) != std::string::npos ||
                    text.find(why + "(error 5)" + tail) != std::string::npos)
            << text;
        // The squatter's instance is left alone and still listens.
        EXPECT_TRUE(WaitNamedPipeA(name.c_str(), 0)) << GetLastError();
        CloseHandle(squatter);
        srv = PipeSrvCreate(name.c_str(), 600, 0);
        EXPECT_NE(srv, nullptr) << "the name is free again";
        PipeSrvDestroy(srv);
    }
}

// Another program on the same machine, asking about once a millisecond whether the name exists
// (WaitNamedPipe fails with ERROR_FILE_NOT_FOUND when no instance does) and trying to create an
// instance of its own.
class NameProbe {
public:
    explicit NameProbe(std::string name) : name_(std::move(name)) {}
    ~NameProbe() { Stop(); }
    void Start() { thread_ = std::make_unique<TestThread>([this] { Run(); }); }
    void Stop()
    {
        stop_ = true;
        thread_.reset();
    }
    // Returns once the probe has asked at least once more after the call.
    bool AskedAgain()
    {
        long seen = asks_;
        for (int i = 0; i < 5000 && asks_ < seen + 2; ++i)
            Sleep(1);
        return asks_ >= seen + 2;
    }
    std::atomic<long> asks_{0};
    std::atomic<long> missing_{0};
    std::atomic<long> created_{0};

private:
    void Run()
    {
        for (long i = 0; !stop_; ++i) {
            if (!WaitNamedPipeA(name_.c_str(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND)
                ++missing_;
            HANDLE h = CreateOther(name_, i % 2 == 0 ? 1 : 2);
            if (h != INVALID_HANDLE_VALUE) {
                ++created_;
                CloseHandle(h);
            }
            ++asks_;
            Sleep(1);
        }
    }
    std::string name_;
    std::atomic<bool> stop_{false};
    std::unique_ptr<TestThread> thread_;
};

// Ways a client ends: it leaves after a message, says goodbye with an empty message, sends too
// much, sends too much before the server's first read, leaves without a word, or never reads
// what the server writes.
enum ClientEnd { LEAVES, EMPTY_MESSAGE, OVERSIZED, OVERSIZED_FIRST, SILENT, NEVER_READS, END_COUNT };

TEST(PipeName, NeverFreeWhileClientsComeAndGo)
{
    std::string name = TestPipeName("probe");
    PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
    ASSERT_NE(srv, nullptr);
    NameProbe probe(name);
    probe.Start();
    std::vector<uint8_t> big(700, 0x42);
    const int cycles = 300;
    for (int i = 0; i < cycles; ++i) {
        auto end = static_cast<ClientEnd>(i % END_COUNT);
        // The server listens again as soon as the last client is gone: no retry needed.
        HANDLE client = OpenClient(name, true);
        ASSERT_NE(client, INVALID_HANDLE_VALUE) << "cycle " << i << " error " << GetLastError();
        ClientSend send;
        if (end == OVERSIZED_FIRST)
            ClientSendStart(&send, client, big.data(), 700);
        ASSERT_EQ(AcceptClient(srv), 0) << "cycle " << i;
        switch (end) {
        case LEAVES: {
            const uint8_t msg[] = {0x01, 0x00, 0x10};
            ClientSendStart(&send, client, msg, sizeof msg);
            ASSERT_TRUE(WaitServer(srv));
            uint8_t got[16];
            ASSERT_EQ(GotOverResult(srv), 3);
            ASSERT_EQ(PipeSrvRead(srv, got, sizeof got), 3);
            ClientSendFinish(&send, client);
            CloseHandle(client);
            ASSERT_TRUE(WaitServer(srv));
            ASSERT_EQ(GotOverResult(srv), 0);
            break;
        }
        case EMPTY_MESSAGE:
        case OVERSIZED:
            ClientSendStart(&send, client, big.data(), end == EMPTY_MESSAGE ? 0 : 601);
            ASSERT_TRUE(WaitServer(srv));
            ASSERT_EQ(GotOverResult(srv), 0);
            ClientSendFinish(&send, client);
            CloseHandle(client);
            break;
        case OVERSIZED_FIRST:
            ClientSendFinish(&send, client);
            CloseHandle(client);
            break;
        case SILENT:
            CloseHandle(client);
            ASSERT_TRUE(WaitServer(srv));
            ASSERT_EQ(GotOverResult(srv), 0);
            break;
        case NEVER_READS: {
            int r = 0;
            for (int n = 0; n < 1000 && r >= 0; ++n)
                r = PipeWrite(srv, big.data(), 600);
            ASSERT_EQ(r, -1) << "the queue's bound drops the client";
            CloseHandle(client);
            break;
        }
        default:
            break;
        }
        ASSERT_EQ(srv->Ready, 0) << "cycle " << i;
        // The moment another program would use: after one client, before the next.
        ASSERT_TRUE(probe.AskedAgain());
    }
    probe.Stop();
    printf("%d clients; the probe asked %ld times: name missing %ld, another instance created %ld\n", cycles,
           probe.asks_.load(), probe.missing_.load(), probe.created_.load());
    EXPECT_EQ(probe.missing_, 0) << "of " << probe.asks_ << " asks";
    EXPECT_EQ(probe.created_, 0) << "of " << probe.asks_ << " asks";
    PipeSrvDestroy(srv);
}

}  // namespace
