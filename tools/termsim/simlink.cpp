#include "simlink.h"

#include <cstring>

namespace {

uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void OutboxAdd(SimOutbox* out, const uint8_t* bytes, uint32_t len)
{
    if (out->Count >= 2)
        return;
    memcpy(out->Bytes[out->Count], bytes, len);
    out->Len[out->Count] = len;
    ++out->Count;
}

void SendLink(SimOutbox* out, uint8_t flags, uint8_t seq)
{
    const uint8_t frame[2] = {flags, seq};
    OutboxAdd(out, frame, 2);
}

// Every transmission rewrites only the flag and sequence bytes of the held frame.
void SendHead(SimLink* link, int64_t nowMs, uint8_t sync, SimOutbox* out)
{
    SimFrame* f = &link->Queue[link->Head];
    f->Bytes[0] = sync;
    f->Bytes[1] = link->SendSeq;
    link->SentAtMs = nowMs;
    OutboxAdd(out, f->Bytes, f->Len);
}

void ReleaseHead(SimLink* link)
{
    link->Pending = false;
    link->RetryCount = 0;
    link->SendSeq = SimSeqNext(link->SendSeq);
    link->Head = (link->Head + 1) % SIM_QUEUE_SIZE;
    --link->Count;
}

void RecvLinkFrame(SimLink* link, uint8_t flags, uint8_t seq, int64_t nowMs, SimOutbox* out)
{
    if (flags & SIM_FLAG_ACK) {
        if (link->Pending && seq == link->SendSeq) {
            ++link->C.AckRecv;
            ReleaseHead(link);
        } else {
            ++link->C.StaleAck;
        }
    }
    if (flags & SIM_FLAG_NAK) {
        ++link->C.NakRecv;
        // A NAK names the frame it rejects. Answering one for any other number (a late copy of
        // an old frame, or a frame already acknowledged) would send the current frame again
        // with a resync and have it delivered twice, so only the frame in flight is repeated.
        if (link->Pending && seq == link->SendSeq) {
            ++link->C.NakResends;
            SendHead(link, nowMs, flags & SIM_FLAG_SYNC, out);
        } else {
            ++link->C.StaleNak;
        }
    }
}

// From the number on: a copy sent again with the sync flag differs only in the flag byte.
bool SameAsLastAccepted(const SimLink* link, const uint8_t* d, size_t n)
{
    return link->LastAcceptedLen != 0 && link->LastAcceptedLen == n &&
           memcmp(link->LastAccepted + 1, d + 1, n - 1) == 0;
}

}  // namespace

uint8_t SimSeqNext(uint8_t seq) { return static_cast<uint8_t>(seq + 1); }

bool SimSeqIsPrevious(uint8_t seq, uint8_t expected) { return SimSeqNext(seq) == expected; }

int64_t SimElapsedMs(int64_t then, int64_t now) { return now > then ? now - then : 0; }

void SimLinkInit(SimLink* link, int app, uint8_t startSeq, bool silent)
{
    memset(link, 0, sizeof *link);
    link->App = app;
    link->Silent = silent;
    link->SendSeq = startSeq;
    link->RecvSeq = 0;
}

void SimOutboxClear(SimOutbox* out)
{
    out->Count = 0;
    out->Abandoned = false;
    out->AbandonedTag = SIM_NO_TAG;
}

