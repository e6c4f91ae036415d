#include "soak.h"

namespace {

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint32_t CheckWord(uint32_t num, uint32_t total) { return ~(num * 2654435761u + total); }

uint8_t PatternByte(uint32_t num, uint32_t i) { return uint8_t(num * 31u + i * 7u); }

}  // namespace

void SoakFill(TermPacket* pkt, uint32_t num, uint32_t total, uint32_t len)
{
    if (len < SOAK_MIN_LEN)
        len = SOAK_MIN_LEN;
    if (len > MAX_PACKET_DATA)
        len = MAX_PACKET_DATA;
    pkt->Cmd = SOAK_CMD;
    pkt->Status = 0;
    pkt->Len = len;
    PutBe32(pkt->Data, num);
    PutBe32(pkt->Data + 4, total);
    PutBe32(pkt->Data + 8, CheckWord(num, total));
    for (uint32_t i = SOAK_MIN_LEN; i < len; ++i)
        pkt->Data[i] = PatternByte(num, i);
}

int SoakCheck(const TermPacket* pkt, uint32_t* num, uint32_t* total)
{
    if ((pkt->Cmd & 0xFFFF) != SOAK_CMD)
        return SOAK_NOT;
    if (pkt->Len < SOAK_MIN_LEN || pkt->Len > MAX_PACKET_DATA)
        return SOAK_DAMAGED;
    const uint32_t n = GetBe32(pkt->Data);
    const uint32_t t = GetBe32(pkt->Data + 4);
    if (GetBe32(pkt->Data + 8) != CheckWord(n, t))
        return SOAK_DAMAGED;
    for (uint32_t i = SOAK_MIN_LEN; i < pkt->Len; ++i)
        if (pkt->Data[i] != PatternByte(n, i))
            return SOAK_DAMAGED;
    *num = n;
    *total = t;
    return SOAK_OK;
}

void SoakTrackInit(SoakTrack* t) { *t = SoakTrack{}; }

int SoakTrackAdd(SoakTrack* t, uint32_t num, uint32_t total)
{
    t->Total = total;
    if (num < t->Next) {
        ++t->Repeats;
        return -1;
    }
    const uint32_t skipped = num - t->Next;
    t->Missing += skipped;
    ++t->Accepted;
    t->Next = num + 1;
    return skipped > 0x7FFFFFFFu ? 0x7FFFFFFF : int(skipped);
}

uint32_t SoakTrackFinish(SoakTrack* t)
{
    if (t->Next >= t->Total)
        return 0;
    const uint32_t rest = t->Total - t->Next;
    t->Missing += rest;
    t->Next = t->Total;
    return rest;
}

void NumListAdd(NumList* l, uint32_t num)
{
    if (l->Count < NUM_LIST_SIZE)
        l->Nums[l->Count] = num;
    ++l->Count;
}
