// The id and type of the event record each condition writes, as the service writes them when it
// runs detached: this program fills the ReportEventA import slot itself (Wine keeps no event log
// and prints no ids). Every case provokes its condition for real through the code that meets it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "PipeSrv.h"
#include "config.h"
#include "debug.h"
#include "pipe_test_util.h"
#include "registry_helpers.h"

namespace {

struct Record {
    WORD Type;
    DWORD Id;
    std::string Text;
};
std::vector<Record> Records;

BOOL WINAPI CaptureReport(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCSTR* strings, LPVOID)
{
    std::string text;
    for (WORD i = 0; i < count; ++i)
        text += std::string(i ? "|" : "") + (strings[i] ? strings[i] : "");
    Records.push_back({type, id, text});
    return TRUE;
}

}  // namespace

extern "C" {
BOOL(WINAPI* __imp_ReportEventA)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) = CaptureReport;
}

namespace {

std::string Dump()
{
    std::string out;
    for (const Record& r : Records)
        out += "  type " + std::to_string(r.Type) + " id " + std::to_string(r.Id) + ": " + r.Text + "\n";
    return out;
}

// The one record expected, by id, type and a piece of its text.
void ExpectOnly(DWORD id, WORD type, const char* piece, int line)
{
    SCOPED_TRACE(testing::Message() << "from line " << line << "\n" << Dump());
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ(id, Records[0].Id);
    EXPECT_EQ(type, Records[0].Type);
    EXPECT_NE(std::string::npos, Records[0].Text.find(piece));
}

class EventIds : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConsoleDebug = false;  // detached, as under the service manager
        Records.clear();
    }
};

// A client that connects and leaves, again and again, is no condition at all: the connect that
// waits (error 997 underneath) used to be a warning each time.
TEST_F(EventIds, ClientCyclesWriteNothing)
{
    std::string name = TestPipeName("events");
    PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
    ASSERT_NE(nullptr, srv);
    for (int i = 0; i < 3; ++i) {
        HANDLE client = OpenClient(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, client) << "cycle " << i;
        ASSERT_TRUE(WaitServer(srv));
        ASSERT_EQ(0, GotOverResult(srv));
        ASSERT_EQ(3, PipeWrite(srv, "\x01\x00\x05", 3));
        CloseHandle(client);
        ASSERT_TRUE(WaitServer(srv));
        GotOverResult(srv);
        // An answer for a client that has just gone: its departure, not a drop.
        PipeWrite(srv, "\x01\x00\x05", 3);
    }
    PipeSrvDestroy(srv);
    EXPECT_TRUE(Records.empty()) << Dump();
}

TEST_F(EventIds, ClientThatTakesNothingIsDropped)
{
    std::string name = TestPipeName("events-drop");
    PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
    ASSERT_NE(nullptr, srv);
    HANDLE client = OpenClient(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    ASSERT_EQ(0, AcceptClient(srv));
    Records.clear();
    std::vector<uint8_t> msg(500, 0x01);
    int w = 0;
    for (int i = 0; i < 1000 && w >= 0; ++i)
        w = PipeWrite(srv, msg.data(), static_cast<uint32_t>(msg.size()));
    EXPECT_EQ(-1, w);
    ExpectOnly(EVENT_CLIENT_DROPPED, EVENTLOG_WARNING_TYPE, "client's queue is full", __LINE__);
    CloseHandle(client);
    PipeSrvDestroy(srv);
}

TEST_F(EventIds, PipeNameHeldByAnotherProgram)
{
    std::string name = TestPipeName("events-held");
    HANDLE other = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 600, 600, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_EQ(nullptr, PipeSrvCreate(name.c_str(), 600, 0));
    CloseHandle(other);
    ExpectOnly(EVENT_PIPE_TAKEN, EVENTLOG_ERROR_TYPE, "held by another program", __LINE__);
}

TEST_F(EventIds, UnusableAddressFallsBack)
{
    const char bad[] = "999.1.1.1";
    SetRawValue(REG_SZ, bad, sizeof bad);
    char addr[CONFIG_ADDR_SIZE];
    EXPECT_EQ(1, ReadConfigAddr(addr));
    DropVarnokKey();
    EXPECT_STREQ(CONFIG_DEFAULT_ADDR, addr);
    ExpectOnly(EVENT_CONFIG_FALLBACK, EVENTLOG_WARNING_TYPE, "default address 127.0.0.1 used", __LINE__);
}

// The calls that report a failed system call, and each severity's record type.
TEST_F(EventIds, SystemErrorsAndSeverities)
{
    struct {
        void (*Provoke)();
        DWORD Id;
        WORD Type;
        const char* Piece;
    } cases[] = {
        {[] { LogError(" bind() ", WSAEADDRINUSE); }, EVENT_SYSTEM_ERROR, EVENTLOG_ERROR_TYPE, "' bind() ' -> 10048"},
        {[] { SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT); ReportServiceEvent("StartServiceCtrlDispatcher failed."); },
         EVENT_SYSTEM_ERROR, EVENTLOG_ERROR_TYPE, "DulvexService error: 1063: StartServiceCtrlDispatcher failed."},
        {[] { SetLastError(0); ReportServiceEvent("plain"); }, EVENT_APP_INFO, EVENTLOG_INFORMATION_TYPE, "DulvexService: plain"},
        {[] { SetLastError(ERROR_IO_PENDING); LogMessage("\tPending ......\n"); }, 0, 0, nullptr},
        {[] { EventMessage(EVENT_SERVICE_STARTED, "up %d\n", 1); }, EVENT_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, "up 1"},
        {[] { EventMessage(EVENT_APP_NOT_ANSWERING, "down\n"); }, EVENT_APP_NOT_ANSWERING, EVENTLOG_WARNING_TYPE, "down"},
        {[] { EventMessage(EVENT_SERVICE_FAILED, "Done -> %d\n", -3); }, EVENT_SERVICE_FAILED, EVENTLOG_ERROR_TYPE, "Done -> -3"},
        {[] { EventMessage(0, "trace only\n"); }, 0, 0, nullptr},
        {[] { ConsoleDebug = true; EventMessage(EVENT_SERVICE_STOPPED, "console\n"); ConsoleDebug = false; }, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        Records.clear();
        c.Provoke();
        if (c.Id == 0)
            EXPECT_TRUE(Records.empty()) << Dump();
        else
            ExpectOnly(c.Id, c.Type, c.Piece, __LINE__);
    }
}

}  // namespace
