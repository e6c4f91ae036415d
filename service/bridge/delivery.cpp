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

void ReportDrops(Delivery* d, PipeServer* srv, HeldDrops* drops, int reason)
{
    if (drops->Count == 0)
        return;
    Notice(d, srv, reason, drops->LastApp, drops->LastCmd, drops->Count);
    *drops = HeldDrops{};
}

// What was dropped first, then the held answers in arrival order, as far as the queue takes them.
void Flush(Delivery* d, PipeServer* srv)
{
    if (!ClientAnnounced(d, srv))
        return;
    ReportDrops(d, srv, &d->Held.Age, NOTICE_HELD_AGE);
    ReportDrops(d, srv, &d->Held.Full, NOTICE_HELD_COUNT);
    for (const HeldMsg* m = HeldPeek(&d->Held); m != nullptr; m = HeldPeek(&d->Held)) {
        if (srv->OutBytes + m->Len > FLUSH_BYTES || srv->OutCount >= FLUSH_MESSAGES)
            return;
        int w = PipeWrite(srv, m->Bytes, m->Len);
        TraceMessage("Delivery: held answer App=%02x (%u bytes) -> %d\n", m->Bytes[0], static_cast<unsigned>(m->Len),
                     w);
        if (w <= 0)
            return;  // the client went: the answer stays held for the next one
        HeldPop(&d->Held);
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
        HeldExpire(&d->Held, nowMs);
        TraceMessage("Delivery: client %u announced itself, %u answers held\n", static_cast<unsigned>(d->Client),
                     static_cast<unsigned>(d->Held.Count));
        size_t n = EncodeWelcome(static_cast<uint16_t>(d->Held.Count), msg, sizeof msg);
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
    bool holdFirst = (ClientAnnounced(d, srv) && d->Held.Count > 0) || (srv->Ready == 0 && d->Held.Max > 0);
    if (!holdFirst) {
        int w = PipeWrite(srv, msg, static_cast<uint32_t>(len));
        if (w > 0 || d->Held.Max == 0)
            return w;
    }
    if (HeldPut(&d->Held, msg, len, nowMs))
        TraceMessage("Delivery: answer App=%02x, Cmd=%02x%02x held for the next announced client (%u held)\n",
                     msg[0], msg[1], msg[2], static_cast<unsigned>(d->Held.Count));
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
