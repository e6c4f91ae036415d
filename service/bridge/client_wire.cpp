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
