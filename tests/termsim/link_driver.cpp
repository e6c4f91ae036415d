// link_driver: runs the service's five terminal links (the real link code, natively) the way the
// bridge drives them, and pushes numbered packets through them to termsim in the terminal's
// namespace, checking the numbered packets that termsim sends back. Prints a summary in the same
// form as termsim's, so that a script can compare the two ends.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "debug.h"
#include "netcheck.h"
#include "options.h"
#include "term_packet.h"
#include "soak.h"
#include "terminal.h"

namespace {

// Frames the driver keeps held in a link: below SLOT_LIMIT, so TerminalSend never refuses one.
constexpr int HELD_TARGET = 4;
// The bridge's wait: a tick comes only after this long with no event at all.
constexpr int WAIT_MS = 100;

struct Link {
    Terminal* T;
    uint32_t SendNext;   // next number to give to TerminalSend
    uint32_t Fifo[SLOT_COUNT];  // numbers of the frames held, oldest first, as the ring holds them
    int FifoHead;
    int FifoCount;
    uint32_t Delivered;  // our frames ended by an ACK
    uint32_t Refused;    // TerminalSend results of 0
    uint32_t Malformed;  // TerminalRecv results of -2
    uint32_t Other;      // delivered packets that are not numbered ones
    SoakTrack Soak;
    NumList Abandoned;
    NumList Missing;
};

struct Driver {
    char Peer[16];
    char Trace[256];
    uint8_t Apps;
    uint32_t Send;
    uint32_t Size;
    bool SteadyTicks;
    double TimeLimit;
    double IdleLimit;
    Link Links[APP_COUNT];
    TermPacket Pkt;
    uint32_t Ticks;
};

Driver g_drv;
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t FifoPop(Link* l)
{
    if (l->FifoCount == 0)
        return 0xFFFFFFFFu;
    uint32_t n = l->Fifo[l->FifoHead];
    l->FifoHead = (l->FifoHead + 1) % SLOT_COUNT;
    --l->FifoCount;
    return n;
}

const char Usage[] =
    "Usage: link_driver [options]\n"
    "Runs the service's five terminal links against termsim and checks numbered packets.\n"
    "  --peer=ADDR      the terminal's address (default 198.18.0.2); must be on a local subnet\n"
    "  --apps=LIST      applications to link (default all)\n"
    "  --send=N         numbered packets to send per application (default 0)\n"
    "  --send-size=B    data bytes per numbered packet, 12 to 600 (default 12)\n"
    "  --trace=FILE     the links' trace (default none)\n"
    "  --ticks=quiet|steady\n"
    "                   quiet (default): tick only after 100 ms without any datagram, as the\n"
    "                   bridge does; steady: tick every 100 ms whatever arrives\n"
    "  --time=SEC       stop after SEC seconds\n"
    "  --idle=SEC       stop once everything is sent and nothing came for SEC seconds\n"
    "Summary on standard output: \"abandoned app=NAME num=N\", \"missing app=NAME num=N\",\n"
    "one \"app=NAME key=value ...\" line per application and a \"total ...\" line.\n";

bool ParseArgs(Driver* d, int argc, char** argv)
{
    strcpy(d->Peer, "198.18.0.2");
    d->Apps = APP_MASK_ALL;
    d->Size = SOAK_MIN_LEN;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* eq = strchr(a, '=');
        const char* v = eq ? eq + 1 : "";
        bool ok = true;
        if (strcmp(a, "--help") == 0) {
            fputs(Usage, stdout);
            exit(0);
        } else if (strncmp(a, "--peer=", 7) == 0) {
            ok = strlen(v) < sizeof d->Peer && SimAddressAllowed(v);
            if (ok)
                strcpy(d->Peer, v);
        } else if (strncmp(a, "--apps=", 7) == 0) {
            int m = SimParseAppList(v);
            ok = m > 0;
            d->Apps = uint8_t(m);
        } else if (strncmp(a, "--send=", 7) == 0) {
            d->Send = uint32_t(strtoul(v, nullptr, 10));
        } else if (strncmp(a, "--send-size=", 12) == 0) {
            d->Size = uint32_t(strtoul(v, nullptr, 10));
            ok = d->Size >= SOAK_MIN_LEN && d->Size <= MAX_PACKET_DATA;
        } else if (strncmp(a, "--trace=", 8) == 0) {
            ok = strlen(v) < sizeof d->Trace;
            if (ok)
                strcpy(d->Trace, v);
        } else if (strcmp(a, "--ticks=quiet") == 0) {
            d->SteadyTicks = false;
        } else if (strcmp(a, "--ticks=steady") == 0) {
            d->SteadyTicks = true;
        } else if (strncmp(a, "--time=", 7) == 0) {
            d->TimeLimit = atof(v);
        } else if (strncmp(a, "--idle=", 7) == 0) {
            d->IdleLimit = atof(v);
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "link_driver: bad option %s (see --help)\n", a);
            return false;
        }
    }
    return true;
}

