#include "client_wire.h"

#include <cstring>

#include "byte_order.h"

int DecodeClientMsg(const uint8_t* msg, size_t n, TermPacket* pkt, ClientMsg* out)
{
    if (msg == nullptr || n < 3)
        return CLIENT_MSG_SHORT;
    uint32_t cmd = GetU16(msg + 1);
    size_t p = 3;
    if (HasStatus(cmd)) {
        if (n < 5)
            return CLIENT_MSG_SHORT;
        p = 5;
    }
    out->Mask = msg[0];
    out->Capture = nullptr;
    out->CaptureLen = 0;
    if (out->Mask == 0) {
        // The header of a capture record is read like any other, then plays no further part.
        out->Capture = msg + p;
        out->CaptureLen = n - p;
        return CLIENT_MSG_CAPTURE;
    }
    if (n - p > MAX_PACKET_DATA)
        return CLIENT_MSG_TOO_LONG;
    pkt->Cmd = cmd;
    if (p == 5)
        pkt->Status = GetU16(msg + 3);
    pkt->Len = static_cast<uint32_t>(n - p);
    if (pkt->Len > 0)
        memcpy(pkt->Data, msg + p, pkt->Len);
    return CLIENT_MSG_PACKET;
}

size_t EncodeClientMsg(const TermPacket* pkt, int app, uint8_t* out, size_t outSize)
{
    if (pkt == nullptr || app < 0 || app >= APP_COUNT || pkt->Len > MAX_PACKET_DATA)
        return 0;
    size_t header = HasStatus(pkt->Cmd) ? 5 : 3;
    if (outSize < header + pkt->Len)
        return 0;
    out[0] = AppMaskOf(app);
    PutU16(out + 1, pkt->Cmd);
    if (header == 5)
        PutU16(out + 3, pkt->Status);
    if (pkt->Len > 0)
        memcpy(out + header, pkt->Data, pkt->Len);
    return header + pkt->Len;
}

namespace {

void PutU32(uint8_t* p, uint32_t v)
{
    PutU16(p, static_cast<uint16_t>(v >> 16));
    PutU16(p + 2, static_cast<uint16_t>(v));
}

// Mask, response command and status: the header of every control message to the client.
uint8_t* ControlHeader(uint32_t cmd, uint16_t status, uint8_t* out)
{
    out[0] = CLIENT_CONTROL_MASK;
    PutU16(out + 1, cmd);
    PutU16(out + 3, status);
    return out + 5;
}

}  // namespace

size_t EncodeWelcome(uint16_t held, uint8_t* out, size_t outSize)
{
    if (out == nullptr || outSize < WELCOME_SIZE)
        return 0;
    uint8_t* p = ControlHeader(CONTROL_WELCOME, 0, out);
    p[0] = CONTROL_VERSION;
    PutU16(p + 1, held);
    return WELCOME_SIZE;
}

size_t EncodeNotice(int reason, uint8_t appMask, uint32_t cmd, uint32_t count, uint8_t* out, size_t outSize)
{
    if (out == nullptr || outSize < NOTICE_SIZE || reason < NOTICE_QUEUE_FULL || reason > NOTICE_HELD_COUNT)
        return 0;
    uint8_t* p = ControlHeader(CONTROL_NOTICE, static_cast<uint16_t>(reason), out);
    p[0] = appMask;
    PutU16(p + 1, cmd);
    PutU32(p + 3, count);
    return NOTICE_SIZE;
}

size_t EncodeHealth(const AppHealth* apps, uint8_t* out, size_t outSize)
{
    if (apps == nullptr || out == nullptr || outSize < HEALTH_ANSWER_SIZE)
        return 0;
    uint8_t* p = ControlHeader(CONTROL_HEALTH_ANSWER, 0, out);
    *p++ = APP_COUNT;
    for (int i = 0; i < APP_COUNT; ++i, p += HEALTH_RECORD) {
        const AppHealth& a = apps[i];
        p[0] = AppMaskOf(i);
        p[1] = a.State;
        PutU32(p + 2, a.SinceMs);
        PutU32(p + 6, a.Sent);
        PutU32(p + 10, a.Received);
        PutU32(p + 14, a.Retransmitted);
        PutU32(p + 18, a.GivenUp);
        p[22] = a.Queue;
        PutU32(p + 23, a.LastHeardMs);
    }
    return HEALTH_ANSWER_SIZE;
}
