// link_sim: the service's link code (terminal.cpp as the service runs it) against termsim's end of
// the link (simlink.cpp), in simulated time, through a copy of the fault line that termsim puts
// between its sockets and its links: each datagram dropped, duplicated or held back behind the
// next one of its direction (at most HOLD_MAX_MS), by rates and a seed. Numbered packets go both
// ways with the reliability suite's traffic (commands paced by their answers, termsim's own
// numbered packets), many thousand frames a second of processor time, the same on every run.
//
// It counts the frames each side gives up, compares the rate with the fault model
// (fault_model.h) and sorts every give-up by what its attempts met: all answers lost; an answer
// still held back or on its way when the sender gave up; a resync answer (NAK) on the way; or
// anything else, which no fault pattern of a single frame explains. --trace prints the datagrams
// of each give-up, --check makes the laws and the model's bound the exit code.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "fault_model.h"
#include "faults.h"
#include "link_socket_mem.h"
#include "term_packet.h"
#include "simlink.h"
#include "soak.h"
#include "terminal.h"
#include "terminal_internal.h"

namespace {

// termsim's fault line: a held datagram goes on after the next one of its direction, or alone
// after this long.
constexpr int64_t HOLD_MAX_MS = 1000;
// The bridge runs every link's timer once per this many milliseconds.
constexpr int64_t TICK_MS = 100;
// The suite's client: at most WINDOW unanswered commands, a place freed after EXPIRE_MS.
constexpr int WINDOW = 3;
constexpr int64_t EXPIRE_MS = 15000;
// termsim keeps this many queue places free for its answers.
constexpr int TERM_FREE_FOR_REPLIES = 4;
constexpr size_t TRACE_LINES = 400;
constexpr uint32_t SIZE = 40;

enum Side { SVC = 0, TERM = 1 };
const char* const SideName[2] = {"service", "termsim"};
// Directions as termsim names them: "in" from the service, "out" towards it.
enum Dir { IN = 0, OUT = 1 };

struct Dgram {
    int64_t At;
    uint32_t Len;
    uint8_t B[FRAME_SIZE];
};

struct Held {
    bool Valid;
    int64_t Since;
    Dgram D;
};

// What the copies of one sender's frame in flight, and the receiver's answers to it, met.
struct Watch {
    bool Active;
    uint8_t Seq;
    uint32_t Tag;
    int64_t Start;
    int Sends, DataDropped, DataHeld, DataDup;
    int Copies;  // copies that reached the receiver
    int Acks, AcksDropped, Naks;
    int AcksArrived;  // ACKs that reached the sender while the frame was in flight
};

// Why a frame's four transmissions brought no ACK back:
//   dropped: every copy of the frame, or every answer to a copy that arrived, was dropped;
//   held:    a copy or an answer was still held back (or on its way) when the sender gave up;
//   nak:     the receiver answered a copy with a resync NAK (the frame before it was given up
//            and never accepted, so this one came with a number the receiver did not expect);
//   other:   an ACK reached the sender and did not end the frame, or a copy reached the receiver
//            and drew no answer: a way of losing frames that no fault pattern explains.
enum GiveUpClass { GU_DROPPED = 0, GU_HELD, GU_NAK, GU_OTHER, GU_CLASSES };
const char* const ClassName[GU_CLASSES] = {"dropped", "held", "nak", "other"};

struct Config {
    double Loss = 0.05, Dup = 0.05, Reorder = 0.05;
    uint32_t Frames = 2000;  // numbered packets each way
    uint64_t Seed = 20261208;
    int Seeds = 1;
    int64_t LatencyMs = 1;
    int64_t TickJitterMs = 5;
    int TraceMode = 0;  // 0 none, 1 give-ups of any class but dropped, 2 all
    bool Check = false;
};

struct Stats {
    uint64_t Frames[2];    // first transmissions, per sending side
    uint64_t GiveUps[2];
    uint64_t Classes[2][GU_CLASSES];
    uint64_t Repeats[2], Damaged[2], Unexplained[2];  // per receiving side
    uint64_t Delivered[2];
};

struct Sim {
    Config Cfg;
    Stats* St;
    int64_t Now;
    Terminal* T;
    SimLink L;
    SimRng Rng[2];
    SimRng TickRng;
    FaultConfig Faults;
    std::deque<Dgram> Wire[2];  // IN: towards termsim's socket; OUT: towards the service
    Held Hold[2];
    int64_t NextTick;
    Watch W[2];
    // The numbers of the frames in the service's ring, oldest first.
    std::deque<uint32_t> Ring;
    // The client's window: numbers sent and not answered, with their time.
    std::deque<std::pair<uint32_t, int64_t>> Window;
    uint32_t CmdNext;
    uint32_t TermNext;
    SoakTrack Track[2];  // per receiving side
    NumList* GivenUp[2];
    NumList* Missing[2];
    int64_t Start;
    std::deque<std::pair<int64_t, std::string>> Trace;  // recent events with their time
    TermPacket Pkt, Out;
};

Sim* g;

void Note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* fmt, ...)
{
    if (g->Cfg.TraceMode == 0)
        return;
    char line[160];
    int n = snprintf(line, sizeof line, "%9.3f ", double(g->Now - g->Start) / 1000.0);
    va_list a;
    va_start(a, fmt);
    vsnprintf(line + n, sizeof line - size_t(n), fmt, a);
    va_end(a);
    g->Trace.emplace_back(g->Now, line);
    if (g->Trace.size() > TRACE_LINES)
        g->Trace.pop_front();
}