// Keeps a few numbered packets held in each link. TerminalSend also starts the oldest held
// frame when nothing is in flight, as a client message does in the bridge.
void Feed(Driver* d)
{
    for (int i = 0; i < APP_COUNT; ++i) {
        Link* l = &d->Links[i];
        if (!l->T)
            continue;
        while (l->SendNext < d->Send && l->T->SlotCount < HELD_TARGET) {
            SoakFill(&d->Pkt, l->SendNext, d->Send, d->Size);
            if (TerminalSend(l->T, &d->Pkt) == 0) {
                ++l->Refused;
                NumListAdd(&l->Abandoned, l->SendNext);
            } else {
                l->Fifo[(l->FifoHead + l->FifoCount) % SLOT_COUNT] = l->SendNext;
                ++l->FifoCount;
            }
            ++l->SendNext;
        }
    }
}

void Receive(Driver* d, int app)
{
    Link* l = &d->Links[app];
    const int before = l->T->SlotCount;
    int r = TerminalRecv(l->T, &d->Pkt);
    // Held frames leave the ring in TerminalRecv only when an ACK ends the one in flight.
    for (int k = l->T->SlotCount; k < before; ++k) {
        FifoPop(l);
        ++l->Delivered;
    }
    if (r == -2)
        ++l->Malformed;
    if (r <= 0)
        return;
    uint32_t num = 0, total = 0;
    int s = SoakCheck(&d->Pkt, &num, &total);
    if (s == SOAK_DAMAGED) {
        ++l->Soak.Damaged;
    } else if (s == SOAK_OK) {
        const uint32_t first = l->Soak.Next;
        int skipped = SoakTrackAdd(&l->Soak, num, total);
        for (int k = 0; k < skipped; ++k)
            NumListAdd(&l->Missing, first + uint32_t(k));
    } else {
        ++l->Other;
    }
}

void Tick(Driver* d)
{
    ++d->Ticks;
    for (int i = 0; i < APP_COUNT; ++i) {
        Link* l = &d->Links[i];
        if (!l->T)
            continue;
        const int before = l->T->SlotCount;
        TerminalTime(l->T);
        // In TerminalTime a frame leaves the ring only when it is given up.
        for (int k = l->T->SlotCount; k < before; ++k)
            NumListAdd(&l->Abandoned, FifoPop(l));
    }
}

bool AllSent(Driver* d)
{
    for (const Link& l : d->Links)
        if (l.T && (l.SendNext < d->Send || l.T->SlotCount > 0))
            return false;
    return true;
}

