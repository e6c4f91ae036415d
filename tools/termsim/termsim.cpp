// termsim: the payment terminal's five applications on their UDP ports, for testing the service's
// link. The protocol lives in simlink.cpp, the fault line in fault_line.cpp, the summary in
// summary.cpp; this file is the Linux edge: sockets, poll, the applications' replies and the log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "netcheck.h"
#include "sim.h"

namespace {

Sim g_sim;
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void LogDatagram(Sim* s, int64_t now, const char* dir, int app, const uint8_t* b, size_t n, const char* note)
{
    if (!s->Log)
        return;
    char hex[3 * 16 + 4];
    size_t p = 0;
    for (size_t i = 0; i < n && i < 16; ++i)
        p += snprintf(hex + p, sizeof hex - p, "%s%02x", i ? " " : "", b[i]);
    if (n > 16)
        snprintf(hex + p, sizeof hex - p, " ..");
    fprintf(s->Log, "%10.3f %-9s %-6s len=%-3zu %-52s %s\n", double(now - s->StartMs) / 1000.0, dir,
            AppTable[app].Name, n, hex, note);
}

namespace {

void LogNote(Sim* s, int64_t now, const char* what, int app, const char* fmt, uint32_t v)
{
    if (!s->Log)
        return;
    char note[96];
    snprintf(note, sizeof note, fmt, v);
    fprintf(s->Log, "%10.3f %-9s %-6s %s\n", double(now - s->StartMs) / 1000.0, what,
            AppTable[app].Name, note);
}

void SendOutbox(Sim* s, int app, SimOutbox* box, int64_t now)
{
    for (int i = 0; i < box->Count; ++i)
        Route(s, DIR_OUT, app, box->Bytes[i], box->Len[i], now);
    if (box->Abandoned) {
        AppState* a = &s->Apps[app];
        if (box->AbandonedTag != SIM_NO_TAG) {
            NumListAdd(&a->Abandoned, box->AbandonedTag);
            LogNote(s, now, "aborted", app, "frame given up, num=%u", box->AbandonedTag);
        } else {
            LogNote(s, now, "aborted", app, "frame given up, seq=%u", uint8_t(a->Link.SendSeq - 1));
        }
    }
    SimOutboxClear(box);
}

const char* RxNote(int r)
{
    switch (r) {
    case SIM_RX_DELIVERED: return "delivered";
    case SIM_RX_LINK: return "link";
    case SIM_RX_REPEAT: return "repeat: ACK again";
    case SIM_RX_RESYNC: return "unexpected number: resync NAK";
    case SIM_RX_OWN: return "terminal's direction: ignored";
    case SIM_RX_SILENT: return "silent";
    case SIM_RX_MALFORMED: return "malformed: acknowledged, dropped";
    case SIM_RX_RUNT: return "runt: ignored";
    }
    return "?";
}

void HandlePacket(Sim* s, int app, int64_t now)
{
    AppState* a = &s->Apps[app];
    const TermPacket* p = &s->Pkt;
    if (HasStatus(p->Cmd)) {
        ++a->Responses;
        if ((p->Cmd & 0xFFFF) == ECHO_RESP)
            ++a->EchoResp;
        return;
    }
    uint32_t num = 0, total = 0;
    int soak = SoakCheck(p, &num, &total);
    if (soak == SOAK_DAMAGED) {
        ++a->Soak.Damaged;
        LogNote(s, now, "damaged", app, "numbered packet damaged, len=%u", p->Len);
    } else if (soak == SOAK_OK) {
        const uint32_t first = a->Soak.Next;
        int skipped = SoakTrackAdd(&a->Soak, num, total);
        if (skipped < 0)
            LogNote(s, now, "repeat", app, "numbered packet delivered again: num=%u", num);
        for (int i = 0; i < skipped; ++i)
            NumListAdd(&a->Missing, first + uint32_t(i));
    }
    if (s->Opt.Reply & AppMaskOf(app)) {
        TermPacket* r = &s->Out;
        r->Cmd = (p->Cmd | CMD_RESPONSE) & 0xFFFF;
        r->Status = 0;
        r->Len = p->Len;
        memcpy(r->Data, p->Data, p->Len);
        if (SimLinkQueue(&a->Link, r, SIM_NO_TAG))
            ++a->Replies;
        else
            LogNote(s, now, "full", app, "queue full: response to 0x%04x lost", p->Cmd);
    }
}

}  // namespace

void Deliver(Sim* s, int dir, int app, const uint8_t* b, size_t n, int64_t now)
{
    AppState* a = &s->Apps[app];
    s->LastActivityMs = now;
    if (dir == DIR_OUT) {
        ssize_t r = sendto(a->Fd, b, n, 0, reinterpret_cast<const sockaddr*>(&a->Peer), sizeof a->Peer);
        LogDatagram(s, now, "out", app, b, n, r < 0 ? strerror(errno) : "");
        return;
    }
    SimOutbox box;
    SimOutboxClear(&box);
    int r = SimLinkRecv(&a->Link, b, n, now, &s->Pkt, &box);
    char note[96];
    if (r == SIM_RX_DELIVERED)
        snprintf(note, sizeof note, "%s cmd=0x%04x len=%u", RxNote(r), s->Pkt.Cmd, s->Pkt.Len);
    else
        snprintf(note, sizeof note, "%s", RxNote(r));
    LogDatagram(s, now, "in", app, b, n, note);
    SendOutbox(s, app, &box, now);
    if (r == SIM_RX_DELIVERED)
        HandlePacket(s, app, now);
}

namespace {

// Keeps a few queue places free for responses while echo requests and numbered packets wait.
void FeedQueues(Sim* s)
{
    for (int i = 0; i < APP_COUNT; ++i) {
        AppState* a = &s->Apps[i];
        if (!a->Active)
            continue;
        while (a->EchoLeft > 0 && SimLinkFree(&a->Link) > 4) {
            TermPacket* p = &s->Out;
            p->Cmd = ECHO;
            p->Status = 0;
            p->Len = 1;
            p->Data[0] = 0;
            SimLinkQueue(&a->Link, p, SIM_NO_TAG);
            --a->EchoLeft;
        }
        while (a->SendNext < a->SendTotal && SimLinkFree(&a->Link) > 4) {
            SoakFill(&s->Out, a->SendNext, a->SendTotal, s->Opt.SendSize);
            SimLinkQueue(&a->Link, &s->Out, a->SendNext);
            ++a->SendNext;
        }
    }
}

void PollLinks(Sim* s, int64_t now)
{
    FeedQueues(s);
    for (int i = 0; i < APP_COUNT; ++i) {
        AppState* a = &s->Apps[i];
        if (!a->Active)
            continue;
        SimOutbox box;
        SimOutboxClear(&box);
        SimLinkPoll(&a->Link, now, &box);
        SendOutbox(s, i, &box, now);
    }
}

// Milliseconds until the next timed piece of work, at most 100.
int NextWaitMs(Sim* s, int64_t now)
{
    int64_t wait = FaultLineNextMs(s, now, 100);
    for (int i = 0; i < APP_COUNT; ++i) {
        AppState* a = &s->Apps[i];
        if (!a->Active)
            continue;
        int64_t due = SimLinkNextDueMs(&a->Link, now);
        if (due >= 0 && due < wait)
            wait = due;
    }
    return wait < 0 ? 0 : int(wait);
}

bool Quiet(Sim* s)
{
    if (!FaultLineEmpty(s))
        return false;
    for (const AppState& a : s->Apps) {
        if (!a.Active)
            continue;
        if (SimLinkBusy(&a.Link) || a.EchoLeft > 0 || a.SendNext < a.SendTotal)
            return false;
    }
    return true;
}

bool OpenSockets(Sim* s)
{
    if (!PeerIsDirect(s->Opt.Peer)) {
        fprintf(stderr, "termsim: %s is on no local subnet: is the terminal's namespace up? "
                        "(scripts/netns.sh up; run termsim with scripts/netns.sh exec)\n", s->Opt.Peer);
        return false;
    }
    in_addr bindAddr, peerAddr;
    inet_pton(AF_INET, s->Opt.Bind, &bindAddr);
    inet_pton(AF_INET, s->Opt.Peer, &peerAddr);
    for (int i = 0; i < APP_COUNT; ++i) {
        AppState* a = &s->Apps[i];
        a->Fd = -1;
        if (!(s->Opt.Apps & AppMaskOf(i)))
            continue;
        const uint16_t port = uint16_t(AppTable[i].Port + s->Opt.PortOffset);
        a->Fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
        if (a->Fd < 0) {
            fprintf(stderr, "termsim: socket: %s\n", strerror(errno));
            return false;
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr = bindAddr;
        if (bind(a->Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            fprintf(stderr, "termsim: bind %s:%u: %s%s\n", s->Opt.Bind, port, strerror(errno),
                    errno == EADDRNOTAVAIL ? " (is the terminal's namespace up? scripts/netns.sh up)" : "");
            return false;
        }
        a->Peer.sin_family = AF_INET;
        a->Peer.sin_port = htons(port);
        a->Peer.sin_addr = peerAddr;
        a->Active = true;
    }
    return true;
}

void ReadSocket(Sim* s, int app, int64_t now)
{
    AppState* a = &s->Apps[app];
    uint8_t buf[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = recvfrom(a->Fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            return;
        if (from.sin_addr.s_addr != a->Peer.sin_addr.s_addr || from.sin_port != a->Peer.sin_port) {
            ++a->Foreign;
            LogDatagram(s, now, "foreign", app, buf, size_t(n) < sizeof buf ? size_t(n) : sizeof buf, "");
            continue;
        }
        if (size_t(n) > SIM_FRAME_MAX) {
            ++a->Oversize;
            LogDatagram(s, now, "oversize", app, buf, 16, "longer than a frame: ignored");
            continue;
        }
        Route(s, DIR_IN, app, buf, size_t(n), now);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Sim* s = &g_sim;
    SimOptionsDefault(&s->Opt);
    char err[160];
    int parsed = SimParseOptions(argc, argv, &s->Opt, err, sizeof err);
    if (parsed == SIM_PARSE_HELP) {
        fputs(SimUsage, stdout);
        return 0;
    }
    if (parsed != SIM_PARSE_OK) {
        fprintf(stderr, "termsim: %s (see --help)\n", err);
        return 2;
    }
    if (s->Opt.Log[0]) {
        s->Log = strcmp(s->Opt.Log, "-") == 0 ? stderr : fopen(s->Opt.Log, "w");
        if (!s->Log) {
            fprintf(stderr, "termsim: cannot open log %s: %s\n", s->Opt.Log, strerror(errno));
            return 1;
        }
        setvbuf(s->Log, nullptr, _IOLBF, 0);
    }
    // The two directions draw from separate streams, so a fault pattern on one side does not
    // shift with the traffic on the other.
    SimRngSeed(&s->Rng[DIR_IN], s->Opt.Seed * 2 + 1);
    SimRngSeed(&s->Rng[DIR_OUT], s->Opt.Seed * 2 + 2);
    for (int i = 0; i < APP_COUNT; ++i) {
        AppState* a = &s->Apps[i];
        SimLinkInit(&a->Link, i, s->Opt.StartSeq, s->Opt.Silent);
        SoakTrackInit(&a->Soak);
        a->EchoLeft = s->Opt.Echo[i];
        a->SendTotal = s->Opt.Send[i];
    }
    if (!OpenSockets(s))
        return 1;

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    // Sockets are bound from here on: whoever started us may begin sending.
    printf("ready bind=%s peer=%s\n", s->Opt.Bind, s->Opt.Peer);
    fflush(stdout);
    s->StartMs = NowMs();
    s->LastActivityMs = s->StartMs;
    pollfd fds[APP_COUNT];
    int appOf[APP_COUNT];
    int nfds = 0;
    for (int i = 0; i < APP_COUNT; ++i) {
        if (s->Apps[i].Active) {
            fds[nfds].fd = s->Apps[i].Fd;
            fds[nfds].events = POLLIN;
            appOf[nfds] = i;
            ++nfds;
        }
    }
    int64_t now = s->StartMs;
    while (!g_stop) {
        now = NowMs();
        PollLinks(s, now);
        ReleaseDue(s, now);
        if (s->Opt.TimeLimit > 0 && now - s->StartMs >= int64_t(s->Opt.TimeLimit * 1000))
            break;
        if (s->Opt.IdleLimit > 0 && now - s->LastActivityMs >= int64_t(s->Opt.IdleLimit * 1000) && Quiet(s))
            break;
        int r = poll(fds, nfds, NextWaitMs(s, now));
        if (r < 0 && errno != EINTR) {
            fprintf(stderr, "termsim: poll: %s\n", strerror(errno));
            break;
        }
        now = NowMs();
        for (int k = 0; r > 0 && k < nfds; ++k)
            if (fds[k].revents & POLLIN)
                ReadSocket(s, appOf[k], now);
    }
    PrintSummary(s, NowMs());
    for (AppState& a : s->Apps)
        if (a.Fd >= 0)
            close(a.Fd);
    if (s->Log && s->Log != stderr)
        fclose(s->Log);
    return 0;
}
