// termsim as a process on loopback (bound to 127.0.0.2, talking to 127.0.0.1), against a scripted
// peer that plays the service's side datagram by datagram.
#include "soak.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#ifndef TERMSIM_PATH
#error TERMSIM_PATH names the termsim program under test
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t PORT_MASTER = 33332;
constexpr uint16_t PORT_FLEET = 33333;
constexpr uint16_t PORT_MBCA = 33334;
constexpr uint16_t PORT_MAINT = 33335;
constexpr uint16_t PORT_PETRO = 33336;

// One run of termsim with its standard output captured.
struct Termsim {
    pid_t Pid = -1;
    int Out = -1;
    std::string Text;

    void Start(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--bind=127.0.0.2", "--peer=127.0.0.1"});
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        Pid = fork();
        ASSERT_GE(Pid, 0);
        if (Pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv = {const_cast<char*>(TERMSIM_PATH)};
            for (auto& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(TERMSIM_PATH, argv.data());
            _exit(127);
        }
        close(fds[1]);
        Out = fds[0];
        // termsim says "ready" once its sockets are bound.
        ReadUntil("\n", 5000);
        ASSERT_EQ(0u, Text.rfind("ready bind=127.0.0.2 peer=127.0.0.1\n", 0)) << Text;
    }

    void ReadUntil(const char* marker, int timeoutMs)
    {
        while (Text.find(marker) == std::string::npos) {
            pollfd p{Out, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return;
            char buf[4096];
            ssize_t n = read(Out, buf, sizeof buf);
            if (n <= 0)
                return;
            Text.append(buf, size_t(n));
        }
    }

    // Ends the run like an operator would (SIGTERM) and returns the exit code.
    int Stop(int sig = SIGTERM)
    {
        if (Pid > 0 && sig)
            kill(Pid, sig);
        return Wait();
    }

    int Wait()
    {
        ReadUntil("\nrun seconds=", 20000);
        ReadUntil("\n", 1000);  // rest of the last line, up to end of file
        for (;;) {
            char buf[4096];
            ssize_t n = read(Out, buf, sizeof buf);
            if (n <= 0)
                break;
            Text.append(buf, size_t(n));
        }
        int status = 0;
        if (Pid > 0)
            waitpid(Pid, &status, 0);
        Pid = -1;
        if (Out >= 0)
            close(Out);
        Out = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // Value of key in the summary line that starts with prefix ("app=Master", "total", ...).
    long Value(const std::string& prefix, const std::string& key) const
    {
        size_t line = Text.find("\n" + prefix + " ");
        if (line == std::string::npos)
            return -1;
        size_t end = Text.find('\n', line + 1);
        std::string l = Text.substr(line, end - line) + " ";
        size_t k = l.find(" " + key + "=");
        if (k == std::string::npos)
            return -1;
        return strtol(l.c_str() + k + key.size() + 2, nullptr, 10);
    }

    bool HasLine(const std::string& line) const { return Text.find("\n" + line + "\n") != std::string::npos; }

    ~Termsim()
    {
        if (Pid > 0) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0)
            close(Out);
    }
};

// The service's end of one application's link, scripted by hand.
struct Peer {
    int Fd = -1;
    uint16_t Port;

    explicit Peer(uint16_t port, uint16_t localPort = 0) : Port(port)
    {
        Fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(localPort ? localPort : port);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(0, bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) << strerror(errno);
    }
    ~Peer() { close(Fd); }

    void Send(const Bytes& b)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(Port);
        inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
        ASSERT_EQ(ssize_t(b.size()), sendto(Fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a));
    }

    // The next datagram, or an empty one when none comes within timeoutMs.
    Bytes Recv(int timeoutMs = 3000)
    {
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return {};
        uint8_t buf[2048];
        ssize_t n = recv(Fd, buf, sizeof buf, 0);
        return n > 0 ? Bytes(buf, buf + n) : Bytes{};
    }
};

Bytes HostData(uint8_t seq, uint16_t cmd, const Bytes& data, uint8_t flags = 0x08)
{
    Bytes f = {flags, seq, 0, uint8_t(2 + data.size()), uint8_t(cmd >> 8), uint8_t(cmd)};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes SoakFrame(uint8_t seq, uint32_t num, uint32_t total)
{
    TermPacket p{};
    SoakFill(&p, num, total, 12);
    return HostData(seq, uint16_t(p.Cmd), Bytes(p.Data, p.Data + p.Len));
}

TEST(TermsimRun, AnswersCommandAcksRepeatOnceAndDeliversNothingTwice)
{
    Peer master(PORT_MASTER);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Master"}));
    master.Send(HostData(0, 0x1234, {0x41, 0x42}));
    EXPECT_EQ((Bytes{0x04, 0x00}), master.Recv());
    // The response: command | 0x8000, status 0, the same data, our first number 0.
    EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x06, 0x92, 0x34, 0x00, 0x00, 0x41, 0x42}), master.Recv());
    master.Send({0x0C, 0x00});
    // Our ACK was lost: the same frame comes again and is acknowledged again, not answered again.
    master.Send(HostData(0, 0x1234, {0x41, 0x42}));
    EXPECT_EQ((Bytes{0x04, 0x00}), master.Recv());
    master.Send(HostData(1, 0x1235, {}));
    EXPECT_EQ((Bytes{0x04, 0x01}), master.Recv());
    EXPECT_EQ((Bytes{0x00, 0x01, 0x00, 0x04, 0x92, 0x35, 0x00, 0x00}), master.Recv());
    master.Send({0x0C, 0x01});
    EXPECT_EQ(Bytes{}, master.Recv(300));
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(2, t.Value("app=Master", "delivered_in"));
    EXPECT_EQ(1, t.Value("app=Master", "dup_suppressed"));
    EXPECT_EQ(2, t.Value("app=Master", "replies"));
    EXPECT_EQ(2, t.Value("app=Master", "delivered_out"));
    EXPECT_EQ(0, t.Value("app=Master", "retransmits"));
    EXPECT_EQ(2, t.Value("total", "delivered_in"));
    EXPECT_EQ(-1, t.Value("app=Fleet", "delivered_in"));  // not played
}