std::string Describe(const uint8_t* b, uint32_t n)
{
    char s[64];
    if (n < 2)
        snprintf(s, sizeof s, "runt of %u", n);
    else if (b[0] & (SIM_FLAG_ACK | SIM_FLAG_NAK))
        snprintf(s, sizeof s, "%s%s%s %u", b[0] & SIM_FLAG_ACK ? "ACK" : "", b[0] & SIM_FLAG_NAK ? "NAK" : "",
                 b[0] & SIM_FLAG_SYNC ? "|SYNC" : "", b[1]);
    else
        snprintf(s, sizeof s, "DATA%s %u len=%u", b[0] & SIM_FLAG_SYNC ? "|SYNC" : "", b[1], n);
    return s;
}

bool IsLink(const uint8_t* b) { return (b[0] & (SIM_FLAG_ACK | SIM_FLAG_NAK)) != 0; }

// The watch of the frame this datagram belongs to: a data frame of the side that sent it, or an
// answer of the other side; nullptr when it concerns no frame in flight.
Watch* WatchOf(Side from, const uint8_t* b, uint32_t n)
{
    if (n < 2)
        return nullptr;
    Watch* w = IsLink(b) ? &g->W[1 - from] : &g->W[from];
    return w->Active && w->Seq == b[1] ? w : nullptr;
}

void Emitted(Side from, const uint8_t* b, uint32_t n)
{
    Note("%s sends %s", SideName[from], Describe(b, n).c_str());
    Watch* w = WatchOf(from, b, n);
    if (w == nullptr)
        return;
    if (!IsLink(b))
        ++w->Sends;
    else if (b[0] & SIM_FLAG_ACK)
        ++w->Acks;
    else
        ++w->Naks;
}

void Faulted(Side from, const uint8_t* b, uint32_t n, const char* what)
{
    Note("  %s: %s", what, Describe(b, n).c_str());
    Watch* w = WatchOf(from, b, n);
    if (w == nullptr)
        return;
    bool data = !IsLink(b);
    bool ack = (b[0] & SIM_FLAG_ACK) != 0;
    if (strcmp(what, "dropped") == 0) {
        if (data)
            ++w->DataDropped;
        else if (ack)
            ++w->AcksDropped;
    } else if (strcmp(what, "held") == 0 && data) {
        ++w->DataHeld;
    } else if (strcmp(what, "doubled") == 0 && data) {
        ++w->DataDup;
    }
}

void TermDeliver(const Dgram& d);
void SvcTake();

void Pass(Dir dir, const Dgram& d)
{
    if (dir == IN) {
        TermDeliver(d);
    } else {
        Dgram c = d;
        c.At = g->Now + g->Cfg.LatencyMs;
        g->Wire[OUT].push_back(c);
    }
}

