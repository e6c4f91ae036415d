#include "delivery.h"

#include <cstring>

#include "PipeSrv.h"
#include "debug.h"
#include "ident.h"
#include "link_wrap.h"
#include "terminal.h"

namespace {

// Held answers go out while the client's queue stays below half its bounds, so that a burst of
// the terminal's own answers still fits behind them.
constexpr uint32_t FLUSH_BYTES = PIPE_OUT_QUEUE_BYTES / 2;
constexpr uint32_t FLUSH_MESSAGES = PIPE_OUT_QUEUE_MESSAGES / 2;

static_assert(PIPE_ACCOUNT_SIZE == HELD_ACCOUNT_SIZE, "the pipe's account text fits the held answers' owner");

// A clock set back reads as just now.
uint32_t MsBefore(const struct TimeStamp& then, const struct TimeStamp& now)
{
    int32_t ms = ElapsedMs(then, now);
    return ms < 0 ? 0 : static_cast<uint32_t>(ms);
}

bool ClientAnnounced(Delivery* d, const PipeServer* srv)
{
    if (d->Announced && (srv->Ready == 0 || srv->Clients != d->Client)) {
        TraceMessage("Delivery: the announced client is gone\n");
        d->Announced = 0;
    }
    return d->Announced != 0;
}

void Notice(Delivery* d, PipeServer* srv, int reason, uint8_t app, uint32_t cmd, uint32_t count)
{
    if (reason > 0 && reason <= NOTICE_HELD_COUNT)
        d->Notices[reason]++;
    TraceMessage("Delivery: notice %d for App=%02x, Cmd=%04x (%u)%s\n", reason, app, static_cast<unsigned>(cmd),
                 static_cast<unsigned>(count), ClientAnnounced(d, srv) ? "" : ", no announced client");
    if (!d->Announced)
        return;
    uint8_t msg[NOTICE_SIZE];
    size_t n = EncodeNotice(reason, app, cmd, count, msg, sizeof msg);
    PipeWrite(srv, msg, static_cast<uint32_t>(n));
}

void ReportDrops(Delivery* d, PipeServer* srv, const HeldDrops& drops, int reason)
{
    if (drops.Count > 0)
        Notice(d, srv, reason, drops.LastApp, drops.LastCmd, drops.Count);
}

// What was dropped of the client's own answers first, then its held answers in arrival order, as
// far as the queue takes them. Another account's answers keep their places for their owner.
void Flush(Delivery* d, PipeServer* srv)
{
    if (!ClientAnnounced(d, srv))
        return;
    HeldDrops age, full;
    HeldTakeDrops(&d->Held, d->Account, &age, &full);
    ReportDrops(d, srv, age, NOTICE_HELD_AGE);
    ReportDrops(d, srv, full, NOTICE_HELD_COUNT);
    for (const HeldMsg* m = HeldPeekFor(&d->Held, d->Account); m != nullptr; m = HeldPeekFor(&d->Held, d->Account)) {
        if (srv->OutBytes + m->Len > FLUSH_BYTES || srv->OutCount >= FLUSH_MESSAGES)
            return;
        int w = PipeWrite(srv, m->Bytes, m->Len);
        TraceMessage("Delivery: held answer App=%02x (%u bytes) of account '%s' -> %d\n", m->Bytes[0],
                     static_cast<unsigned>(m->Len), m->Owner, w);
        if (w <= 0)
            return;  // the client went: the answer stays held for the next one
        HeldTake(&d->Held, m);
    }
}

static_assert(APP_COUNT == IDENT_LINK_COUNT, "one state byte per application in the status block");

// The status block shows each link's state to programs outside the pipe (the applet).
void PublishLinks(Delivery* d, Terminal* const* terms)
{
    if (d->Ident == nullptr)
        return;
    uint8_t states[APP_COUNT];
    for (int i = 0; i < APP_COUNT; ++i)
        states[i] = terms[i] != nullptr ? static_cast<uint8_t>(terms[i]->Health) : 0;
    if (memcmp(states, d->Published, sizeof states) == 0)
        return;
    if (UpdateIdentLinks(static_cast<HANDLE>(d->Ident), states))
        memcpy(d->Published, states, sizeof states);
}

}  // namespace

void DeliveryInit(Delivery* d, uint32_t heldMax, uint32_t heldSeconds)
{
    d->Announced = 0;
    d->Client = 0;
    d->Account[0] = '\0';
    d->Ident = nullptr;
    memset(d->Published, 0xFF, sizeof d->Published);  // no state: the first tick writes them
    for (uint32_t& n : d->SeenGivenUp)
        n = 0;
    for (uint32_t& n : d->Notices)
        n = 0;
    HeldInit(&d->Held, heldMax, heldSeconds);
}

