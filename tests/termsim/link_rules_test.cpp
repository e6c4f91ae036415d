// The service's link code, natively, seen from the terminal: a scripted terminal socket in the
// terminal's namespace (198.18.0.2) exchanges datagrams one by one with a real Terminal on the
// host side. Besides the ordinary exchanges, it checks that no duplicate of a frame is ever
// delivered twice: a duplicated resync frame, and a late NAK after the ACK.
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "netcheck.h"
#include "terminal.h"

#ifndef NETNS_SCRIPT
#error NETNS_SCRIPT names scripts/netns.sh
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t PORT = 33332;

bool g_netnsUp = false;
int g_useLock = -1;

// A UDP socket bound to 198.18.0.2:port inside the terminal's namespace, or -errno with the
// failing step in *what. A socket keeps the namespace it was made in, so a short-lived thread
// enters the namespace to create it.
int TerminalSideSocket(uint16_t port, std::string* what)
{
    int fd = -1;
    std::thread t([&] {
        int ns = open("/run/netns/dulvex-term", O_RDONLY | O_CLOEXEC);
        if (ns < 0) {
            *what = "open namespace";
            fd = -errno;
            return;
        }
        if (setns(ns, CLONE_NEWNET) != 0) {
            *what = "setns";
            fd = -errno;
            close(ns);
            return;
        }
        close(ns);
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, "198.18.0.2", &a.sin_addr);
        sockaddr_in peer = a;
        inet_pton(AF_INET, "198.18.0.1", &peer.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            *what = "bind";
        } else if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
            *what = "connect";
        } else {
            return;
        }
        int e = errno;
        close(fd);
        fd = -e;
    });
    t.join();
    return fd;
}