void PrintSummary(Driver* d, double seconds)
{
    uint32_t tSent = 0, tDelivered = 0, tAbandoned = 0, tOk = 0, tMissing = 0, tRepeats = 0, tDamaged = 0;
    for (int i = 0; i < APP_COUNT; ++i) {
        Link* l = &d->Links[i];
        if (!l->T)
            continue;
        const uint32_t first = l->Soak.Next;
        const uint32_t rest = SoakTrackFinish(&l->Soak);
        for (uint32_t k = 0; k < rest; ++k)
            NumListAdd(&l->Missing, first + k);
        for (uint32_t k = 0; k < l->Abandoned.Count && k < NUM_LIST_SIZE; ++k)
            printf("abandoned app=%s num=%u\n", AppTable[i].Name, l->Abandoned.Nums[k]);
        for (uint32_t k = 0; k < l->Missing.Count && k < NUM_LIST_SIZE; ++k)
            printf("missing app=%s num=%u\n", AppTable[i].Name, l->Missing.Nums[k]);
    }
    for (int i = 0; i < APP_COUNT; ++i) {
        Link* l = &d->Links[i];
        if (!l->T)
            continue;
        printf("app=%s sent=%u delivered_out=%u abandoned=%u refused=%u held=%d malformed=%u other=%u "
               "soak_in_ok=%u soak_in_missing=%u soak_in_repeats=%u soak_in_damaged=%u\n",
               AppTable[i].Name, l->SendNext, l->Delivered, l->Abandoned.Count, l->Refused, l->T->SlotCount,
               l->Malformed, l->Other, l->Soak.Accepted, l->Soak.Missing, l->Soak.Repeats, l->Soak.Damaged);
        tSent += l->SendNext;
        tDelivered += l->Delivered;
        tAbandoned += l->Abandoned.Count;
        tOk += l->Soak.Accepted;
        tMissing += l->Soak.Missing;
        tRepeats += l->Soak.Repeats;
        tDamaged += l->Soak.Damaged;
    }
    printf("total sent=%u delivered_out=%u abandoned=%u soak_in_ok=%u soak_in_missing=%u "
           "soak_in_repeats=%u soak_in_damaged=%u ticks=%u seconds=%.3f\n",
           tSent, tDelivered, tAbandoned, tOk, tMissing, tRepeats, tDamaged, d->Ticks, seconds);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Driver* d = &g_drv;
    if (!ParseArgs(d, argc, argv))
        return 2;
    if (!PeerIsDirect(d->Peer)) {
        fprintf(stderr, "link_driver: %s is on no local subnet: run scripts/netns.sh up first\n", d->Peer);
        return 1;
    }
    if (d->Trace[0]) {
        unlink(d->Trace);
        OpenTrace(d->Trace);
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    pollfd fds[APP_COUNT];
    int appOf[APP_COUNT];
    int nfds = 0;
    for (int i = 0; i < APP_COUNT; ++i) {
        Link* l = &d->Links[i];
        SoakTrackInit(&l->Soak);
        if (!(d->Apps & AppMaskOf(i)))
            continue;
        if (TerminalInit(AppTable[i].Name, d->Peer, uint16_t(AppTable[i].Port), &l->T) != 1) {
            fprintf(stderr, "link_driver: TerminalInit %s failed\n", AppTable[i].Name);
            return 1;
        }
        fds[nfds].fd = TerminalEvent(l->T);
        fds[nfds].events = POLLIN;
        appOf[nfds] = i;
        ++nfds;
    }
    const int64_t start = NowMs();
    int64_t lastIn = start;
    int64_t lastTick = start;
    while (!g_stop) {
        Feed(d);
        int64_t now = NowMs();
        if (d->TimeLimit > 0 && now - start >= int64_t(d->TimeLimit * 1000))
            break;
        if (d->IdleLimit > 0 && AllSent(d) && now - lastIn >= int64_t(d->IdleLimit * 1000))
            break;
        int r = poll(fds, nfds, WAIT_MS);
        if (r < 0 && errno != EINTR)
            break;
        now = NowMs();
        if (r == 0) {
            Tick(d);
            lastTick = now;
            continue;
        }
        for (int k = 0; r > 0 && k < nfds; ++k) {
            if (fds[k].revents & (POLLIN | POLLERR)) {
                Receive(d, appOf[k]);
                lastIn = now;
            }
        }
        if (d->SteadyTicks && now - lastTick >= WAIT_MS) {
            Tick(d);
            lastTick = now;
        }
    }
    PrintSummary(d, double(NowMs() - start) / 1000.0);
    return 0;
}