void DeliveryControl(Delivery* d, PipeServer* srv, Terminal* const* terms, uint32_t cmd, uint32_t nowMs)
{
    uint8_t msg[HEALTH_ANSWER_SIZE];
    if (cmd == CONTROL_ANNOUNCE) {
        d->Announced = 1;
        d->Client = srv->Clients;
        memcpy(d->Account, srv->Account, sizeof d->Account);
        HeldExpire(&d->Held, nowMs);
        uint32_t own = HeldCountFor(&d->Held, d->Account);
        // Answers held back from a client are worth an administrator's look: another account's
        // program announced itself where the owner's was expected.
        EventMessage(own < d->Held.Count ? EVENT_CLIENT_REFUSED : 0,
                     "Delivery: client %u of account '%s' announced itself, %u answers held for it (%u in all)\n",
                     static_cast<unsigned>(d->Client), d->Account, static_cast<unsigned>(own),
                     static_cast<unsigned>(d->Held.Count));
        size_t n = EncodeWelcome(static_cast<uint16_t>(own), msg, sizeof msg);
        PipeWrite(srv, msg, static_cast<uint32_t>(n));
        Flush(d, srv);
    } else if (cmd == CONTROL_HEALTH) {
        AppHealth apps[APP_COUNT];
        DeliveryHealth(terms, apps);
        size_t n = EncodeHealth(apps, msg, sizeof msg);
        TraceMessage("Delivery: link health -> %d\n", PipeWrite(srv, msg, static_cast<uint32_t>(n)));
    }
}

void DeliveryRefused(Delivery* d, PipeServer* srv, const Terminal* t, int app, uint32_t cmd)
{
    int reason = t != nullptr && t->SlotCount >= SLOT_LIMIT ? NOTICE_QUEUE_FULL : NOTICE_LINK_UNUSABLE;
    Notice(d, srv, reason, AppMaskOf(app), cmd, 1);
}

int DeliveryAnswer(Delivery* d, PipeServer* srv, const uint8_t* msg, size_t len, uint32_t nowMs)
{
    // Behind answers still held, a new one waits its turn: the client gets them in arrival order.
    // With no client at all it is held without a write.
    bool holdFirst = (ClientAnnounced(d, srv) && HeldPeekFor(&d->Held, d->Account) != nullptr) ||
                     (srv->Ready == 0 && d->Held.Max > 0);
    if (!holdFirst) {
        int w = PipeWrite(srv, msg, static_cast<uint32_t>(len));
        if (w > 0 || d->Held.Max == 0)
            return w;
    }
    // Its owner is the account served last: the client that went, or the one that failed to take it.
    if (HeldPut(&d->Held, msg, len, nowMs, srv->Account))
        TraceMessage("Delivery: answer App=%02x, Cmd=%02x%02x held for the next announced client of account '%s' "
                     "(%u held)\n", msg[0], msg[1], msg[2], srv->Account, static_cast<unsigned>(d->Held.Count));
    Flush(d, srv);
    return 0;
}

void DeliveryTimer(Delivery* d, PipeServer* srv, Terminal* const* terms, uint32_t nowMs)
{
    for (int i = 0; i < APP_COUNT; ++i) {
        const Terminal* t = terms[i];
        if (t == nullptr || t->GivenUp == d->SeenGivenUp[i])
            continue;
        // The link gives up at most one frame per tick, and this runs after every tick.
        d->SeenGivenUp[i] = t->GivenUp;
        if (t->GivenUpTag != 0)
            Notice(d, srv, NOTICE_GIVEN_UP, AppMaskOf(i), t->GivenUpCmd, 1);
    }
    HeldExpire(&d->Held, nowMs);
    Flush(d, srv);
    PublishLinks(d, terms);
}

void DeliveryHealth(Terminal* const* terms, AppHealth* apps)
{
    struct TimeStamp now;
    TimeStamp(&now);
    for (int i = 0; i < APP_COUNT; ++i) {
        const Terminal* t = terms[i];
        AppHealth& a = apps[i];
        a = AppHealth{};
        a.SinceMs = a.LastHeardMs = HEALTH_NEVER;
        if (t == nullptr)
            continue;
        a.State = static_cast<uint8_t>(t->Health);
        if (t->Health != LINK_UNKNOWN)
            a.SinceMs = MsBefore(t->HealthSince, now);
        if (t->Heard)
            a.LastHeardMs = MsBefore(t->LastHeard, now);
        a.Sent = t->FramesSent;
        a.Received = t->FramesReceived;
        a.Retransmitted = t->Retransmitted;
        a.GivenUp = t->GivenUp;
        a.Queue = static_cast<uint8_t>(t->SlotCount);
    }
}