// termsim's Route: one decision per datagram, taken where termsim reads or sends it.
void Route(Dir dir, const Dgram& d)
{
    Side from = dir == IN ? SVC : TERM;
    FaultPlan plan = FaultDecide(&g->Faults, &g->Rng[dir]);
    if (plan.Drop) {
        Faulted(from, d.B, d.Len, "dropped");
        return;
    }
    Held* h = &g->Hold[dir];
    bool heldNow = false;
    if (plan.Hold && !h->Valid) {
        h->Valid = true;
        h->Since = g->Now;
        h->D = d;
        heldNow = true;
        Faulted(from, d.B, d.Len, "held");
    } else {
        Pass(dir, d);
    }
    if (plan.Dup) {
        Faulted(from, d.B, d.Len, "doubled");
        Pass(dir, d);
    }
    if (h->Valid && !heldNow) {
        h->Valid = false;
        Dgram r = h->D;
        Note("  released: %s", Describe(r.B, r.Len).c_str());
        Pass(dir, r);
    }
}

// A numbered packet delivered a second time: the datagrams that led to it.
void ShowRepeat(Side at, uint32_t num)
{
    if (g->Cfg.TraceMode == 0)
        return;
    printf("delivered again at %s: num=%u\n", SideName[at], num);
    size_t from = g->Trace.size() > 40 ? g->Trace.size() - 40 : 0;
    for (size_t i = from; i < g->Trace.size(); ++i)
        printf("    %s\n", g->Trace[i].second.c_str());
}

void Classify(Side s)
{
    Watch* w = &g->W[s];
    bool held = false;
    for (int dir = 0; dir < 2; ++dir) {
        Side from = dir == IN ? SVC : TERM;
        const Held* h = &g->Hold[dir];
        held = held || (h->Valid && WatchOf(from, h->D.B, h->D.Len) == w);
        for (const Dgram& d : g->Wire[dir])
            held = held || WatchOf(from, d.B, d.Len) == w;
    }
    GiveUpClass c;
    if (w->AcksArrived > 0 || w->Copies > w->Acks + w->Naks)
        c = GU_OTHER;
    else if (w->Naks > 0)
        c = GU_NAK;
    else if (held)
        c = GU_HELD;
    else
        c = GU_DROPPED;
    ++g->St->GiveUps[s];
    ++g->St->Classes[s][c];
    if (w->Tag != SIM_NO_TAG)
        NumListAdd(g->GivenUp[s], w->Tag);
    if (g->Cfg.TraceMode == 2 || (g->Cfg.TraceMode == 1 && c != GU_DROPPED)) {
        printf("give-up by %s: seq=%u num=%d class=%s sends=%d data_dropped=%d data_held=%d data_doubled=%d "
               "copies=%d acks=%d acks_dropped=%d naks=%d acks_arrived=%d\n",
               SideName[s], w->Seq, w->Tag == SIM_NO_TAG ? -1 : int(w->Tag), ClassName[c], w->Sends,
               w->DataDropped, w->DataHeld, w->DataDup, w->Copies, w->Acks, w->AcksDropped, w->Naks, w->AcksArrived);
        for (const auto& line : g->Trace)
            if (line.first >= w->Start)
                printf("    %s\n", line.second.c_str());
    }
    w->Active = false;
}

void StartWatch(Side s, uint8_t seq, uint32_t tag)
{
    Watch* w = &g->W[s];
    *w = Watch{};
    w->Active = true;
    w->Seq = seq;
    w->Tag = tag;
    w->Start = g->Now;
    ++g->St->Frames[s];
}

// --- the service's side: the bridge's calls into the link ---

// After every call into the link: what it sent goes on the wire, an ended frame leaves the ring,
// a started one is watched.
void SvcAfter(bool wasPending, uint8_t wasSeq, bool gaveUp)
{
    Terminal* t = g->T;
    if (wasPending && t->SendSeq != wasSeq) {
        if (gaveUp)
            Classify(SVC);
        else
            g->W[SVC].Active = false;
        g->Ring.pop_front();
    }
    if (t->Pending == 1 && !g->W[SVC].Active)
        StartWatch(SVC, t->SendSeq, g->Ring.empty() ? SIM_NO_TAG : g->Ring.front());
    SvcTake();
}

