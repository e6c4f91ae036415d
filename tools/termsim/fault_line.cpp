// The fault line between termsim's sockets and its links: loss, duplication, reordering and
// delay, drawn from one seeded stream per direction.
#include <cstring>

#include "sim.h"

const char* const DirName[2] = {"in", "out"};

namespace {

// Sends or processes a datagram now, or after its delay.
void Emit(Sim* s, int dir, int app, const uint8_t* b, size_t n, int delayMs, int64_t now)
{
    if (delayMs <= 0) {
        Deliver(s, dir, app, b, n, now);
        return;
    }
    for (Delayed& q : s->Queue) {
        if (!q.Used) {
            q.Used = true;
            q.At = now + delayMs;
            q.Dir = dir;
            q.App = app;
            q.D.Len = uint32_t(n);
            memcpy(q.D.Bytes, b, n);
            ++s->Faults[dir].Delayed;
            return;
        }
    }
    // The delay line is full: the datagram goes on at once rather than being lost silently.
    ++s->QueueOverflow;
    Deliver(s, dir, app, b, n, now);
}

}  // namespace

void Route(Sim* s, int dir, int app, const uint8_t* b, size_t n, int64_t now)
{
    const FaultConfig* cfg = dir == DIR_IN ? &s->Opt.In : &s->Opt.Out;
    FaultPlan plan = FaultDecide(cfg, &s->Rng[dir]);
    char what[16];
    if (plan.Drop) {
        ++s->Faults[dir].Dropped;
        snprintf(what, sizeof what, "%s-drop", DirName[dir]);
        LogDatagram(s, now, what, app, b, n, "");
        return;
    }
    Held* held = &s->Apps[app].Hold[dir];
    bool heldNow = false;
    if (plan.Hold && !held->Valid) {
        ++s->Faults[dir].Reordered;
        held->Valid = true;
        held->Since = now;
        held->D.Len = uint32_t(n);
        memcpy(held->D.Bytes, b, n);
        heldNow = true;
        snprintf(what, sizeof what, "%s-hold", DirName[dir]);
        LogDatagram(s, now, what, app, b, n, "");
    } else {
        Emit(s, dir, app, b, n, plan.DelayMs, now);
    }
    if (plan.Dup) {
        ++s->Faults[dir].Duplicated;
        snprintf(what, sizeof what, "%s-dup", DirName[dir]);
        LogDatagram(s, now, what, app, b, n, "");
        Emit(s, dir, app, b, n, plan.DelayMs, now);
    }
    // A held datagram goes on right after the next one that passes.
    if (held->Valid && !heldNow) {
        Datagram d = held->D;
        held->Valid = false;
        Emit(s, dir, app, d.Bytes, d.Len, 0, now);
    }
}

void ReleaseDue(Sim* s, int64_t now)
{
    for (Delayed& q : s->Queue) {
        if (q.Used && q.At <= now) {
            q.Used = false;
            Deliver(s, q.Dir, q.App, q.D.Bytes, q.D.Len, now);
        }
    }
    for (int i = 0; i < APP_COUNT; ++i) {
        for (int dir = 0; dir < 2; ++dir) {
            Held* h = &s->Apps[i].Hold[dir];
            if (h->Valid && now - h->Since >= HOLD_MAX_MS) {
                h->Valid = false;
                Deliver(s, dir, i, h->D.Bytes, h->D.Len, now);
            }
        }
    }
}

int64_t FaultLineNextMs(const Sim* s, int64_t now, int64_t limitMs)
{
    int64_t wait = limitMs;
    for (const Delayed& q : s->Queue)
        if (q.Used && q.At - now < wait)
            wait = q.At - now;
    for (const AppState& a : s->Apps) {
        if (!a.Active)
            continue;
        for (const Held& h : a.Hold)
            if (h.Valid && h.Since + HOLD_MAX_MS - now < wait)
                wait = h.Since + HOLD_MAX_MS - now;
    }
    return wait;
}

bool FaultLineEmpty(const Sim* s)
{
    for (const Delayed& q : s->Queue)
        if (q.Used)
            return false;
    for (const AppState& a : s->Apps)
        if (a.Active && (a.Hold[0].Valid || a.Hold[1].Valid))
            return false;
    return true;
}