TEST(TermsimRun, UnexpectedNumberGetsResyncNakAndResponsesAreNotAnswered)
{
    Peer fleet(PORT_FLEET);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Fleet"}));
    fleet.Send(HostData(9, 0x0300, {1}));
    EXPECT_EQ((Bytes{0x03, 0x09}), fleet.Recv());
    fleet.Send(HostData(9, 0x0300, {1}, 0x09));
    EXPECT_EQ((Bytes{0x04, 0x09}), fleet.Recv());
    EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x05, 0x83, 0x00, 0x00, 0x00, 0x01}), fleet.Recv());
    fleet.Send({0x0C, 0x00});
    // A response from the service (with its status word) is acknowledged, never answered.
    fleet.Send({0x08, 0x0A, 0x00, 0x04, 0x80, 0x00, 0x00, 0x07});
    EXPECT_EQ((Bytes{0x04, 0x0A}), fleet.Recv());
    EXPECT_EQ(Bytes{}, fleet.Recv(300));
    EXPECT_EQ(0, t.Stop(SIGINT));
    EXPECT_EQ(1, t.Value("app=Fleet", "nak_sent"));
    EXPECT_EQ(2, t.Value("app=Fleet", "delivered_in"));
    EXPECT_EQ(1, t.Value("app=Fleet", "replies"));
    EXPECT_EQ(1, t.Value("app=Fleet", "responses"));
    EXPECT_EQ(1, t.Value("app=Fleet", "echo_resp"));
}

