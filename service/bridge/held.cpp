#include "held.h"

#include <cstring>

#include "byte_order.h"
#include "debug.h"

namespace {

void Drop(HeldQueue* q, HeldDrops* d, const char* why)
{
    const HeldMsg* m = &q->Msgs[q->First];
    d->Count++;
    q->Dropped++;
    d->LastApp = m->Bytes[0];
    d->LastCmd = GetU16(m->Bytes + 1);
    TraceMessage("Held answer App=%02x, Cmd=%04x dropped (%s), %u dropped so\n", d->LastApp,
                 static_cast<unsigned>(d->LastCmd), why, static_cast<unsigned>(d->Count));
    HeldPop(q);
}

}  // namespace

void HeldInit(HeldQueue* q, uint32_t max, uint32_t seconds)
{
    q->Max = max > HELD_MAX_LIMIT ? HELD_MAX_LIMIT : max;
    q->MaxAgeMs = seconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : seconds * 1000;
    q->First = 0;
    q->Count = 0;
    q->Age = HeldDrops{};
    q->Full = HeldDrops{};
    q->Dropped = 0;
}

int HeldPut(HeldQueue* q, const uint8_t* msg, size_t len, uint32_t nowMs)
{
    if (q->Max == 0 || msg == nullptr || len < 3 || len > MAX_CLIENT_OUT)
        return 0;
    if (q->Count >= q->Max)
        Drop(q, &q->Full, "count");
    HeldMsg* m = &q->Msgs[(q->First + q->Count) % HELD_MAX_LIMIT];
    m->At = nowMs;
    m->Len = static_cast<uint32_t>(len);
    memcpy(m->Bytes, msg, len);
    q->Count++;
    return 1;
}

uint32_t HeldExpire(HeldQueue* q, uint32_t nowMs)
{
    uint32_t n = 0;
    // Unsigned differences: right across the counter's wrap.
    while (q->Count > 0 && nowMs - q->Msgs[q->First].At > q->MaxAgeMs) {
        Drop(q, &q->Age, "age");
        ++n;
    }
    return n;
}

const HeldMsg* HeldPeek(const HeldQueue* q) { return q->Count > 0 ? &q->Msgs[q->First] : nullptr; }

void HeldPop(HeldQueue* q)
{
    if (q->Count == 0)
        return;
    q->First = (q->First + 1) % HELD_MAX_LIMIT;
    q->Count--;
}