class LinkRules : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0)
            return;
        // One user of the namespace at a time, across build trees and CTest runs.
        g_useLock = open("/run/lock/dulvex-netns-use.lock", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (g_useLock < 0 || flock(g_useLock, LOCK_EX) != 0)
            return;
        g_netnsUp = system(NETNS_SCRIPT " up") == 0;
    }
    static void TearDownTestSuite()
    {
        if (g_netnsUp && system(NETNS_SCRIPT " down") != 0)
            ADD_FAILURE() << "netns.sh down failed";
        g_netnsUp = false;
        if (g_useLock >= 0)
            close(g_useLock);
        g_useLock = -1;
    }

    void SetUp() override
    {
        if (!g_netnsUp)
            GTEST_SKIP() << "needs root and the terminal's namespace";
        // Nothing is sent to 198.18.0.2 unless it is on our own veth pair.
        ASSERT_TRUE(PeerIsDirect("198.18.0.2"));
        std::string what;
        peer_ = TerminalSideSocket(PORT, &what);
        ASSERT_GE(peer_, 0) << what << ": " << strerror(-peer_);
        ASSERT_EQ(1, TerminalInit("Master", "198.18.0.2", PORT, &t_))
            << "is another process holding UDP port " << PORT << "? (ss -uanp)";
        memset(&pkt_, 0, sizeof pkt_);
    }

    void TearDown() override
    {
        if (t_)
            TerminalClose(t_);
        if (peer_ >= 0)
            close(peer_);
    }

    void TermSend(const Bytes& b) { ASSERT_EQ(ssize_t(b.size()), send(peer_, b.data(), b.size(), 0)); }

    Bytes TermRecv(int timeoutMs = 2000)
    {
        pollfd p{peer_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return {};
        uint8_t buf[2048];
        ssize_t n = recv(peer_, buf, sizeof buf, 0);
        return n > 0 ? Bytes(buf, buf + n) : Bytes{};
    }

    // TerminalRecv once a datagram waits (the bridge calls it when the event is signalled).
    int LinkRecv()
    {
        pollfd p{TerminalEvent(t_), POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return -100;
        return TerminalRecv(t_, &pkt_);
    }

    int LinkSend(uint32_t cmd, const Bytes& data)
    {
        TermPacket p{};
        p.Cmd = cmd;
        p.Len = uint32_t(data.size());
        if (!data.empty())
            memcpy(p.Data, data.data(), data.size());
        return TerminalSend(t_, &p);
    }

    int peer_ = -1;
    Terminal* t_ = nullptr;
    TermPacket pkt_;
};

TEST_F(LinkRules, EchoGoesOutAndTheTerminalsAckEndsIt)
{
    EXPECT_EQ(1, LinkSend(0x0000, {0x00}));
    EXPECT_EQ((Bytes{0x08, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}), TermRecv());
    TermSend({0x04, 0x00});
    EXPECT_EQ(0, LinkRecv());
    EXPECT_EQ(0, t_->Pending);
    EXPECT_EQ(1, t_->SendSeq);
    EXPECT_EQ(0, t_->SlotCount);
}

TEST_F(LinkRules, TerminalDataIsAcknowledgedAndItsRepeatIsNotDelivered)
{
    TermSend({0x00, 0x00, 0x00, 0x04, 0x12, 0x34, 0x41, 0x42});
    EXPECT_EQ(8, LinkRecv());
    EXPECT_EQ(0x1234u, pkt_.Cmd);
    EXPECT_EQ(2u, pkt_.Len);
    EXPECT_EQ((Bytes{0x0C, 0x00}), TermRecv());
    TermSend({0x00, 0x00, 0x00, 0x04, 0x12, 0x34, 0x41, 0x42});
    EXPECT_EQ(0, LinkRecv());
    EXPECT_EQ((Bytes{0x0C, 0x00}), TermRecv());
    EXPECT_EQ(1, t_->RecvSeq);
}

TEST_F(LinkRules, TerminalStartingElsewhereIsBroughtIntoStep)
{
    TermSend({0x00, 0x05, 0x00, 0x02, 0x00, 0x07});
    EXPECT_EQ(0, LinkRecv());
    EXPECT_EQ((Bytes{0x0B, 0x05}), TermRecv());
    TermSend({0x01, 0x05, 0x00, 0x02, 0x00, 0x07});
    EXPECT_EQ(6, LinkRecv());
    EXPECT_EQ(0x0007u, pkt_.Cmd);
    EXPECT_EQ((Bytes{0x0C, 0x05}), TermRecv());
    EXPECT_EQ(6, t_->RecvSeq);
}

// The network duplicated the terminal's resync frame: the copy must be acknowledged again, not
// taken for a new frame.
TEST_F(LinkRules, DuplicatedResyncFrameIsNotDeliveredTwice)
{
    TermSend({0x00, 0x05, 0x00, 0x02, 0x00, 0x07});
    ASSERT_EQ(0, LinkRecv());
    ASSERT_EQ((Bytes{0x0B, 0x05}), TermRecv());
    TermSend({0x01, 0x05, 0x00, 0x02, 0x00, 0x07});
    ASSERT_EQ(6, LinkRecv());
    ASSERT_EQ((Bytes{0x0C, 0x05}), TermRecv());
    TermSend({0x01, 0x05, 0x00, 0x02, 0x00, 0x07});
    EXPECT_EQ(0, LinkRecv()) << "the same frame was delivered a second time";
    EXPECT_EQ((Bytes{0x0C, 0x05}), TermRecv());
    EXPECT_EQ(6, t_->RecvSeq);
}

// A copy of the resync frame held back in the network arrives after the next frame: it must not
// pull the expected number back and be delivered again.
TEST_F(LinkRules, LateCopyOfResyncFrameIsNotDeliveredAgain)
{
    TermSend({0x00, 0x05, 0x00, 0x02, 0x00, 0x07});
    ASSERT_EQ(0, LinkRecv());
    ASSERT_EQ((Bytes{0x0B, 0x05}), TermRecv());
    TermSend({0x01, 0x05, 0x00, 0x02, 0x00, 0x07});
    ASSERT_EQ(6, LinkRecv());
    ASSERT_EQ((Bytes{0x0C, 0x05}), TermRecv());
    TermSend({0x00, 0x06, 0x00, 0x02, 0x00, 0x08});
    ASSERT_EQ(6, LinkRecv());
    ASSERT_EQ((Bytes{0x0C, 0x06}), TermRecv());
    TermSend({0x01, 0x05, 0x00, 0x02, 0x00, 0x07});
    EXPECT_GE(0, LinkRecv()) << "frame 5 was delivered a second time";
    TermRecv(300);  // whatever the link answers, the terminal takes no action on it here
    EXPECT_EQ(7, t_->RecvSeq);
    // The next frame is still taken at once.
    TermSend({0x00, 0x07, 0x00, 0x02, 0x00, 0x09});
    EXPECT_EQ(6, LinkRecv());
    EXPECT_EQ(0x0009u, pkt_.Cmd);
}

// A NAK that arrives after the ACK (reordered, or the terminal NAKed a duplicate) refers to a
// frame already delivered: sending that frame again under the next number, with a resync,
// would make the terminal deliver it twice.
TEST_F(LinkRules, LateNakAfterAckDoesNotSendTheEndedFrameAgain)
{
    ASSERT_EQ(1, LinkSend(0x0042, {0x01}));
    ASSERT_EQ((Bytes{0x08, 0x00, 0x00, 0x03, 0x00, 0x42, 0x01}), TermRecv());
    TermSend({0x04, 0x00});
    ASSERT_EQ(0, LinkRecv());
    TermSend({0x03, 0x00});
    EXPECT_EQ(0, LinkRecv());
    EXPECT_EQ(Bytes{}, TermRecv(300)) << "the ended frame went out again";
    EXPECT_EQ(1, t_->SendSeq);
}

TEST_F(LinkRules, AckAndNakInOneByteDoNotRepeatTheEndedFrame)
{
    ASSERT_EQ(1, LinkSend(0x0042, {0x01}));
    ASSERT_EQ((Bytes{0x08, 0x00, 0x00, 0x03, 0x00, 0x42, 0x01}), TermRecv());
    TermSend({0x06, 0x00});
    EXPECT_EQ(0, LinkRecv());
    EXPECT_EQ(Bytes{}, TermRecv(300)) << "the ended frame went out again";
    EXPECT_EQ(0, t_->Pending);
}

}  // namespace
