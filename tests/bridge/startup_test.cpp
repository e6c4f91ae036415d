// The bridge's start-up ladder under Wine: every result ServiceMain can end with before it
// serves, each provoked for real. A case runs the bridge in a child process of this program
// (ServiceMain runs once per process), with what blocks its stage held by the parent or, where
// only the process itself can do it, set up in the child.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge.h"
#include "child.h"
#include "config.h"
#include "debug.h"
#include "ident.h"
#include "registry_helpers.h"

namespace {

constexpr char CASE_VARIABLE[] = "DULVEX_STARTUP_CASE";
constexpr char PIPE_NAME[] = "\\\\.\\pipe\\varnok\\Dulvex";
constexpr uint16_t LAST_LINK_PORT = 33336;  // Petro, the last link the bridge creates

bool RefuseSocketStartup = false;

int WSAAPI SocketStartup(WORD version, LPWSADATA data)
{
    if (RefuseSocketStartup)
        return WSASYSNOTREADY;
    using StartupFn = int(WSAAPI*)(WORD, LPWSADATA);
    auto real = reinterpret_cast<StartupFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ws2_32.dll"), "WSAStartup")));
    return real != nullptr ? real(version, data) : WSASYSNOTREADY;
}

}  // namespace

// The bridge calls WSAStartup through its import slot; this program fills that slot itself, so
// that a child can have the socket library refuse to start without a hook in the bridge.
extern "C" {
int(WSAAPI* __imp_WSAStartup)(WORD, LPWSADATA) = SocketStartup;
}

namespace {

std::string TraceName(const char* name) { return std::string("startup_") + name + ".trace"; }

std::string ReadText(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// What the parent holds while the child starts; released at the end of the case.
struct Held {
    HANDLE Pipe = INVALID_HANDLE_VALUE;
    HANDLE Mapping = nullptr;
    SOCKET Socket = INVALID_SOCKET;
};

void HoldNothing(Held*) {}

void BlockKey(Held*) { BlockConfigKey(); }

void TakePipeName(Held* h)
{
    // One instance allowed, and this one takes it.
    h->Pipe = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 600,
                               600, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h->Pipe) << GetLastError();
}

void TakeStatusBlock(Held* h)
{
    h->Mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, IDENT_SIZE, IDENT_NAME);
    ASSERT_NE(nullptr, h->Mapping) << GetLastError();
}

void TakeLinkPort(Held* h)
{
    h->Socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, h->Socket);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(LAST_LINK_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(h->Socket, reinterpret_cast<sockaddr*>(&a), sizeof a)) << WSAGetLastError();
}

void Release(Held* h)
{
    if (h->Pipe != INVALID_HANDLE_VALUE)
        CloseHandle(h->Pipe);
    if (h->Mapping != nullptr)
        CloseHandle(h->Mapping);
    if (h->Socket != INVALID_SOCKET)
        closesocket(h->Socket);
    DropVarnokKey();
}

struct Case {
    const char* Name;
    void (*Hold)(Held*);
    int Result;
    const char* Text;  // in the trace, or on standard output when it goes there
};

const Case CASES[] = {
    {"key", BlockKey, BRIDGE_NO_CONFIG,
     "ReadConfigAddr: key HKLM\\Software\\Varnok\\PaymentTermService cannot be opened"},
    {"winsock", HoldNothing, BRIDGE_NO_SOCKETS, "Error, initialize NerWork :-{"},
    {"port", TakeLinkPort, BRIDGE_NO_LINKS, "Error, terminals init !!!"},
    {"pipe", TakePipeName, BRIDGE_NO_PIPE, "Error, creating server ....."},
    {"ident", TakeStatusBlock, BRIDGE_NO_IDENT, "CreateIdent - already running ?!?!?"},
    {"wait", HoldNothing, BRIDGE_WAIT_FAILED, "WAIT_FAILED: error 6 (00000006)"},
};

class SocketEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(0x0202, &wsa));
    }
    void TearDown() override { WSACleanup(); }
};

const ::testing::Environment* const Environment = ::testing::AddGlobalTestEnvironment(new SocketEnvironment);

// The child's side: runs the bridge once, as the console runner would, and exits with its result.
TEST(StartupChild, Run)
{
    const char* name = getenv(CASE_VARIABLE);
    if (name == nullptr)
        GTEST_SKIP() << "runs only as the child of a start-up case";
    std::string which(name);
    RefuseSocketStartup = which == "winsock";
    // A stop event that is no handle at all: the first wait of the loop fails.
    HANDLE stop = which == "wait" ? nullptr : CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Console mode keeps the event log and the service manager out of it; without a console
    // input the bridge reads no keys and does not wait for one at its end.
    ConsoleDebug = true;
    SetStdHandle(STD_INPUT_HANDLE, nullptr);
    std::string logArg = "-logfile=" + TraceName(name);
    char program[] = "DulvexSrv";
    char* argv[] = {program, &logArg[0], nullptr};
    int result = ServiceMain(2, argv, stop);
    fflush(stdout);
    ExitProcess(static_cast<UINT>(result));
}

// Each stage's result and its text, and nothing served: the bridge ends there.
TEST(Startup, EachStageEndsTheStartWithItsResultAndText)
{
    char self[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, self, sizeof self));
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.Name);
        DropVarnokKey();
        remove(TraceName(c.Name).c_str());
        Held held;
        c.Hold(&held);
        ASSERT_TRUE(SetEnvironmentVariableA(CASE_VARIABLE, c.Name));
        ChildResult child = RunChild("\"" + std::string(self) + "\" --gtest_filter=StartupChild.Run", 60000);
        SetEnvironmentVariableA(CASE_VARIABLE, nullptr);
        Release(&held);
        ASSERT_TRUE(child.Started);
        EXPECT_EQ(static_cast<unsigned long>(c.Result), child.ExitCode) << child.Output;
        std::string trace = ReadText(TraceName(c.Name));
        EXPECT_NE(std::string::npos, (trace + child.Output).find(c.Text)) << trace << child.Output;
        EXPECT_NE(std::string::npos, trace.find("Done -> " + std::to_string(c.Result))) << trace;
        // Only a failed wait comes after the start-up echo.
        bool served = trace.find("'Master': TerminalSend") != std::string::npos;
        EXPECT_EQ(c.Result == BRIDGE_WAIT_FAILED, served) << trace;
    }
}

}  // namespace
