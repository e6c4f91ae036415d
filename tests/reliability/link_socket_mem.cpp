// The link's socket seam without sockets: each "socket" is an outbox of datagrams that the
// simulation takes and moves through its own fault lines and clock. Receiving is never used: the
// driver hands datagrams to TerminalRecvDatagram itself.
#include "link_socket_mem.h"

#include <cstring>

const LinkSocket LINK_NO_SOCKET = -1;
const LinkEvent LINK_NO_EVENT = -1;

namespace {

constexpr int MEM_SOCKETS = 16;
// A link sends at most a few datagrams per call (an ACK and a frame): the driver takes them all
// after each call, so a short outbox never overflows.
constexpr int OUTBOX_SIZE = 8;

struct Outbox {
    bool Used;
    int Head;
    int Count;
    uint32_t Len[OUTBOX_SIZE];
    uint8_t Bytes[OUTBOX_SIZE][FRAME_SIZE];
};

Outbox Sockets[MEM_SOCKETS];

Outbox* Of(LinkSocket s) { return s >= 0 && s < MEM_SOCKETS && Sockets[s].Used ? &Sockets[s] : nullptr; }

}  // namespace

long LinkStartup() { return 0; }
void LinkCleanup() {}

long LinkSocketOpen(LinkSocket* out)
{
    for (int i = 0; i < MEM_SOCKETS; ++i) {
        if (!Sockets[i].Used) {
            memset(&Sockets[i], 0, sizeof Sockets[i]);
            Sockets[i].Used = true;
            *out = i;
            return 0;
        }
    }
    return 24;  // EMFILE: no free socket
}

long LinkSocketBind(LinkSocket, uint16_t) { return 0; }
long LinkSocketConnect(LinkSocket, const uint8_t*, uint16_t) { return 0; }
uint16_t LinkSocketPort(LinkSocket) { return 0; }

void LinkSocketClose(LinkSocket s)
{
    if (Outbox* o = Of(s))
        o->Used = false;
}

long LinkEventAttach(LinkSocket s, LinkEvent* out, const char**)
{
    *out = s;
    return 0;
}

void LinkEventReset(LinkEvent) {}
void LinkEventClose(LinkEvent) {}
bool LinkEventWait(LinkEvent, int) { return false; }

int LinkSocketSend(LinkSocket s, const uint8_t* data, uint32_t len)
{
    Outbox* o = Of(s);
    if (o == nullptr || len > FRAME_SIZE || o->Count >= OUTBOX_SIZE)
        return -1;
    int at = (o->Head + o->Count) % OUTBOX_SIZE;
    memcpy(o->Bytes[at], data, len);
    o->Len[at] = len;
    ++o->Count;
    return static_cast<int>(len);
}

int LinkSocketRecvChecked(LinkSocket, uint8_t*, uint32_t, long*) { return LINK_RECV_NONE; }
int LinkSocketRecv(LinkSocket, uint8_t*, uint32_t) { return -1; }

int MemSocketTake(LinkSocket s, uint8_t* buf, uint32_t size)
{
    Outbox* o = Of(s);
    if (o == nullptr || o->Count == 0)
        return -1;
    uint32_t len = o->Len[o->Head];
    memcpy(buf, o->Bytes[o->Head], len < size ? len : size);
    o->Head = (o->Head + 1) % OUTBOX_SIZE;
    --o->Count;
    return static_cast<int>(len);
}
