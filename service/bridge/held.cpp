#include "held.h"

#include <cstring>

#include "byte_order.h"
#include "debug.h"

namespace {

void CopyAccount(char* to, const char* from)
{
    size_t n = from == nullptr ? 0 : strnlen(from, HELD_ACCOUNT_SIZE - 1);
    if (n > 0)
        memcpy(to, from, n);
    to[n] = '\0';
}

// The later of two drops by their serial numbers; a signed difference stays right across the
// counter's wrap.
bool Later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

void Count(HeldDrops* d, const HeldMsg* m, uint32_t serial)
{
    d->Count++;
    d->LastApp = m->Bytes[0];
    d->LastCmd = GetU16(m->Bytes + 1);
    d->Serial = serial;
}

// The record that counts the drops of owner's answers: its own, an unused one, or else the one
// whose latest drop is the oldest, whose counts are forgotten (traced).
HeldAccountDrops* AccountDrops(HeldQueue* q, const char* owner)
{
    HeldAccountDrops* unused = nullptr;
    HeldAccountDrops* oldest = &q->Accounts[0];
    for (HeldAccountDrops& a : q->Accounts) {
        bool used = a.Age.Count + a.Full.Count > 0;
        if (used && strcmp(a.Owner, owner) == 0)
            return &a;
        if (!used && unused == nullptr)
            unused = &a;
        if (used && Later(oldest->Serial, a.Serial))
            oldest = &a;
    }
    HeldAccountDrops* a = unused;
    if (a == nullptr) {
        a = oldest;
        TraceMessage("Held answers: the drops of account '%s' (%u) are forgotten for those of '%s'\n", a->Owner,
                     static_cast<unsigned>(a->Age.Count + a->Full.Count), owner);
    }
    *a = HeldAccountDrops{};
    CopyAccount(a->Owner, owner);
    return a;
}

// Removes the message at position i of the arrival order.
void Remove(HeldQueue* q, uint32_t i)
{
    q->Spare[q->SpareCount++] = q->Order[i];
    memmove(q->Order + i, q->Order + i + 1, (q->Count - i - 1) * sizeof q->Order[0]);
    q->Count--;
}

void Drop(HeldQueue* q, bool forAge)
{
    const HeldMsg* m = &q->Msgs[q->Order[0]];
    uint32_t serial = ++q->Serial;
    q->Dropped++;
    HeldDrops* all = forAge ? &q->Age : &q->Full;
    Count(all, m, serial);
    HeldAccountDrops* a = AccountDrops(q, m->Owner);
    Count(forAge ? &a->Age : &a->Full, m, serial);
    a->Serial = serial;
    TraceMessage("Held answer App=%02x, Cmd=%04x dropped (%s), %u dropped so; account '%s'\n", all->LastApp,
                 static_cast<unsigned>(all->LastCmd), forAge ? "age" : "count", static_cast<unsigned>(all->Count),
                 m->Owner);
    Remove(q, 0);
}

int32_t FindFor(const HeldQueue* q, const char* client)
{
    for (uint32_t i = 0; i < q->Count; ++i)
        if (HeldMayTake(q->Msgs[q->Order[i]].Owner, client))
            return static_cast<int32_t>(i);
    return -1;
}

void Merge(HeldDrops* into, const HeldDrops& from)
{
    if (from.Count == 0)
        return;
    if (into->Count == 0 || Later(from.Serial, into->Serial)) {
        into->LastApp = from.LastApp;
        into->LastCmd = from.LastCmd;
        into->Serial = from.Serial;
    }
    into->Count += from.Count;
}

}  // namespace

int HeldMayTake(const char* owner, const char* client)
{
    if (owner == nullptr || client == nullptr)
        return 0;
    // Before any client was served, only the service itself had spoken to the terminal (its echo
    // at start): such answers go to whichever client announces itself first.
    return owner[0] == '\0' || strcmp(owner, client) == 0 ? 1 : 0;
}

void HeldInit(HeldQueue* q, uint32_t max, uint32_t seconds)
{
    q->Max = max > HELD_MAX_LIMIT ? HELD_MAX_LIMIT : max;
    q->MaxAgeMs = seconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : seconds * 1000;
    q->Count = 0;
    q->Age = HeldDrops{};
    q->Full = HeldDrops{};
    q->Serial = 0;
    for (HeldAccountDrops& a : q->Accounts)
        a = HeldAccountDrops{};
    q->SpareCount = q->Max;
    for (uint32_t i = 0; i < q->Max; ++i)
        q->Spare[i] = static_cast<uint16_t>(q->Max - 1 - i);
    q->Dropped = 0;
}

int HeldPut(HeldQueue* q, const uint8_t* msg, size_t len, uint32_t nowMs, const char* owner)
{
    if (q->Max == 0 || msg == nullptr || len < 3 || len > MAX_CLIENT_OUT)
        return 0;
    if (q->Count >= q->Max)
        Drop(q, false);
    uint16_t slot = q->Spare[--q->SpareCount];
    HeldMsg* m = &q->Msgs[slot];
    m->At = nowMs;
    m->Len = static_cast<uint32_t>(len);
    CopyAccount(m->Owner, owner);
    memcpy(m->Bytes, msg, len);
    q->Order[q->Count++] = slot;
    return 1;
}

uint32_t HeldExpire(HeldQueue* q, uint32_t nowMs)
{
    uint32_t n = 0;
    // Unsigned differences: right across the counter's wrap. The oldest of every account goes
    // first, so the arrival order is also the order of age.
    while (q->Count > 0 && nowMs - q->Msgs[q->Order[0]].At > q->MaxAgeMs) {
        Drop(q, true);
        ++n;
    }
    return n;
}

const HeldMsg* HeldPeek(const HeldQueue* q) { return q->Count > 0 ? &q->Msgs[q->Order[0]] : nullptr; }

void HeldPop(HeldQueue* q)
{
    if (q->Count > 0)
        Remove(q, 0);
}

const HeldMsg* HeldPeekFor(const HeldQueue* q, const char* client)
{
    int32_t i = FindFor(q, client);
    return i < 0 ? nullptr : &q->Msgs[q->Order[i]];
}

uint32_t HeldCountFor(const HeldQueue* q, const char* client)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < q->Count; ++i)
        n += static_cast<uint32_t>(HeldMayTake(q->Msgs[q->Order[i]].Owner, client));
    return n;
}

void HeldTake(HeldQueue* q, const HeldMsg* m)
{
    for (uint32_t i = 0; i < q->Count; ++i)
        if (&q->Msgs[q->Order[i]] == m) {
            Remove(q, i);
            return;
        }
}

void HeldTakeDrops(HeldQueue* q, const char* client, HeldDrops* age, HeldDrops* full)
{
    *age = HeldDrops{};
    *full = HeldDrops{};
    for (HeldAccountDrops& a : q->Accounts) {
        if (a.Age.Count + a.Full.Count == 0 || !HeldMayTake(a.Owner, client))
            continue;
        Merge(age, a.Age);
        Merge(full, a.Full);
        a = HeldAccountDrops{};
    }
}
