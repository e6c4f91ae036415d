// Feeds the link's receiving rules datagrams of any content and size, in any send-side state.
//
// Input: byte 0 picks the state before the datagram (bit 0: a frame in flight, bit 1: a second
// frame held behind it, bit 2: the first frame then acknowledged, bit 3: the datagram delivered
// twice, bit 4: a timer tick well after it); byte 1 is the starting RecvSeq and SendSeq; the
// rest is the datagram. The Terminal has no socket: its answers fail to send and go nowhere.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "debug.h"
#include "link_socket.h"
#include "terminal.h"
#include "terminal_internal.h"

namespace {

struct TimeStamp Now = {1000000, 0};
void FuzzClock(struct TimeStamp* stamp) { *stamp = Now; }

Terminal Link;
char Name[] = "Fuzz";
constexpr uint8_t CANARY = 0xC5;

void Check(bool ok)
{
    if (!ok)
        abort();
}

void CheckInvariants()
{
    Check(Link.SlotCount >= 0 && Link.SlotCount <= SLOT_LIMIT);
    Check(Link.SlotHead >= 0 && Link.SlotHead < SLOT_COUNT);
    Check(Link.Pending == 0 || Link.Pending == 1);
    Check(Link.Pending == 0 || (Link.CurFrame != nullptr && Link.SlotCount > 0));
    Check(Link.Pending == 0 || (Link.RetryCount >= 0 && Link.RetryCount <= RETRY_LIMIT));
}

void Queue(uint16_t cmd, uint32_t len)
{
    TermPacket out{};
    out.Cmd = cmd;
    out.Len = len;
    TerminalSend(&Link, &out);
}

// One delivery: the packet sits alone in a heap block of its own size, so any write beyond Data
// is caught; the bytes of Data beyond the delivered length must keep the canary.
void Deliver(const uint8_t* datagram, size_t size)
{
    TermPacket* pkt = static_cast<TermPacket*>(malloc(sizeof(TermPacket)));
    memset(pkt, CANARY, sizeof *pkt);
    uint8_t recvSeq = Link.RecvSeq;
    int result = TerminalRecvDatagram(&Link, datagram, static_cast<int>(size), pkt);
    if (size == 0 || size > FRAME_SIZE) {
        Check(result == -1);
    } else if (result > 0) {
        Check(static_cast<size_t>(result) == size);
        Check((datagram[0] & (FLAG_HOST | FLAG_ACK | FLAG_NAK)) == 0);
        Check(pkt->Len <= MAX_PACKET_DATA);
        Check(pkt->Cmd <= 0xFFFF);
        Check(Link.RecvSeq == static_cast<uint8_t>(datagram[1] + 1));
        for (size_t i = pkt->Len; i < MAX_PACKET_DATA; ++i)
            Check(pkt->Data[i] == CANARY);
    } else {
        Check(result == 0 || result == -2);
        // A frame not delivered changes RecvSeq only when accepted (-2) or on FLAG_SYNC.
        if (result == 0 && (datagram[0] & FLAG_SYNC) == 0)
            Check(Link.RecvSeq == recvSeq);
        if (result == -2)
            Check(pkt->Len == 0);
    }
    free(pkt);
    CheckInvariants();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    OpenTrace("/dev/null");
    TerminalSetClock(FuzzClock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    memset(&Link, 0, sizeof Link);
    Link.Socket = LINK_NO_SOCKET;
    Link.Event = LINK_NO_EVENT;
    Link.Name = Name;
    uint8_t setup = size > 0 ? data[0] : 0;
    uint8_t seq = size > 1 ? data[1] : 0;
    const uint8_t* datagram = size > 2 ? data + 2 : data;
    size_t datagramSize = size > 2 ? size - 2 : 0;
    Link.RecvSeq = seq;
    Link.SendSeq = seq;

    if (setup & 0x01)
        Queue(0x8000 | seq, seq % 4 == 0 ? MAX_PACKET_DATA : seq);
    if (setup & 0x02)
        Queue(seq, 0);
    if (setup & 0x04) {
        uint8_t ack[2] = {FLAG_ACK, seq};
        Deliver(ack, sizeof ack);
    }
    CheckInvariants();
    Deliver(datagram, datagramSize);
    if (setup & 0x08)
        Deliver(datagram, datagramSize);
    if (setup & 0x10) {
        Now.Seconds += 1;
        TerminalTime(&Link);
        CheckInvariants();
    }
    return 0;
}