int SimLinkRecv(SimLink* link, const uint8_t* d, size_t n, int64_t nowMs, TermPacket* pkt,
                SimOutbox* out)
{
    if (n < 2) {
        ++link->C.Malformed;
        return SIM_RX_RUNT;
    }
    const uint8_t flags = d[0];
    const uint8_t seq = d[1];
    if (!(flags & SIM_FLAG_HOST)) {
        ++link->C.OwnDirection;
        return SIM_RX_OWN;
    }
    const bool isLink = (flags & (SIM_FLAG_ACK | SIM_FLAG_NAK)) != 0;
    if (!isLink) {
        ++link->C.DataIn;
        if (link->HaveLastData && link->LastDataSeq == seq)
            ++link->C.RetransSeen;
        link->HaveLastData = true;
        link->LastDataSeq = seq;
    }
    if (link->Silent)
        return SIM_RX_SILENT;
    if (isLink) {
        RecvLinkFrame(link, flags, seq, nowMs, out);
        return SIM_RX_LINK;
    }

    // The sync flag answers our own resync NAK. Honoured anywhere else (a duplicated or late
    // copy of a sync frame), it would make a frame accepted already acceptable again and deliver
    // it twice; such a frame is judged by its number like any other. Except under the number
    // accepted last with other bytes: a peer that restarted after one frame, whose new frame
    // would otherwise be acknowledged as a repeat and lost.
    if (flags & SIM_FLAG_SYNC) {
        if (link->ResyncAsked && seq == link->ResyncSeq) {
            link->RecvSeq = seq;
        } else {
            ++link->C.StaleSync;
            if (SimSeqIsPrevious(seq, link->RecvSeq) && !SameAsLastAccepted(link, d, n)) {
                ++link->C.RestartSync;
                link->RecvSeq = seq;
            }
        }
    }
    if (seq != link->RecvSeq) {
        if (SimSeqIsPrevious(seq, link->RecvSeq)) {
            // Our ACK of it was lost: acknowledge again, never deliver twice.
            ++link->C.DupSuppressed;
            SendLink(out, SIM_FLAG_ACK, seq);
            return SIM_RX_REPEAT;
        }
        ++link->C.NakSent;
        link->ResyncAsked = true;
        link->ResyncSeq = seq;
        SendLink(out, SIM_FLAG_NAK | SIM_FLAG_SYNC, seq);
        return SIM_RX_RESYNC;
    }

    // The number is the expected one: acknowledged before the content is looked at, so even a
    // malformed frame does not come back again and again.
    SendLink(out, SIM_FLAG_ACK, seq);
    link->RecvSeq = SimSeqNext(seq);
    link->ResyncAsked = false;
    // A datagram too large to keep cannot be told from a copy later: none is kept.
    link->LastAcceptedLen = n <= SIM_FRAME_MAX ? static_cast<uint32_t>(n) : 0;
    memcpy(link->LastAccepted, d, link->LastAcceptedLen);

    if (n < 6) {
        ++link->C.Malformed;
        return SIM_RX_MALFORMED;
    }
    const uint32_t lenField = GetBe16(d + 2);
    const uint32_t cmd = GetBe16(d + 4);
    const bool hasStatus = HasStatus(cmd);
    const size_t header = hasStatus ? 8 : 6;
    const uint32_t words = hasStatus ? 4 : 2;
    // The length field counts from offset 4; it must cover the words it announces and stay
    // within both the datagram and a packet's data.
    if (lenField < words || n < header || 4 + size_t(lenField) > n ||
        lenField - words > MAX_PACKET_DATA) {
        ++link->C.Malformed;
        return SIM_RX_MALFORMED;
    }
    pkt->Cmd = cmd;
    if (hasStatus)
        pkt->Status = GetBe16(d + 6);
    pkt->Len = lenField - words;
    if (pkt->Len > 0)
        memcpy(pkt->Data, d + header, pkt->Len);
    ++link->C.DeliveredIn;
    return SIM_RX_DELIVERED;
}

int SimLinkFree(const SimLink* link) { return SIM_QUEUE_SIZE - link->Count; }

bool SimLinkBusy(const SimLink* link) { return link->Count > 0; }

int SimLinkQueue(SimLink* link, const TermPacket* pkt, uint32_t tag)
{
    if (link->Silent || pkt->Len > MAX_PACKET_DATA)
        return 0;
    if (link->Count >= SIM_QUEUE_SIZE) {
        ++link->C.QueueFull;
        return 0;
    }
    SimFrame* f = &link->Queue[(link->Head + link->Count) % SIM_QUEUE_SIZE];
    const bool hasStatus = HasStatus(pkt->Cmd);
    const uint32_t header = hasStatus ? 8 : 6;
    PutBe16(f->Bytes + 2, pkt->Len + (hasStatus ? 4 : 2));
    PutBe16(f->Bytes + 4, pkt->Cmd & 0xFFFF);
    if (hasStatus)
        PutBe16(f->Bytes + 6, pkt->Status);
    memcpy(f->Bytes + header, pkt->Data, pkt->Len);
    f->Len = header + pkt->Len;
    f->Tag = tag;
    ++link->Count;
    return 1;
}

int SimLinkPoll(SimLink* link, int64_t nowMs, SimOutbox* out)
{
    const int before = out->Count;
    if (link->Pending && SimElapsedMs(link->SentAtMs, nowMs) > SIM_RETRY_MS) {
        if (link->RetryCount < SIM_RETRY_LIMIT) {
            ++link->RetryCount;
            ++link->C.Retransmits;
            // A timer retransmission never carries the resync flag, as on the service's side.
            SendHead(link, nowMs, 0, out);
        } else {
            ++link->C.Abandoned;
            out->Abandoned = true;
            out->AbandonedTag = link->Queue[link->Head].Tag;
            ReleaseHead(link);
        }
    }
    if (!link->Pending && link->Count > 0 && out->Count < 2) {
        link->Pending = true;
        link->RetryCount = 0;
        ++link->C.SentOut;
        SendHead(link, nowMs, 0, out);
    }
    return out->Count - before;
}

int64_t SimLinkNextDueMs(const SimLink* link, int64_t nowMs)
{
    if (!link->Pending)
        return link->Count > 0 ? 0 : -1;
    const int64_t due = link->SentAtMs + SIM_RETRY_MS + 1;
    return due > nowMs ? due - nowMs : 0;
}