void SvcTake()
{
    Dgram d;
    int n;
    while ((n = MemSocketTake(g->T->Socket, d.B, sizeof d.B)) > 0) {
        d.Len = uint32_t(n);
        d.At = g->Now + g->Cfg.LatencyMs;
        Emitted(SVC, d.B, d.Len);
        g->Wire[IN].push_back(d);
    }
}

// The suite's client: a numbered command whenever its window has room; a place is freed by the
// answer, or after EXPIRE_MS.
void ClientFeed()
{
    while (!g->Window.empty() && g->Now - g->Window.front().second > EXPIRE_MS)
        g->Window.pop_front();
    while (g->CmdNext < g->Cfg.Frames && g->Window.size() < size_t(WINDOW)) {
        SoakFill(&g->Out, g->CmdNext, g->Cfg.Frames, SIZE);
        Terminal* t = g->T;
        bool was = t->Pending == 1;
        uint8_t seq = t->SendSeq;
        g->Ring.push_back(g->CmdNext);
        if (t->SlotCount >= SLOT_LIMIT || TerminalSend(t, &g->Out) == 0) {
            g->Ring.pop_back();
            break;
        }
        g->Window.emplace_back(g->CmdNext, g->Now);
        ++g->CmdNext;
        SvcAfter(was, seq, false);
    }
}

// A datagram about to reach side to: a copy of the other side's frame, or an answer to its own.
void Arriving(Side to, const Dgram& d)
{
    Side from = Side(1 - to);
    Watch* w = WatchOf(from, d.B, d.Len);
    if (w == nullptr)
        return;
    if (!IsLink(d.B))
        ++w->Copies;
    else if (d.B[0] & SIM_FLAG_ACK)
        ++w->AcksArrived;
}

void SvcDeliver(const Dgram& d)
{
    Terminal* t = g->T;
    Arriving(SVC, d);
    bool was = t->Pending == 1;
    uint8_t seq = t->SendSeq;
    TermPacket* p = &g->Pkt;
    int r = TerminalRecvDatagram(t, d.B, int(d.Len), p);
    Note("service got %s%s", Describe(d.B, d.Len).c_str(), r > 0 ? ": delivered" : "");
    SvcAfter(was, seq, false);
    if (r <= 0)
        return;
    uint32_t num = 0, total = 0;
    int k = SoakCheck(p, &num, &total);
    if (HasStatus(p->Cmd)) {
        // An answer to one of our commands frees its window place.
        uint32_t cmdNum = p->Len >= 4 ? (uint32_t(p->Data[0]) << 24 | uint32_t(p->Data[1]) << 16 |
                                         uint32_t(p->Data[2]) << 8 | p->Data[3])
                                      : 0xFFFFFFFFu;
        for (auto it = g->Window.begin(); it != g->Window.end(); ++it) {
            if (it->first == cmdNum) {
                g->Window.erase(it);
                break;
            }
        }
    } else if (k == SOAK_DAMAGED) {
        ++g->St->Damaged[SVC];
    } else if (k == SOAK_OK) {
        uint32_t first = g->Track[SVC].Next;
        int skipped = SoakTrackAdd(&g->Track[SVC], num, total);
        if (skipped < 0)
            ShowRepeat(SVC, num);
        for (int i = 0; i < skipped; ++i)
            NumListAdd(g->Missing[SVC], first + uint32_t(i));
    }
    ClientFeed();
}

void SvcTick()
{
    Terminal* t = g->T;
    bool was = t->Pending == 1;
    uint8_t seq = t->SendSeq;
    TerminalTime(t);
    // The timer ends a frame only by giving it up.
    SvcAfter(was, seq, true);
    ClientFeed();
}

// --- termsim's side ---

void TermSend(SimOutbox* box)
{
    for (int i = 0; i < box->Count; ++i) {
        Dgram d;
        d.Len = box->Len[i];
        memcpy(d.B, box->Bytes[i], d.Len);
        d.At = g->Now;
        Emitted(TERM, d.B, d.Len);
        Route(OUT, d);
    }
}

void TermAfter(bool wasPending, uint8_t wasSeq, SimOutbox* box)
{
    SimLink* l = &g->L;
    if (wasPending && l->SendSeq != wasSeq) {
        if (box->Abandoned)
            Classify(TERM);
        else
            g->W[TERM].Active = false;
    }
    if (l->Pending && !g->W[TERM].Active)
        StartWatch(TERM, l->SendSeq, l->Queue[l->Head].Tag);
    TermSend(box);
}