TEST(TermsimRun, RepliesOnlyForChosenApplications)
{
    Peer master(PORT_MASTER), fleet(PORT_FLEET);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Master,Fleet", "--reply=Fleet"}));
    master.Send(HostData(0, 0x0000, {0x00}));
    EXPECT_EQ((Bytes{0x04, 0x00}), master.Recv());
    EXPECT_EQ(Bytes{}, master.Recv(300));
    fleet.Send(HostData(0, 0x0000, {0x00}));
    EXPECT_EQ((Bytes{0x04, 0x00}), fleet.Recv());
    EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x05, 0x80, 0x00, 0x00, 0x00, 0x00}), fleet.Recv());
    fleet.Send({0x0C, 0x00});
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(0, t.Value("app=Master", "replies"));
    EXPECT_EQ(1, t.Value("app=Fleet", "replies"));
}

TEST(TermsimRun, SilentNeverAnswersButCountsRetransmissions)
{
    Peer maint(PORT_MAINT);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Maint", "--silent"}));
    for (int i = 0; i < 3; ++i)
        maint.Send(HostData(0, 0x0000, {0x00}));
    maint.Send(HostData(1, 0x0000, {0x00}));
    EXPECT_EQ(Bytes{}, maint.Recv(500));
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(4, t.Value("app=Maint", "data_in"));
    EXPECT_EQ(2, t.Value("app=Maint", "retrans_seen"));
    EXPECT_EQ(0, t.Value("app=Maint", "delivered_in"));
}

TEST(TermsimRun, StartNumberResyncsOnNakAndEchoRequestsGoOut)
{
    Peer maint(PORT_MAINT);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Maint", "--start-seq=77", "--echo=Maint,2"}));
    EXPECT_EQ((Bytes{0x00, 77, 0x00, 0x03, 0x00, 0x00, 0x00}), maint.Recv());
    maint.Send({0x0B, 77});
    EXPECT_EQ((Bytes{0x01, 77, 0x00, 0x03, 0x00, 0x00, 0x00}), maint.Recv());
    maint.Send({0x0C, 77});
    EXPECT_EQ((Bytes{0x00, 78, 0x00, 0x03, 0x00, 0x00, 0x00}), maint.Recv());
    maint.Send({0x0C, 78});
    EXPECT_EQ(Bytes{}, maint.Recv(300));
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(2, t.Value("app=Maint", "delivered_out"));
    EXPECT_EQ(1, t.Value("app=Maint", "nak_resends"));
    EXPECT_EQ(0, t.Value("app=Maint", "abandoned"));
}

TEST(TermsimRun, UnansweredFrameIsSentFourTimesThenAbandoned)
{
    Peer petro(PORT_PETRO);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Petro", "--send=2", "--idle=1"}));
    Bytes first = SoakFrame(0, 0, 2);
    first[0] = 0x00;  // the terminal's direction
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(first, petro.Recv(2000)) << i;
    // Given up: the next frame goes out with the next number; the peer then takes it.
    Bytes second = SoakFrame(1, 1, 2);
    second[0] = 0x00;
    EXPECT_EQ(second, petro.Recv(2000));
    petro.Send({0x0C, 0x01});
    EXPECT_EQ(Bytes{}, petro.Recv(300));
    // Nothing left to do: --idle ends the run by itself.
    EXPECT_EQ(0, t.Wait());
    EXPECT_EQ(3, t.Value("app=Petro", "retransmits"));
    EXPECT_EQ(1, t.Value("app=Petro", "abandoned"));
    EXPECT_EQ(1, t.Value("app=Petro", "delivered_out"));
    EXPECT_EQ(2, t.Value("app=Petro", "soak_out_sent"));
    EXPECT_TRUE(t.HasLine("abandoned app=Petro num=0"));
}

TEST(TermsimRun, NumberedPacketsAreCheckedForGapsAndRepeats)
{
    Peer mbca(PORT_MBCA);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=MBCA", "--reply=none"}));
    mbca.Send(SoakFrame(0, 0, 5));
    mbca.Send(SoakFrame(1, 1, 5));
    mbca.Send(SoakFrame(2, 3, 5));
    // A numbered packet that comes again under a fresh frame number is a repeat delivered.
    mbca.Send(SoakFrame(3, 3, 5));
    for (uint8_t seq = 0; seq < 4; ++seq)
        EXPECT_EQ((Bytes{0x04, seq}), mbca.Recv());
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(3, t.Value("app=MBCA", "soak_in_ok"));
    EXPECT_EQ(2, t.Value("app=MBCA", "soak_in_missing"));  // 2, and 4 at the end
    EXPECT_EQ(1, t.Value("app=MBCA", "soak_in_repeats"));
    EXPECT_TRUE(t.HasLine("missing app=MBCA num=2"));
    EXPECT_TRUE(t.HasLine("missing app=MBCA num=4"));
}

