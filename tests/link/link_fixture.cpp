#include "link_fixture.h"

#include <cstdio>
#include <cstring>

#include "debug.h"

namespace {

constexpr char TRACE_FILE[] = "link_test.trace";
constexpr int WAIT_MS = 2000;
const uint8_t LOOPBACK[4] = {127, 0, 0, 1};

long TraceOffset = 0;
std::vector<std::string> Unread;

// Appends the lines written since the last read to Unread.
void ReadTrace(bool keep)
{
    FILE* f = fopen(TRACE_FILE, "rb");
    if (f == nullptr)
        return;
    fseek(f, TraceOffset, SEEK_SET);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    // Only whole lines: a line still being written stays for the next read.
    size_t end = text.rfind('\n');
    if (end == std::string::npos)
        return;
    TraceOffset += static_cast<long>(end + 1);
    size_t start = 0;
    while (start <= end) {
        size_t eol = text.find('\n', start);
        std::string line = text.substr(start, eol - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t body = line.find("]: ");
        if (keep)
            Unread.push_back(body == std::string::npos ? line : line.substr(body + 3));
        start = eol + 1;
    }
}

void FakeClock(struct TimeStamp* stamp) { *stamp = FakeNow; }

class LinkEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(0, LinkStartup());
        remove(TRACE_FILE);
        // Console mode: errors go to the trace only, not to the event log.
        ConsoleDebug = true;
        ASSERT_TRUE(OpenTrace(TRACE_FILE));
    }
    void TearDown() override { LinkCleanup(); }
};

const ::testing::Environment* const Environment = ::testing::AddGlobalTestEnvironment(new LinkEnvironment);

}  // namespace

struct TimeStamp FakeNow = {1000000, 0};

void AdvanceMs(int ms)
{
    int64_t total = static_cast<int64_t>(FakeNow.Seconds) * 1000 + FakeNow.Microseconds / 1000 + ms;
    FakeNow.Seconds = static_cast<int32_t>(total / 1000);
    FakeNow.Microseconds = static_cast<int32_t>(total % 1000) * 1000;
}

std::vector<std::string> TakeTrace()
{
    ReadTrace(true);
    std::vector<std::string> lines;
    lines.swap(Unread);
    return lines;
}

bool TraceHas(const std::vector<std::string>& lines, const std::string& part)
{
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

Bytes Frame(std::initializer_list<int> bytes)
{
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

Bytes DataFrame(uint8_t flags, uint8_t seq, uint16_t cmd, std::initializer_list<int> data, int status)
{
    Bytes f = {flags, seq, 0, 0, static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd)};
    if (status >= 0) {
        f.push_back(static_cast<uint8_t>(status >> 8));
        f.push_back(static_cast<uint8_t>(status));
    }
    for (int b : data)
        f.push_back(static_cast<uint8_t>(b));
    size_t length = f.size() - 4;
    f[2] = static_cast<uint8_t>(length >> 8);
    f[3] = static_cast<uint8_t>(length);
    return f;
}

Peer::Peer()
{
    const char* call = "";
    EXPECT_EQ(0, LinkSocketOpen(&socket_));
    EXPECT_EQ(0, LinkSocketBind(socket_, 0));
    EXPECT_EQ(0, LinkEventAttach(socket_, &event_, &call)) << call;
    port_ = LinkSocketPort(socket_);
    EXPECT_NE(0, port_);
}

Peer::~Peer()
{
    LinkSocketClose(socket_);
    LinkEventClose(event_);
}

void Peer::ConnectTo(uint16_t port) { EXPECT_EQ(0, LinkSocketConnect(socket_, LOOPBACK, port)); }

void Peer::Send(const Bytes& datagram)
{
    EXPECT_EQ(static_cast<int>(datagram.size()),
              LinkSocketSend(socket_, datagram.data(), static_cast<uint32_t>(datagram.size())));
}

Bytes Peer::Take()
{
    uint8_t buf[2048];
    for (int waited = 0;; waited += 50) {
        LinkEventReset(event_);
        int n = LinkSocketRecv(socket_, buf, sizeof buf);
        if (n >= 0)
            return Bytes(buf, buf + n);
        if (waited >= WAIT_MS)
            return Bytes();
        LinkEventWait(event_, 50);
    }
}

void LinkTest::SetUp()
{
    FakeNow = {1000000, 0};
    TerminalSetClock(FakeClock);
    ASSERT_EQ(1, TerminalInitPorts("Test", "127.0.0.1", 0, peer.Port(), &t));
    peer.ConnectTo(LinkSocketPort(t->Socket));
    TakeTrace();
}

void LinkTest::TearDown()
{
    TerminalClose(t);
    TerminalSetClock(nullptr);
}

int LinkTest::Deliver(const Bytes& datagram)
{
    peer.Send(datagram);
    EXPECT_TRUE(LinkEventWait(TerminalEvent(t), WAIT_MS));
    return TerminalRecv(t, &pkt);
}

void LinkTest::ExpectNothingSent(int line)
{
    ReadTrace(true);
    TerminalSendLink(t, FLAG_ACK, 0xEE);
    ReadTrace(false);
    EXPECT_EQ(Frame({0x0C, 0xEE}), peer.Take()) << "something was sent before the marker, line " << line;
}