void TermDeliver(const Dgram& d)
{
    SimLink* l = &g->L;
    bool was = l->Pending;
    uint8_t seq = l->SendSeq;
    SimOutbox box;
    SimOutboxClear(&box);
    Arriving(TERM, d);
    int r = SimLinkRecv(l, d.B, d.Len, g->Now, &g->Pkt, &box);
    Note("termsim got %s%s", Describe(d.B, d.Len).c_str(), r == SIM_RX_DELIVERED ? ": delivered" : "");
    TermAfter(was, seq, &box);
    if (r != SIM_RX_DELIVERED)
        return;
    TermPacket* p = &g->Pkt;
    uint32_t num = 0, total = 0;
    int k = SoakCheck(p, &num, &total);
    if (k == SOAK_DAMAGED) {
        ++g->St->Damaged[TERM];
    } else if (k == SOAK_OK) {
        uint32_t first = g->Track[TERM].Next;
        int skipped = SoakTrackAdd(&g->Track[TERM], num, total);
        if (skipped < 0)
            ShowRepeat(TERM, num);
        for (int i = 0; i < skipped; ++i)
            NumListAdd(g->Missing[TERM], first + uint32_t(i));
    }
    // termsim answers every command: the same data, command | 0x8000, status 0.
    TermPacket* a = &g->Out;
    a->Cmd = (p->Cmd | CMD_RESPONSE) & 0xFFFF;
    a->Status = 0;
    a->Len = p->Len;
    memcpy(a->Data, p->Data, p->Len);
    SimLinkQueue(l, a, SIM_NO_TAG);
}

// termsim's loop: its queues topped up, then the link's timer.
void TermPoll()
{
    SimLink* l = &g->L;
    while (g->TermNext < g->Cfg.Frames && SimLinkFree(l) > TERM_FREE_FOR_REPLIES) {
        SoakFill(&g->Out, g->TermNext, g->Cfg.Frames, SIZE);
        SimLinkQueue(l, &g->Out, g->TermNext);
        ++g->TermNext;
    }
    bool was = l->Pending;
    uint8_t seq = l->SendSeq;
    SimOutbox box;
    SimOutboxClear(&box);
    SimLinkPoll(l, g->Now, &box);
    TermAfter(was, seq, &box);
}

bool Done()
{
    return g->CmdNext >= g->Cfg.Frames && g->TermNext >= g->Cfg.Frames && g->Window.empty() &&
           g->T->SlotCount == 0 && !SimLinkBusy(&g->L) && g->Wire[IN].empty() && g->Wire[OUT].empty() &&
           !g->Hold[IN].Valid && !g->Hold[OUT].Valid;
}

void SimClock(struct TimeStamp* s)
{
    s->Seconds = int32_t(g->Now / 1000);
    s->Microseconds = int32_t(g->Now % 1000) * 1000;
}

