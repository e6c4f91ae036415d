#include "packet.h"

#include <cstring>

const AppEntry AppTable[APP_COUNT + 1] = {
    {33332, "Master"}, {33334, "MBCA"}, {33335, "Maint"}, {33333, "Fleet"}, {33336, "Petro"}, {0, nullptr},
};

int DecodeClientMsg(const uint8_t* msg, size_t n, TermPacket* pkt, ClientMsg* out)
{
    if (msg == nullptr || n < 3)
        return CLIENT_MSG_SHORT;
    uint32_t cmd = (uint32_t(msg[1]) << 8) | msg[2];
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
        pkt->Status = static_cast<uint16_t>((msg[3] << 8) | msg[4]);
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
    out[1] = static_cast<uint8_t>(pkt->Cmd >> 8);
    out[2] = static_cast<uint8_t>(pkt->Cmd);
    if (header == 5) {
        out[3] = static_cast<uint8_t>(pkt->Status >> 8);
        out[4] = static_cast<uint8_t>(pkt->Status);
    }
    if (pkt->Len > 0)
        memcpy(out + header, pkt->Data, pkt->Len);
    return header + pkt->Len;
}
