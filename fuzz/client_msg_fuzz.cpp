// Feeds the client message decoder any message a pipe client can write, and the encoder the
// packets that come back from it and packets of any field values.
//
// Input: the whole input is one client message. Its last byte, when there is one, also picks
// the application index (-1 to 5, so invalid ones too) and the Len of a second, hand-made packet
// given to the encoder (up to 1023, so over the limit too).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "client_wire.h"

namespace {

constexpr uint8_t CANARY = 0xA7;
constexpr uint16_t STATUS_CANARY = 0xA7A7;

void Check(bool ok)
{
    if (!ok)
        abort();
}

// A copy of size bytes alone in a heap block of that size, so any read past it is caught.
uint8_t* ExactCopy(const uint8_t* data, size_t size)
{
    uint8_t* copy = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
    if (size > 0)
        memcpy(copy, data, size);
    return copy;
}

void FillCanary(TermPacket* pkt)
{
    memset(pkt, CANARY, sizeof *pkt);
}

bool IsCanary(const TermPacket* pkt)
{
    TermPacket fresh;
    FillCanary(&fresh);
    return memcmp(pkt, &fresh, sizeof fresh) == 0;
}

// Encodes into a heap block of exactly outSize bytes; the result is copied to out.
size_t EncodeExact(const TermPacket* pkt, int app, size_t outSize, uint8_t* out)
{
    uint8_t* block = static_cast<uint8_t*>(malloc(outSize == 0 ? 1 : outSize));
    size_t n = EncodeClientMsg(pkt, app, block, outSize);
    if (n > 0 && n <= outSize)
        memcpy(out, block, n);
    free(block);
    return n;
}

// A decoded packet encoded for every application comes back as the same bytes after the mask,
// decodes to the same fields, and does not fit a buffer one byte shorter.
void CheckRoundTrip(const TermPacket* pkt, const uint8_t* msg, size_t n)
{
    size_t header = HasStatus(pkt->Cmd) ? 5 : 3;
    for (int app = 0; app < APP_COUNT; ++app) {
        uint8_t out[MAX_CLIENT_OUT];
        size_t len = EncodeExact(pkt, app, MAX_CLIENT_OUT, out);
        Check(len == header + pkt->Len);
        Check(len == n);
        Check(len <= MAX_CLIENT_OUT);
        Check(out[0] == AppMaskOf(app));
        Check(memcmp(out + 1, msg + 1, n - 1) == 0);
        Check(EncodeExact(pkt, app, len - 1, out) == 0);
        Check(EncodeExact(pkt, app, len, out) == len);

        TermPacket again;
        FillCanary(&again);
        ClientMsg info;
        Check(DecodeClientMsg(out, len, &again, &info) == CLIENT_MSG_PACKET);
        Check(info.Mask == AppMaskOf(app));
        Check(again.Cmd == pkt->Cmd && again.Len == pkt->Len);
        Check(!HasStatus(pkt->Cmd) || again.Status == pkt->Status);
        Check(memcmp(again.Data, pkt->Data, pkt->Len) == 0);
    }
}

void CheckDecode(const uint8_t* msg, size_t n)
{
    TermPacket pkt;
    FillCanary(&pkt);
    ClientMsg info;
    memset(&info, CANARY, sizeof info);
    int kind = DecodeClientMsg(msg, n, &pkt, &info);

    bool status = n >= 3 && (msg[1] & 0x80) != 0;
    size_t header = status ? 5 : 3;
    if (n < header) {
        Check(kind == CLIENT_MSG_SHORT);
        Check(IsCanary(&pkt));
        return;
    }
    if (msg[0] == 0) {
        // A capture record: its body is the rest of the message, and no packet comes of it.
        Check(kind == CLIENT_MSG_CAPTURE);
        Check(info.Mask == 0);
        Check(info.Capture == msg + header);
        Check(info.CaptureLen == n - header);
        Check(IsCanary(&pkt));
        return;
    }
    if (n - header > MAX_PACKET_DATA) {
        Check(kind == CLIENT_MSG_TOO_LONG);
        Check(IsCanary(&pkt));
        return;
    }
    Check(kind == CLIENT_MSG_PACKET);
    Check(info.Mask == msg[0]);
    Check(pkt.Cmd == ((uint32_t(msg[1]) << 8) | msg[2]));
    Check(pkt.Cmd <= 0xFFFF);
    Check(pkt.Status == (status ? ((msg[3] << 8) | msg[4]) : STATUS_CANARY));
    Check(pkt.Len == n - header);
    Check(pkt.Len <= MAX_PACKET_DATA);
    Check(memcmp(pkt.Data, msg + header, pkt.Len) == 0);
    for (size_t i = pkt.Len; i < MAX_PACKET_DATA; ++i)
        Check(pkt.Data[i] == CANARY);
    CheckRoundTrip(&pkt, msg, n);
}

// A packet of any field values: refused when the index or the length is out of range, else laid
// out as mask, command, the status only for a response, and the data.
void CheckEncode(const uint8_t* data, size_t size)
{
    if (size < 3)
        return;
    uint8_t pick = data[size - 1];
    int app = static_cast<int>(pick % 7) - 1;
    TermPacket pkt;
    FillCanary(&pkt);
    pkt.Cmd = (uint32_t(data[0]) << 8) | data[1];
    pkt.Status = static_cast<uint16_t>((data[1] << 8) | data[2]);
    pkt.Len = ((uint32_t(pick) << 2) | (data[0] & 3)) & 0x3FF;
    for (uint32_t i = 0; i < MAX_PACKET_DATA; ++i)
        pkt.Data[i] = data[i % size];

    uint8_t out[MAX_CLIENT_OUT];
    size_t len = EncodeExact(&pkt, app, MAX_CLIENT_OUT, out);
    if (app < 0 || app >= APP_COUNT || pkt.Len > MAX_PACKET_DATA) {
        Check(len == 0);
        return;
    }
    size_t header = HasStatus(pkt.Cmd) ? 5 : 3;
    Check(len == header + pkt.Len);
    Check(out[0] == AppMaskOf(app));
    Check(out[1] == data[0] && out[2] == data[1]);
    if (header == 5)
        Check(out[3] == data[1] && out[4] == data[2]);
    Check(memcmp(out + header, pkt.Data, pkt.Len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t* msg = ExactCopy(data, size);
    CheckDecode(msg, size);
    CheckEncode(msg, size);
    free(msg);
    return 0;
}