void Run(const Config& cfg, uint64_t seed, Stats* st)
{
    static NumList lists[4];
    for (NumList& l : lists)
        l.Count = 0;
    Sim* s = new Sim();
    g = s;
    s->Cfg = cfg;
    s->St = st;
    s->Faults = FaultConfig{cfg.Loss, cfg.Dup, cfg.Reorder, 0};
    SimRngSeed(&s->Rng[IN], seed * 2 + 1);
    SimRngSeed(&s->Rng[OUT], seed * 2 + 2);
    SimRngSeed(&s->TickRng, seed * 2 + 3);
    s->GivenUp[SVC] = &lists[0];
    s->GivenUp[TERM] = &lists[1];
    s->Missing[SVC] = &lists[2];
    s->Missing[TERM] = &lists[3];
    SoakTrackInit(&s->Track[SVC]);
    SoakTrackInit(&s->Track[TERM]);
    // A clock far from 0, so that no difference of readings starts at the epoch.
    s->Now = 1700000000000LL;
    s->Start = s->Now;
    TerminalSetClock(SimClock);
    if (!TerminalInitPorts("Master", "127.0.0.1", 0, 0, &s->T)) {
        fprintf(stderr, "link_sim: cannot create the link\n");
        exit(2);
    }
    SimLinkInit(&s->L, 0, 0, false);
    s->NextTick = s->Now + 37;
    ClientFeed();
    TermPoll();
    while (!Done()) {
        int64_t next = s->NextTick;
        for (int dir = 0; dir < 2; ++dir) {
            if (!s->Wire[dir].empty() && s->Wire[dir].front().At < next)
                next = s->Wire[dir].front().At;
            if (s->Hold[dir].Valid && s->Hold[dir].Since + HOLD_MAX_MS < next)
                next = s->Hold[dir].Since + HOLD_MAX_MS;
        }
        int64_t due = SimLinkNextDueMs(&s->L, s->Now);
        if (due >= 0 && s->Now + due < next)
            next = s->Now + due;
        if (next > s->Now)
            s->Now = next;
        while (!s->Wire[OUT].empty() && s->Wire[OUT].front().At <= s->Now) {
            Dgram d = s->Wire[OUT].front();
            s->Wire[OUT].pop_front();
            SvcDeliver(d);
        }
        while (!s->Wire[IN].empty() && s->Wire[IN].front().At <= s->Now) {
            Dgram d = s->Wire[IN].front();
            s->Wire[IN].pop_front();
            Route(IN, d);
        }
        for (int dir = 0; dir < 2; ++dir) {
            Held* h = &s->Hold[dir];
            if (h->Valid && s->Now - h->Since >= HOLD_MAX_MS) {
                h->Valid = false;
                Note("  released alone: %s", Describe(h->D.B, h->D.Len).c_str());
                Pass(Dir(dir), h->D);
            }
        }
        TermPoll();
        if (s->Now >= s->NextTick) {
            SvcTick();
            int64_t jitter = cfg.TickJitterMs > 0 ? int64_t(SimRngNext(&s->TickRng) % uint64_t(cfg.TickJitterMs + 1)) : 0;
            s->NextTick = s->Now + TICK_MS + jitter;
        }
    }
    // Every numbered packet that did not arrive must have been given up by its sender.
    for (int r = 0; r < 2; ++r) {
        uint32_t first = s->Track[r].Next;
        uint32_t rest = SoakTrackFinish(&s->Track[r]);
        for (uint32_t k = 0; k < rest; ++k)
            NumListAdd(s->Missing[r], first + k);
        st->Repeats[r] += s->Track[r].Repeats;
        st->Delivered[r] += s->Track[r].Accepted;
        const NumList* gave = s->GivenUp[1 - r];
        for (uint32_t k = 0; k < s->Missing[r]->Count && k < NUM_LIST_SIZE; ++k) {
            bool found = false;
            for (uint32_t j = 0; j < gave->Count && j < NUM_LIST_SIZE && !found; ++j)
                found = gave->Nums[j] == s->Missing[r]->Nums[k];
            if (!found) {
                ++st->Unexplained[r];
                printf("missing at %s without a give-up: num=%u (seed %" PRIu64 ")\n", SideName[r],
                       s->Missing[r]->Nums[k], seed);
            }
        }
    }
    TerminalClose(s->T);
    TerminalSetClock(nullptr);
    delete s;
    g = nullptr;
}

const char Usage[] =
    "Usage: link_sim [options]\n"
    "The service's link against termsim's end in simulated time, through termsim's fault line.\n"
    "  --loss=P --dup=P --reorder=P   fault rates in each direction (default 0.05 each)\n"
    "  --frames=N     numbered packets each way per seed (default 2000)\n"
    "  --seed=S       first seed (default 20261208); --seeds=K runs S, S+1, ... S+K-1\n"
    "  --latency=MS   one-way delay of every datagram (default 1)\n"
    "  --tick-jitter=MS  the bridge's 100 ms tick comes up to this much later (default 5)\n"
    "  --trace=odd|all  print the datagrams of each give-up of a class other than dropped, or of all,\n"
    "                 and of each packet delivered twice\n"
    "  --check        exit 1 unless the laws hold (nothing twice or damaged, nothing missing that\n"
    "                 was not given up, no give-up of class other) and the give-ups stay within\n"
    "                 the model's bound\n"
    "Prints one line per sending side: frames, give-ups, their classes, the rate, the model's rate\n"
    "and the bound that chance exceeds with probability below 1e-6.\n";