TEST(TermsimRun, InboundFaultsForeignSendersAndOversizeDatagrams)
{
    Peer master(PORT_MASTER);
    Peer stranger(PORT_MASTER, 40999);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Master", "--in-drop=1", "--seed=7"}));
    master.Send(HostData(0, 0x0001, {}));
    EXPECT_EQ(Bytes{}, master.Recv(300));
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(0, t.Value("app=Master", "data_in"));
    EXPECT_EQ(1, t.Value("faults dir=in", "dropped"));
    EXPECT_EQ(0, t.Value("faults dir=out", "dropped"));

    Termsim u;
    ASSERT_NO_FATAL_FAILURE(u.Start({"--apps=Master"}));
    stranger.Send(HostData(0, 0x0001, {}));
    master.Send(Bytes(700, 0x08));
    EXPECT_EQ(Bytes{}, master.Recv(300));
    EXPECT_EQ(Bytes{}, stranger.Recv(10));
    EXPECT_EQ(0, u.Stop());
    EXPECT_EQ(1, u.Value("app=Master", "foreign"));
    EXPECT_EQ(1, u.Value("app=Master", "oversize"));
    EXPECT_EQ(0, u.Value("app=Master", "data_in"));
}

TEST(TermsimRun, OutboundDuplicatesAreAcknowledgedOnceByTheirNumber)
{
    Peer master(PORT_MASTER);
    Termsim t;
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Master", "--out-dup=1", "--echo=Master"}));
    const Bytes echo = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    EXPECT_EQ(echo, master.Recv());
    EXPECT_EQ(echo, master.Recv());
    master.Send({0x0C, 0x00});
    master.Send({0x0C, 0x00});
    EXPECT_EQ(Bytes{}, master.Recv(300));
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(1, t.Value("app=Master", "delivered_out"));
    EXPECT_EQ(1, t.Value("app=Master", "stale_ack"));
    EXPECT_EQ(1, t.Value("faults dir=out", "duplicated"));
}

TEST(TermsimRun, InboundReorderSwapsNeighboursAndDelayedDatagramsStillArrive)
{
    Peer master(PORT_MASTER);
    Termsim t;
    // Every datagram in is held until the next one has passed; every one out is delayed.
    ASSERT_NO_FATAL_FAILURE(t.Start({"--apps=Master", "--reply=none", "--in-reorder=1", "--out-delay-ms=50"}));
    master.Send(HostData(0, 0x0001, {}));
    master.Send(HostData(1, 0x0001, {}));
    // Frame 1 is seen first, out of step; then frame 0 is accepted. The delays on the way out
    // may swap the two answers.
    std::vector<Bytes> answers = {master.Recv(), master.Recv()};
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ((std::vector<Bytes>{{0x03, 0x01}, {0x04, 0x00}}), answers);
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(1, t.Value("app=Master", "delivered_in"));
    EXPECT_EQ(1, t.Value("app=Master", "nak_sent"));
    EXPECT_EQ(1, t.Value("faults dir=in", "reordered"));
    EXPECT_EQ(2, t.Value("faults dir=out", "delayed"));
}

TEST(TermsimRun, CommandLineErrorsAndHelp)
{
    Termsim t;
    t.Pid = fork();
    if (t.Pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(TERMSIM_PATH, TERMSIM_PATH, "--peer=192.0.2.1", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(t.Pid, &status, 0);
    t.Pid = -1;
    EXPECT_EQ(2, WEXITSTATUS(status));

    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(TERMSIM_PATH, TERMSIM_PATH, "--help", nullptr);
        _exit(127);
    }
    waitpid(pid, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
