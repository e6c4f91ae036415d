// Runs one Terminal on loopback against a peer thread that answers at once, in both directions,
// and prints frames per second, the link's CPU time per frame and the heap allocations made
// while the frames flow (the link must make none). Exit code 0 when every frame arrived and no
// allocation was made, 1 otherwise, 2 for a bad command line or a link that cannot be set up.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "alloc_counter.h"
#include "debug.h"
#include "link_socket.h"
#include "terminal.h"
#include "terminal_internal.h"

namespace {

constexpr int WAIT_MS = 2000;
constexpr int WARM_UP = 20;
const uint8_t LOOPBACK[4] = {127, 0, 0, 1};

double ThreadCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double WallSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Next datagram on a non-blocking socket, waiting on its event; its size, or -1 after WAIT_MS.
int Receive(LinkSocket s, LinkEvent e, uint8_t* buf, uint32_t size)
{
    for (;;) {
        LinkEventReset(e);
        int n = LinkSocketRecv(s, buf, size);
        if (n >= 0)
            return n;
        if (!LinkEventWait(e, WAIT_MS))
            return -1;
    }
}

struct Figures {
    int Frames;
    double Wall;
    double Cpu;
};

// Service to terminal: each frame is sent, acknowledged by the peer, and released.
Figures Outbound(Terminal* t, LinkSocket peer, LinkEvent peerEvent, int frames, uint32_t len)
{
    std::thread answer([&] {
        uint8_t buf[FRAME_SIZE];
        for (int i = 0; i < frames; ++i) {
            if (Receive(peer, peerEvent, buf, sizeof buf) < 2)
                return;
            uint8_t ack[2] = {FLAG_ACK, buf[1]};
            LinkSocketSend(peer, ack, sizeof ack);
        }
    });
    TermPacket pkt{};
    pkt.Cmd = 0x0042;
    pkt.Len = len;
    memset(pkt.Data, 0xA5, len);
    TermPacket in{};
    int done = 0;
    double wall = WallSeconds();
    double cpu = ThreadCpuSeconds();
    Counting = true;
    for (; done < frames; ++done) {
        if (TerminalSend(t, &pkt) != 1)
            break;
        while (t->Pending == 1 && LinkEventWait(TerminalEvent(t), WAIT_MS))
            TerminalRecv(t, &in);
        if (t->Pending == 1)
            break;
    }
    Counting = false;
    Figures f = {done, WallSeconds() - wall, ThreadCpuSeconds() - cpu};
    answer.join();
    return f;
}

// Terminal to service: the peer sends each data frame when the previous one was acknowledged.
Figures Inbound(Terminal* t, LinkSocket peer, LinkEvent peerEvent, int frames, uint32_t len)
{
    std::thread send([&] {
        uint8_t frame[FRAME_SIZE];
        uint8_t buf[FRAME_SIZE];
        uint32_t length = 2 + len;
        frame[2] = static_cast<uint8_t>(length >> 8);
        frame[3] = static_cast<uint8_t>(length);
        frame[4] = 0x00;
        frame[5] = 0x43;
        memset(frame + 6, 0x5A, len);
        uint8_t seq = t->RecvSeq;
        for (int i = 0; i < frames; ++i, ++seq) {
            frame[0] = 0;
            frame[1] = seq;
            LinkSocketSend(peer, frame, 6 + len);
            int n;
            while ((n = Receive(peer, peerEvent, buf, sizeof buf)) >= 2 && !(buf[0] & FLAG_ACK && buf[1] == seq)) {
            }
            if (n < 2)
                return;
        }
    });
    TermPacket in{};
    int done = 0;
    double wall = WallSeconds();
    double cpu = ThreadCpuSeconds();
    Counting = true;
    while (done < frames && LinkEventWait(TerminalEvent(t), WAIT_MS)) {
        if (TerminalRecv(t, &in) > 0)
            ++done;
    }
    Counting = false;
    Figures f = {done, WallSeconds() - wall, ThreadCpuSeconds() - cpu};
    send.join();
    return f;
}

void Print(const char* way, const Figures& f)
{
    printf("%-20s %7d frames in %7.3f s: %9.0f frames/s, link CPU %6.2f us/frame\n", way, f.Frames, f.Wall,
           f.Wall > 0 ? f.Frames / f.Wall : 0.0, f.Frames > 0 ? f.Cpu * 1e6 / f.Frames : 0.0);
}

void Usage(FILE* out)
{
    fprintf(out,
            "usage: link_bench [--frames N] [--len BYTES] [--trace FILE]\n"
            "  Runs a Terminal on loopback against a peer thread that answers at once.\n"
            "  --frames N     frames each way (default 20000)\n"
            "  --len BYTES    data bytes per frame, 0 to 600 (default 100)\n"
            "  --trace FILE   trace into FILE (default: no trace)\n"
            "Exit code: 0 all frames arrived without a heap allocation, 1 otherwise, 2 usage or set-up.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    int frames = 20000;
    long len = 100;
    const char* trace = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (i + 1 < argc && strcmp(argv[i], "--frames") == 0)
            frames = atoi(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--len") == 0)
            len = atol(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--trace") == 0)
            trace = argv[++i];
        else {
            Usage(stderr);
            return 2;
        }
    }
    if (frames <= 0 || len < 0 || len > static_cast<long>(MAX_PACKET_DATA)) {
        Usage(stderr);
        return 2;
    }
    InstallCounter();
    if (trace != nullptr && !OpenTrace(trace)) {
        fprintf(stderr, "link_bench: cannot open trace file %s\n", trace);
        return 2;
    }
    LinkSocket peer = LINK_NO_SOCKET;
    LinkEvent peerEvent = LINK_NO_EVENT;
    const char* call = "";
    Terminal* t = nullptr;
    if (LinkStartup() != 0 || LinkSocketOpen(&peer) != 0 || LinkSocketBind(peer, 0) != 0 ||
        LinkEventAttach(peer, &peerEvent, &call) != 0 ||
        TerminalInitPorts("Bench", "127.0.0.1", 0, LinkSocketPort(peer), &t) != 1 ||
        LinkSocketConnect(peer, LOOPBACK, LinkSocketPort(t->Socket)) != 0) {
        fprintf(stderr, "link_bench: cannot set up the link on loopback\n");
        return 2;
    }

    printf("link_bench: %d frames of %ld data bytes each way, loopback, peer answering at once%s\n", frames, len,
           trace ? ", traced" : "");
    // A few frames first: one-time allocations of the C library (the trace file's buffer) are
    // not per packet.
    Outbound(t, peer, peerEvent, WARM_UP, static_cast<uint32_t>(len));
    Inbound(t, peer, peerEvent, WARM_UP, static_cast<uint32_t>(len));
    Allocations = 0;
    Figures out = Outbound(t, peer, peerEvent, frames, static_cast<uint32_t>(len));
    Figures in = Inbound(t, peer, peerEvent, frames, static_cast<uint32_t>(len));
    long allocations = Allocations.load();
    Print("service -> terminal", out);
    Print("terminal -> service", in);
    printf("heap allocations by the link while frames flowed: %ld (%.3f per packet)\n", allocations,
           static_cast<double>(allocations) / (out.Frames + in.Frames));

    TerminalClose(t);
    LinkSocketClose(peer);
    LinkEventClose(peerEvent);
    LinkCleanup();
    return out.Frames == frames && in.Frames == frames && allocations == 0 ? 0 : 1;
}