bool Parse(int argc, char** argv, Config* c)
{
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* eq = strchr(a, '=');
        const char* v = eq ? eq + 1 : "";
        if (strcmp(a, "--help") == 0) {
            fputs(Usage, stdout);
            exit(0);
        } else if (strncmp(a, "--loss=", 7) == 0) {
            c->Loss = atof(v);
        } else if (strncmp(a, "--dup=", 6) == 0) {
            c->Dup = atof(v);
        } else if (strncmp(a, "--reorder=", 10) == 0) {
            c->Reorder = atof(v);
        } else if (strncmp(a, "--frames=", 9) == 0) {
            c->Frames = uint32_t(strtoul(v, nullptr, 10));
        } else if (strncmp(a, "--seed=", 7) == 0) {
            c->Seed = strtoull(v, nullptr, 10);
        } else if (strncmp(a, "--seeds=", 8) == 0) {
            c->Seeds = atoi(v);
        } else if (strncmp(a, "--latency=", 10) == 0) {
            c->LatencyMs = atoi(v);
        } else if (strncmp(a, "--tick-jitter=", 14) == 0) {
            c->TickJitterMs = atoi(v);
        } else if (strcmp(a, "--trace=odd") == 0) {
            c->TraceMode = 1;
        } else if (strcmp(a, "--trace=all") == 0) {
            c->TraceMode = 2;
        } else if (strcmp(a, "--check") == 0) {
            c->Check = true;
        } else {
            fprintf(stderr, "link_sim: bad option %s (see --help)\n", a);
            return false;
        }
    }
    bool rates = c->Loss >= 0 && c->Loss < 1 && c->Dup >= 0 && c->Dup <= 1 && c->Reorder >= 0 && c->Reorder <= 1;
    if (!rates || c->Frames == 0 || c->Frames > NUM_LIST_SIZE || c->Seeds < 1 || c->LatencyMs < 0 ||
        c->TickJitterMs < 0) {
        fprintf(stderr, "link_sim: rates 0 to 1 (loss below 1), 1 to %d frames, at least one seed\n", NUM_LIST_SIZE);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Config cfg;
    if (!Parse(argc, argv, &cfg))
        return 2;
    Stats st{};
    for (int k = 0; k < cfg.Seeds; ++k)
        Run(cfg, cfg.Seed + uint64_t(k), &st);
    FaultModel m = FaultModelOf(cfg.Loss, cfg.Dup, cfg.Reorder, RETRY_LIMIT + 1);
    int failures = 0;
    for (int s = 0; s < 2; ++s) {
        double rate = st.Frames[s] ? double(st.GiveUps[s]) / double(st.Frames[s]) : 0;
        uint64_t limit = FaultGiveUpLimit(m, st.Frames[s]);
        printf("sender=%s frames=%" PRIu64 " given_up=%" PRIu64 " dropped=%" PRIu64 " held=%" PRIu64 " nak=%" PRIu64
               " other=%" PRIu64 " rate=%.3g model_low=%.3g model=%.3g expected=%.2f limit=%" PRIu64 "\n",
               SideName[s], st.Frames[s], st.GiveUps[s], st.Classes[s][GU_DROPPED], st.Classes[s][GU_HELD],
               st.Classes[s][GU_NAK], st.Classes[s][GU_OTHER], rate, m.GiveUpLow, m.GiveUp, m.GiveUp * double(st.Frames[s]), limit);
        int r = 1 - s;
        printf("receiver=%s delivered=%" PRIu64 " repeats=%" PRIu64 " damaged=%" PRIu64
               " missing_without_give_up=%" PRIu64 "\n",
               SideName[r], st.Delivered[r], st.Repeats[r], st.Damaged[r], st.Unexplained[r]);
        if (st.Repeats[r] || st.Damaged[r] || st.Unexplained[r] || st.Classes[s][GU_OTHER] || st.GiveUps[s] > limit)
            ++failures;
    }
    printf("run loss=%.3f dup=%.3f reorder=%.3f frames=%u seeds=%d first_seed=%" PRIu64 "\n", cfg.Loss, cfg.Dup,
           cfg.Reorder, cfg.Frames, cfg.Seeds, cfg.Seed);
    return cfg.Check && failures > 0 ? 1 : 0;
}
