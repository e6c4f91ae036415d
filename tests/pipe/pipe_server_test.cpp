// The pipe server against real clients on real pipes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sddl.h>

#include "PipeSrv.h"
#include "pipe_test_util.h"

namespace {

bool Contains(const std::string& text, const char* piece) { return text.find(piece) != std::string::npos; }

size_t Count(const std::string& text, const char* piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

std::vector<uint8_t> Pattern(size_t len)
{
    std::vector<uint8_t> bytes(len);
    for (size_t i = 0; i < len; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

class PipeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = TestPipeName("srv");
        srv_ = PipeSrvCreate(name_.c_str(), 600, 0);
        ASSERT_NE(srv_, nullptr);
        trace_.Mark();
    }
    void TearDown() override
    {
        for (HANDLE h : clients_)
            CloseHandle(h);
        PipeSrvDestroy(srv_);
    }
    // A client, opened for overlapped I/O, whose connect the server has taken up.
    HANDLE Connected()
    {
        HANDLE client = Open();
        EXPECT_NE(client, INVALID_HANDLE_VALUE);
        EXPECT_EQ(AcceptClient(srv_), 0);
        EXPECT_EQ(srv_->Ready, 1);
        return client;
    }
    HANDLE Open()
    {
        HANDLE client = OpenClient(name_, true);
        if (client != INVALID_HANDLE_VALUE)
            clients_.push_back(client);
        return client;
    }
    void Drop(HANDLE client)
    {
        for (auto it = clients_.begin(); it != clients_.end(); ++it)
            if (*it == client) {
                clients_.erase(it);
                break;
            }
        CloseHandle(client);
    }
    DWORD Send(HANDLE client, const std::vector<uint8_t>& bytes)
    {
        ClientSend send;
        ClientSendStart(&send, client, bytes.data(), static_cast<DWORD>(bytes.size()));
        return ClientSendFinish(&send, client);
    }
    // A served round: the client's message arrives whole through GotOverResult and PipeSrvRead.
    void ExpectServed(HANDLE client, const std::vector<uint8_t>& bytes)
    {
        ClientSend send;
        ClientSendStart(&send, client, bytes.data(), static_cast<DWORD>(bytes.size()));
        ASSERT_TRUE(WaitServer(srv_));
        ASSERT_EQ(GotOverResult(srv_), static_cast<int>(bytes.size()));
        std::vector<uint8_t> got(2048, 0xEE);
        ASSERT_EQ(PipeSrvRead(srv_, got.data(), 2048), static_cast<int>(bytes.size()));
        got.resize(bytes.size());
        EXPECT_EQ(got, bytes);
        EXPECT_EQ(ClientSendFinish(&send, client), 0u);
    }

    static TraceCapture trace_;
    std::string name_;
    PipeServer* srv_ = nullptr;
    std::vector<HANDLE> clients_;
};

TraceCapture PipeServerTest::trace_;

TEST(PipeServerNone, EveryOperationAcceptsNoServer)
{
    EXPECT_EQ(GotOverResult(nullptr), -1);
    char buf[8];
    EXPECT_EQ(PipeSrvRead(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(PipeSrvRead(nullptr, nullptr, 0), -1);
    EXPECT_EQ(PipeWrite(nullptr, "x", 1), -1);
    EXPECT_EQ(PipeSrvCheck(nullptr), 1);
    EXPECT_EQ(PipeSrvGetEvent(nullptr), nullptr);
    PipeSrvDestroy(nullptr);
}

TEST(PipeServerCreate, RefusesUnusableArguments)
{
    std::string name = TestPipeName("args");
    EXPECT_EQ(PipeSrvCreate(nullptr, 600, 0), nullptr);
    EXPECT_EQ(PipeSrvCreate(name.c_str(), 0, 0), nullptr);
    EXPECT_EQ(PipeSrvCreate(name.c_str(), -5, 0), nullptr);
    EXPECT_EQ(PipeSrvCreate(name.c_str(), 600, -1), nullptr);
    // Not a pipe name: the first instance cannot be created, so there is no server.
    EXPECT_EQ(PipeSrvCreate("\\\\.\\nopipe\\Dulvex", 600, 0), nullptr);
}

TEST_F(PipeServerTest, ZeroInstancesMeansOne)
{
    EXPECT_EQ(srv_->MaxInstances, 1);
    EXPECT_EQ(srv_->BufferSize, 600);
    EXPECT_STREQ(srv_->PipeName, name_.c_str());
    // The server's own instance is the only one: another creator finds no free slot.
    SetLastError(0xdeadbeef);
    HANDLE second = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                     600, 600, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    if (second != INVALID_HANDLE_VALUE)
        CloseHandle(second);
}

TEST_F(PipeServerTest, ListeningServerHasNothingToReport)
{
    HANDLE pipe = srv_->Pipe;
    EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(srv_->Ready, 0);
    EXPECT_FALSE(WaitServer(srv_, 0));
    // Asked before any client came: reported, but the instance is kept and still serves.
    EXPECT_EQ(GotOverResult(srv_), 0);
    std::string text = trace_.Text();
    EXPECT_TRUE(Contains(text, "Warning, IoOperation not completed !!!\n"));
    EXPECT_TRUE(Contains(text, "Error, GetOverlappedResult -> 996 (000003e4)\n"));
    EXPECT_TRUE(Contains(text, "\tERROR_IO_INCOMPLETE :-(\n"));
    EXPECT_EQ(srv_->Pipe, pipe);
    HANDLE client = Connected();
    ExpectServed(client, {0x01, 0x12, 0x34});
}

TEST_F(PipeServerTest, ClientMessageArrivesWhole)
{
    HANDLE client = Connected();
    EXPECT_TRUE(Contains(trace_.Text(), "GotOverResult(ready=0) -> got 0 bytes ....\n"));
    EXPECT_FALSE(WaitServer(srv_, 0));
    ExpectServed(client, {0x05, 0x12, 0x34, 0x41, 0x42});
    ExpectServed(client, Pattern(600));
    ExpectServed(client, {0x00});
}

TEST_F(PipeServerTest, EventStaysSignalledUntilRead)
{
    HANDLE client = Connected();
    std::vector<uint8_t> msg = {0x01, 0x00, 0x10};
    std::vector<uint8_t> next = {0x02, 0x00, 0x11, 0x42};
    ASSERT_EQ(Send(client, msg), 0u);
    ASSERT_EQ(Send(client, next), 0u);
    ASSERT_TRUE(WaitServer(srv_));
    EXPECT_EQ(GotOverResult(srv_), 3);
    EXPECT_TRUE(WaitServer(srv_, 0));
    // Taking the completion up again changes nothing.
    EXPECT_EQ(GotOverResult(srv_), 3);
    uint8_t got[8] = {};
    EXPECT_EQ(PipeSrvRead(srv_, got, sizeof got), 3);
    EXPECT_EQ(memcmp(got, msg.data(), 3), 0);
    // The next message was already there: its read completed at once and signalled the event.
    ASSERT_TRUE(WaitServer(srv_, 0));
    EXPECT_EQ(GotOverResult(srv_), 4);
    EXPECT_EQ(PipeSrvRead(srv_, got, sizeof got), 4);
    EXPECT_EQ(memcmp(got, next.data(), 4), 0);
    EXPECT_FALSE(WaitServer(srv_, 0));
}

TEST_F(PipeServerTest, ReadIntoSmallerBufferOrNone)
{
    HANDLE client = Connected();
    std::vector<uint8_t> msg = Pattern(10);
    ASSERT_EQ(Send(client, msg), 0u);
    ASSERT_TRUE(WaitServer(srv_));
    ASSERT_EQ(GotOverResult(srv_), 10);
    // No destination: the size, and the message stays where it is.
    EXPECT_EQ(PipeSrvRead(srv_, nullptr, 0), 10);
    EXPECT_EQ(PipeSrvRead(srv_, nullptr, 100), 10);
    EXPECT_TRUE(WaitServer(srv_, 0));
    uint8_t got[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(PipeSrvRead(srv_, got, 3), 3);
    EXPECT_EQ(memcmp(got, msg.data(), 3), 0);
    EXPECT_EQ(got[3], 0xEE);
    // The next read was started all the same: the next message is served.
    ExpectServed(client, {0x02, 0x00, 0x11});
}

TEST_F(PipeServerTest, ReadWithoutWaitingMessageCopiesNothing)
{
    HANDLE client = Connected();
    uint8_t got[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(PipeSrvRead(srv_, got, sizeof got), 0);
    EXPECT_EQ(PipeSrvRead(srv_, nullptr, 0), 0);
    EXPECT_EQ(got[0], 0xEE);
    // Nor after a message was taken: the buffer still holds it, but it was handed out once.
    ExpectServed(client, {0x03, 0x77, 0x66});
    EXPECT_EQ(PipeSrvRead(srv_, got, sizeof got), 0);
    EXPECT_EQ(PipeSrvRead(srv_, nullptr, 0), 0);
    EXPECT_EQ(got[0], 0xEE);
    // The outstanding read was left alone.
    ExpectServed(client, {0x04, 0xAB, 0xCD, 0x01});
}

TEST_F(PipeServerTest, ClientGoneDuringReadIsReplaced)
{
    HANDLE first = Connected();
    trace_.Mark();
    Drop(first);
    ASSERT_TRUE(WaitServer(srv_));
    EXPECT_EQ(GotOverResult(srv_), 0);
    std::string text = trace_.Text();
    EXPECT_TRUE(Contains(text, "Error, GetOverlappedResult -> 109 (0000006d)\n")) << text;
    EXPECT_EQ(Count(text, "PipeCreate '"), 1u);
    EXPECT_NE(srv_->Pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(srv_->Ready, 0);
    EXPECT_FALSE(WaitServer(srv_, 0));
    HANDLE next = Connected();
    ExpectServed(next, {0x08, 0x80, 0x00, 0x00, 0x07});
}

TEST_F(PipeServerTest, LastMessageOfDepartingClientIsDelivered)
{
    HANDLE client = Connected();
    std::vector<uint8_t> msg = {0x00, 0x00, 0x00, 0x65, 0x53, 0xF1, 0x00, 0x00, 0x00, 0x00, 0x7B, 'b', 'y', 'e'};
    ASSERT_EQ(Send(client, msg), 0u);
    Drop(client);
    trace_.Mark();
    ASSERT_TRUE(WaitServer(srv_));
    ASSERT_EQ(GotOverResult(srv_), static_cast<int>(msg.size()));
    std::vector<uint8_t> got(2048);
    ASSERT_EQ(PipeSrvRead(srv_, got.data(), 2048), static_cast<int>(msg.size()));
    got.resize(msg.size());
    EXPECT_EQ(got, msg);
    std::string text = trace_.Text();
    EXPECT_TRUE(Contains(text, "Error, ReadFile (PIPE,OVER) -> 109, 0x0000006d\n")) << text;
    EXPECT_TRUE(Contains(text, "\t=> ERROR_BROKEN_PIPE = EOF :-)\n"));
    EXPECT_TRUE(Contains(text, "PipeServRead OKAY, but Start error ...:-{\n"));
    // The next client finds an instance at once, without waiting for the periodic check.
    EXPECT_NE(srv_->Pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(srv_->Ready, 0);
    HANDLE next = Connected();
    ExpectServed(next, {0x01, 0x00, 0x02});
}

TEST_F(PipeServerTest, ZeroByteMessageDropsClient)
{
    HANDLE client = Connected();
    trace_.Mark();
    ASSERT_EQ(Send(client, {}), 0u);
    ASSERT_TRUE(WaitServer(srv_));
    EXPECT_EQ(GotOverResult(srv_), 0);
    std::string text = trace_.Text();
    EXPECT_TRUE(Contains(text, "GotOverResult(ready=1) -> got 0 bytes ....\n"));
    EXPECT_TRUE(Contains(text, "Read ZERO bytes -> the other end ends ?\n"));
    EXPECT_EQ(srv_->Ready, 0);
    // The old client's end is dead.
    EXPECT_NE(Send(client, {0x01, 0x00, 0x00}), 0u);
    HANDLE next = Connected();
    ExpectServed(next, {0x01, 0x00, 0x00});
}

TEST_F(PipeServerTest, OversizedMessageDropsClient)
{
    HANDLE client = Connected();
    trace_.Mark();
    std::vector<uint8_t> big = Pattern(601);
    ClientSend send;
    ClientSendStart(&send, client, big.data(), 601);
    ASSERT_TRUE(WaitServer(srv_));
    EXPECT_EQ(GotOverResult(srv_), 0);
    ClientSendFinish(&send, client);
    EXPECT_TRUE(Contains(trace_.Text(), "Error, GetOverlappedResult -> 234 (000000ea)\n")) << trace_.Text();
    EXPECT_EQ(srv_->Ready, 0);
    // The part of the message that was read is not handed out.
    uint8_t got[700];
    EXPECT_EQ(PipeSrvRead(srv_, nullptr, 0), 0);
    EXPECT_EQ(PipeSrvRead(srv_, got, sizeof got), 0);
    EXPECT_NE(Send(client, {0x01, 0x00, 0x00}), 0u);
    HANDLE next = Connected();
    ExpectServed(next, Pattern(600));
}

TEST_F(PipeServerTest, OversizedMessageBeforeFirstReadDropsClient)
{
    HANDLE pipe = srv_->Pipe;
    HANDLE client = Open();
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> big = Pattern(700);
    ClientSend send;
    ClientSendStart(&send, client, big.data(), 700);
    trace_.Mark();
    ASSERT_TRUE(WaitServer(srv_));
    // The first read fails at once: that client is dropped, and the same instance listens for
    // the next one at once, without waiting for the periodic check.
    EXPECT_EQ(GotOverResult(srv_), 0);
    ClientSendFinish(&send, client);
    std::string text = trace_.Text();
    EXPECT_TRUE(Contains(text, "Error, ReadFile (PIPE,OVER) -> 234, 0x000000ea\n")) << text;
    EXPECT_EQ(srv_->Pipe, pipe);
    EXPECT_EQ(srv_->Ready, 0);
    EXPECT_FALSE(WaitServer(srv_, 0));
    EXPECT_TRUE(WaitNamedPipeA(name_.c_str(), 0)) << GetLastError();
    trace_.Mark();
    EXPECT_EQ(PipeWrite(srv_, "abc", 3), 0);
    EXPECT_EQ(PipeSrvCheck(srv_), 1);
    EXPECT_EQ(srv_->Pipe, pipe);
    HANDLE next = Connected();
    ExpectServed(next, {0x10, 0x00, 0x01, 0xFF});
}

TEST_F(PipeServerTest, WriteWithoutClientIsDiscarded)
{
    EXPECT_EQ(PipeWrite(srv_, "\x01\x12\x34", 3), 0);
    EXPECT_TRUE(Contains(trace_.Text(), "Warning, PipeWrite when server not ready -> discard ...\n"));
    // A connected client whose connect was not yet taken up gets nothing either.
    HANDLE client = Open();
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_EQ(PipeWrite(srv_, "\x01\x12\x34", 3), 0);
    DWORD avail = 99;
    ASSERT_TRUE(PeekNamedPipe(client, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(avail, 0u);
    // After the read side dropped the client, writes are discarded again.
    EXPECT_EQ(AcceptClient(srv_), 0);
    Drop(client);
    ASSERT_TRUE(WaitServer(srv_));
    EXPECT_EQ(GotOverResult(srv_), 0);
    trace_.Mark();
    EXPECT_EQ(PipeWrite(srv_, "\x01\x12\x34", 3), 0);
    EXPECT_TRUE(Contains(trace_.Text(), "Warning, PipeWrite when server not ready -> discard ...\n"));
}

TEST_F(PipeServerTest, WriteReachesClientAsOneMessage)
{
    HANDLE client = Connected();
    std::vector<uint8_t> reply = Pattern(605);
    reply[0] = 0x08;
    // A client read is outstanding, so the message goes straight to it.
    std::vector<uint8_t> got(2048);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL done = ReadFile(client, got.data(), 2048, nullptr, &ov);
    ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
    EXPECT_EQ(PipeWrite(srv_, reply.data(), 605), 605);
    DWORD n = 0;
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(client, &ov, &n, FALSE));
    CloseHandle(ov.hEvent);
    ASSERT_EQ(n, 605u);
    got.resize(n);
    EXPECT_EQ(got, reply);
    // The write did not disturb the server's outstanding read.
    EXPECT_FALSE(WaitServer(srv_, 0));
    ExpectServed(client, {0x01, 0x12, 0x34});
}

// The account served last, as the trace and the held answers name it: each client's own from its
// connect on (under Wine every process has this process's account), none before the first. Wine
// hands the server the client's token even for an anonymous client, so the account "unknown" is
// shown only by the table of the held answers.
TEST_F(PipeServerTest, EachClientsAccountIsLearnedAtItsConnect)
{
    EXPECT_STREQ(srv_->Account, "") << "no client served yet";
    std::string self;
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(DWORD) BYTE info[512];
    DWORD size;
    char* text = nullptr;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, info, sizeof info, &size));
    ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &text));
    self = text;
    LocalFree(text);
    CloseHandle(token);

    const struct {
        DWORD Flags;  // the client's quality of service
        std::string Account;
    } cases[] = {
        {0, self},  // a plain client: impersonation level
        {SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, self},  // as the client library opens it
    };
    for (const auto& c : cases) {
        trace_.Mark();
        HANDLE client = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | c.Flags, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
        clients_.push_back(client);
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
        EXPECT_EQ(AcceptClient(srv_), 0);
        ExpectServed(client, {0x01, 0x00, 0x10});
        EXPECT_EQ(std::string(srv_->Account), c.Account) << std::hex << c.Flags;
        EXPECT_TRUE(Contains(trace_.Text(), ("client " + std::to_string(srv_->Clients)).c_str())) << trace_.Text();
        EXPECT_TRUE(Contains(trace_.Text(), c.Account.c_str())) << trace_.Text();
        // The account stays the owner after its client has gone, until the next one connects.
        Drop(client);
        ASSERT_TRUE(WaitServer(srv_));
        EXPECT_EQ(GotOverResult(srv_), 0);
        EXPECT_EQ(std::string(srv_->Account), c.Account);
    }
}

TEST_F(PipeServerTest, ThousandClientsInARow)
{
    for (int i = 0; i < 1000; ++i) {
        HANDLE client = OpenClient(name_, false);
        ASSERT_NE(client, INVALID_HANDLE_VALUE) << "cycle " << i << " error " << GetLastError();
        ASSERT_TRUE(WaitServer(srv_)) << "cycle " << i;
        ASSERT_EQ(GotOverResult(srv_), 0) << "cycle " << i;
        CloseHandle(client);
        ASSERT_TRUE(WaitServer(srv_)) << "cycle " << i;
        ASSERT_EQ(GotOverResult(srv_), 0) << "cycle " << i;
    }
    HANDLE client = Connected();
    ExpectServed(client, {0x1F, 0x00, 0x10});
}

// CreateNamedPipeA as the server sees it, replaced for one test so that a client connects
// between the creation of an instance and the server's connect request.
using CreateNamedPipeFn = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES);
CreateNamedPipeFn RealCreateNamedPipe = nullptr;
HANDLE EarlyClient = INVALID_HANDLE_VALUE;

HANDLE WINAPI CreateThenConnect(LPCSTR name, DWORD open, DWORD mode, DWORD count, DWORD out, DWORD in, DWORD timeout,
                                LPSECURITY_ATTRIBUTES sa)
{
    HANDLE pipe = RealCreateNamedPipe(name, open, mode, count, out, in, timeout, sa);
    if (pipe != INVALID_HANDLE_VALUE && EarlyClient == INVALID_HANDLE_VALUE)
        EarlyClient = OpenClient(name, true);
    return pipe;
}

// Swaps one entry of this program's import address table; returns the previous one.
void* SwapImport(const char* function, void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name != 0; ++imp) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return previous;
        }
    }
    return nullptr;
}

TEST(PipeServerEarlyClient, ConnectedBeforeConnectRequestIsServed)
{
    TraceCapture trace;
    std::string name = TestPipeName("early");
    RealCreateNamedPipe = reinterpret_cast<CreateNamedPipeFn>(
        SwapImport("CreateNamedPipeA", reinterpret_cast<void*>(&CreateThenConnect)));
    ASSERT_NE(RealCreateNamedPipe, nullptr);
    EarlyClient = INVALID_HANDLE_VALUE;
    PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
    SwapImport("CreateNamedPipeA", reinterpret_cast<void*>(RealCreateNamedPipe));
    ASSERT_NE(srv, nullptr);
    ASSERT_NE(EarlyClient, INVALID_HANDLE_VALUE);
    std::string text = trace.Text();
    EXPECT_TRUE(Contains(text, "\tConnectNamePipe -> 0 -> 535 (00000217)\n")) << text;
    EXPECT_TRUE(Contains(text, "\tOKay, just connected .....\n"));
    // Signalled at once; the next GotOverResult takes the connection up and starts the read.
    EXPECT_TRUE(WaitServer(srv, 0));
    EXPECT_EQ(GotOverResult(srv), 0);
    EXPECT_EQ(srv->Ready, 1);
    uint8_t msg[] = {0x02, 0x12, 0x34, 0x55};
    ClientSend send;
    ClientSendStart(&send, EarlyClient, msg, sizeof msg);
    ASSERT_TRUE(WaitServer(srv));
    EXPECT_EQ(GotOverResult(srv), 4);
    uint8_t got[16];
    EXPECT_EQ(PipeSrvRead(srv, got, sizeof got), 4);
    EXPECT_EQ(memcmp(got, msg, 4), 0);
    EXPECT_EQ(ClientSendFinish(&send, EarlyClient), 0u);
    CloseHandle(EarlyClient);
    PipeSrvDestroy(srv);
}

// CreateNamedPipeA of a platform that knows neither PIPE_REJECT_REMOTE_CLIENTS nor
// FILE_FLAG_FIRST_PIPE_INSTANCE (before Windows 2000 SP2).
HANDLE WINAPI CreateWithoutNewFlags(LPCSTR name, DWORD open, DWORD mode, DWORD count, DWORD out, DWORD in,
                                    DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    if ((open & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0 || (mode & PIPE_MODE_LOCAL_ONLY) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return RealCreateNamedPipe(name, open, mode, count, out, in, timeout, sa);
}

TEST(PipeServerOldPlatform, CreatedWithoutTheFlagsItRefuses)
{
    TraceCapture trace;
    std::string name = TestPipeName("old");
    RealCreateNamedPipe = reinterpret_cast<CreateNamedPipeFn>(
        SwapImport("CreateNamedPipeA", reinterpret_cast<void*>(&CreateWithoutNewFlags)));
    ASSERT_NE(RealCreateNamedPipe, nullptr);
    PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
    SwapImport("CreateNamedPipeA", reinterpret_cast<void*>(RealCreateNamedPipe));
    ASSERT_NE(srv, nullptr);
    std::string text = trace.Text();
    EXPECT_TRUE(Contains(text, "PipeCreate: no PIPE_REJECT_REMOTE_CLIENTS on this platform\n")) << text;
    EXPECT_TRUE(Contains(text, "PipeCreate: no FILE_FLAG_FIRST_PIPE_INSTANCE on this platform\n")) << text;
    EXPECT_EQ(srv->OpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u);
    EXPECT_EQ(srv->PipeMode & PIPE_MODE_LOCAL_ONLY, 0u);
    PipeSrvDestroy(srv);
}

}  // namespace
