// One Terminal: the link to one terminal application, from creation through receiving, sending
// and the retransmission timer. The socket calls go through link_socket.h.
#include "terminal.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "addr_rule.h"
#include "byte_order.h"
#include "commlog.h"
#include "debug.h"
#include "link_socket.h"
#include "link_wrap.h"
#include "terminal_internal.h"

namespace {

void (*Clock)(struct TimeStamp*) = nullptr;

// Sizes of a data frame's parts: flags, sequence and length, then command and status words.
// Failed receives read past in one call before giving the loop back to the bridge.
constexpr int RECV_FAILURE_LIMIT = 16;
constexpr uint32_t LINK_HEAD = 4;
constexpr uint32_t CMD_WORD = 2;
constexpr uint32_t STATUS_WORD = 2;

uint32_t WordsOf(uint32_t cmd) { return HasStatus(cmd) ? CMD_WORD + STATUS_WORD : CMD_WORD; }

void SetHealth(Terminal* t, int32_t state)
{
    if (t->Health == state)
        return;
    t->Health = state;
    TimeStamp(&t->HealthSince);
}

char* CopyText(const char* text)
{
    size_t n = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(n));
    if (copy != nullptr)
        memcpy(copy, text, n);
    return copy;
}

// One line in three pieces: command, the status when the command has one, data length.
void TracePacket(const Terminal* t, const TermPacket* pkt, const char* what)
{
    TraceMessage("'%s': %s: 0x%04x", t->Name, what, static_cast<unsigned>(pkt->Cmd));
    if (HasStatus(pkt->Cmd))
        TraceMessage(" (0x%04x)", static_cast<unsigned>(pkt->Status));
    TraceMessage(" -> %d\n", static_cast<int>(pkt->Len));
}

// An ACK and a NAK may come in one flag byte: the ACK is taken first.
void RecvLinkFrame(Terminal* t, uint8_t flags, uint8_t seq)
{
    if (flags & FLAG_ACK) {
        TraceMessage("'%s': TerminalRecv: flag ACK\n", t->Name);
        if (seq == t->SendSeq)
            TerminalRelease(t);
    }
    if (flags & FLAG_NAK) {
        TraceMessage("'%s': TerminalRecv: flag NAK\n", t->Name);
        // A NAK rejects the frame with its number. With nothing in flight, or for another number
        // (a late NAK of a frame already ended), sending the current frame again would run the
        // frame ended last a second time under a new number.
        if (t->Pending != 1) {
            TraceMessage("'%s': TerminalRecv: NAK with no frame in flight, ignored\n", t->Name);
            return;
        }
        if (seq != t->SendSeq) {
            TraceMessage("'%s': TerminalRecv: NAK 0x%02x while frame 0x%02x is in flight, ignored\n", t->Name, seq,
                         t->SendSeq);
            return;
        }
        // A terminal takes every sync frame, so it never rejects one: a resync NAK that comes
        // while our last transmission of this frame already carried FLAG_SYNC is a copy of one
        // already answered (doubled by the network, or answering an earlier copy of the frame).
        // A second sync copy would be taken again and the command run twice. Should the sync
        // copy be lost, the timer's retransmission goes without FLAG_SYNC and draws a fresh NAK.
        if ((flags & FLAG_SYNC) && (t->CurFrame[0] & FLAG_SYNC)) {
            TraceMessage("'%s': TerminalRecv: NAK 0x%02x already answered with a resync, ignored\n", t->Name, seq);
            return;
        }
        TerminalSendFrame(t, flags & FLAG_SYNC);
    }
}

// A data frame that cannot be read whole is dropped before its number is looked at: it is neither
// acknowledged nor counted, so the terminal's retransmission can still bring an intact copy.
bool DataFrameFits(const Terminal* t, const uint8_t* d, int size)
{
    uint32_t n = static_cast<uint32_t>(size);
    uint32_t words = n >= LINK_HEAD + CMD_WORD ? WordsOf(GetU16(d + 4)) : CMD_WORD;
    if (n < LINK_HEAD + words) {
        TraceMessage("'%s': TerminalRecv: data frame of len %d shorter than its header, dropped\n", t->Name, size);
        return false;
    }
    uint32_t length = GetU16(d + 2);
    // A length field below the command and status words is the acknowledged -2 case below.
    // A frame of more data than a packet holds still fits the receive buffer when it is a request
    // of 601 or 602 data bytes; a longer datagram never gets here (the socket drops it).
    if (length >= words && length - words > MAX_PACKET_DATA && LINK_HEAD + length <= n) {
        TraceMessage("'%s': TerminalRecv: data frame of len %d carries %u data bytes, more than %u, dropped\n",
                     t->Name, size, static_cast<unsigned>(length - words), static_cast<unsigned>(MAX_PACKET_DATA));
        return false;
    }
    if (length >= words && LINK_HEAD + length > n) {
        TraceMessage("'%s': TerminalRecv: length %u does not fit the frame of len %d, dropped\n", t->Name,
                     static_cast<unsigned>(length), size);
        return false;
    }
    return true;
}

// The same bytes from the number on: the flag byte is left out, since the copy sent in answer to
// a resync NAK differs from the original only there.
bool IsLastAccepted(const Terminal* t, const uint8_t* d, int size)
{
    return t->LastLen != 0 && t->LastLen == static_cast<uint32_t>(size) &&
           memcmp(t->Last + 1, d + 1, t->LastLen - 1) == 0;
}

int RecvDataFrame(Terminal* t, const uint8_t* d, int size, TermPacket* pkt)
{
    uint8_t flags = d[0];
    uint8_t seq = d[1];
    if (!DataFrameFits(t, d, size))
        return TERMINAL_RECV_NOTHING;
    // FLAG_SYNC answers our resync NAK. Honoured on any other frame (a copy doubled or held back
    // by the network, or the answer to an earlier NAK), it would pull RecvSeq back onto a frame
    // already delivered: the command would run twice and the frame after it be rejected.
    if ((flags & FLAG_SYNC) && t->ResyncAsked && seq == t->ResyncSeq) {
        t->RecvSeq = seq;
    } else if ((flags & FLAG_SYNC) && SeqIsPrevious(seq, t->RecvSeq) && !IsLastAccepted(t, d, size)) {
        // The number accepted last with other bytes: a terminal that restarted after one frame
        // sends its first frame so. Taken for the previous one, it would be acknowledged and lost.
        TraceMessage("'%s': TerminalRecv: sync frame 0x%02x is not a copy of the frame accepted last, taken as new\n",
                     t->Name, seq);
        t->RecvSeq = seq;
    }
    if (seq != t->RecvSeq) {
        if (SeqIsPrevious(seq, t->RecvSeq)) {
            // Its ACK was lost: acknowledge again, deliver once.
            TraceMessage("'%s': TerminalRecv: ACK the previous\n", t->Name);
            TerminalSendLink(t, FLAG_ACK, seq);
        } else {
            // RecvSeq stays: the terminal is to send this frame again with FLAG_SYNC.
            TraceMessage("'%s': TerminalRecv: Seq too far away\n", t->Name);
            t->ResyncAsked = 1;
            t->ResyncSeq = seq;
            TerminalSendLink(t, FLAG_NAK | FLAG_SYNC, seq);
        }
        return TERMINAL_RECV_NOTHING;
    }
    TerminalSendLink(t, FLAG_ACK, seq);
    t->RecvSeq = SeqNext(t->RecvSeq);
    t->ResyncAsked = 0;
    t->FramesReceived++;
    t->LastLen = static_cast<uint32_t>(size);
    memcpy(t->Last, d, t->LastLen);

    uint32_t length = GetU16(d + 2);
    pkt->Cmd = GetU16(d + 4);
    uint32_t words = WordsOf(pkt->Cmd);
    if (HasStatus(pkt->Cmd))
        pkt->Status = GetU16(d + 6);
    if (length < words) {
        // Acknowledged but not deliverable; Len is not left at a wrapped-around huge value.
        pkt->Len = 0;
        return TERMINAL_RECV_UNDELIVERABLE;
    }
    pkt->Len = length - words;
    if (pkt->Len > 0)
        memcpy(pkt->Data, d + LINK_HEAD + words, pkt->Len);
    return size;
}

}  // namespace

void TerminalSetClock(void (*clock)(struct TimeStamp*)) { Clock = clock; }

void TimeStamp(struct TimeStamp* stamp)
{
    if (stamp == nullptr)
        return;
    if (Clock != nullptr) {
        Clock(stamp);
        return;
    }
    using namespace std::chrono;
    int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    // Past 2038 the seconds wrap; ElapsedMs works modulo 2^32 and is not disturbed by that.
    stamp->Seconds = static_cast<int32_t>(static_cast<uint32_t>(ms / 1000));
    stamp->Microseconds = static_cast<int32_t>(ms % 1000) * 1000;
}

int TerminalInit(const char* name, const char* addr, uint16_t port, Terminal** out)
{
    return TerminalInitPorts(name, addr, port, port, out);
}

int TerminalInitPorts(const char* name, const char* addr, uint16_t localPort, uint16_t remotePort, Terminal** out)
{
    uint8_t ip[4];
    LinkSocket s = LINK_NO_SOCKET;
    Terminal* t = nullptr;
    const char* call = nullptr;
    long err;

    if (out == nullptr || name == nullptr) {
        LogMessage("TerminalInit: no application name or result slot\n");
        return 0;
    }
    // The platform's conversion turns a bad text into 255.255.255.255: payment data to the LAN.
    AddrRule rule = JudgeAddr(addr, ip);
    if (rule != ADDR_USABLE) {
        char why[ADDR_MESSAGE_SIZE];
        AddrRuleMessage(why, sizeof why, addr, rule);
        LogMessage("TerminalInit: '%s': %s\n", name, why);
        return 0;
    }
    if ((err = LinkSocketOpen(&s)) != 0) {
        LogError(" socket() ", err);
        return 0;
    }
    if ((err = LinkSocketBind(s, localPort)) != 0) {
        LogError(" bind() ", err);
        goto cleanup;
    }
    if ((err = LinkSocketConnect(s, ip, remotePort)) != 0) {
        LogError(" connect() ", err);
        goto cleanup;
    }
    t = static_cast<Terminal*>(calloc(1, sizeof *t));
    if (t == nullptr || (t->Name = CopyText(name)) == nullptr) {
        LogMessage("TerminalInit: Error malloc !\n");
        goto cleanup;
    }
    t->Socket = s;
    // Without its event the bridge's wait fails, and without non-blocking mode a receive could
    // stop the bridge: the link is refused rather than half made.
    if ((err = LinkEventAttach(s, &t->Event, &call)) != 0) {
        LogError(call, err);
        goto cleanup;
    }
    t->CurFrame = nullptr;
    *out = t;
    return 1;

cleanup:
    LinkSocketClose(s);
    if (t != nullptr) {
        free(t->Name);
        free(t);
    }
    return 0;
}

int TerminalClose(Terminal* t)
{
    if (t == nullptr)
        return 0;
    LinkSocketClose(t->Socket);
    LinkEventClose(t->Event);
    free(t->Name);
    free(t);
    return 1;
}

LinkEvent TerminalEvent(Terminal* t) { return t != nullptr ? t->Event : LINK_NO_EVENT; }

Slot* SlotReserve(Terminal* t)
{
    if (t == nullptr || t->SlotCount >= SLOT_LIMIT)
        return nullptr;
    return &t->Slots[(t->SlotHead + t->SlotCount) % SLOT_COUNT];
}

void SlotCommit(Terminal* t, uint32_t length)
{
    Slot* slot = SlotReserve(t);
    if (slot == nullptr || length > FRAME_SIZE)
        return;
    slot->FrameLen = length;
    t->SlotCount++;
}

uint8_t* SlotPeek(Terminal* t, uint32_t* length)
{
    if (t == nullptr || t->SlotCount <= 0)
        return nullptr;
    Slot* slot = &t->Slots[t->SlotHead];
    if (length != nullptr)
        *length = slot->FrameLen;
    return slot->Frame;
}

int SlotPop(Terminal* t)
{
    if (t == nullptr)
        return 0;
    if (t->SlotCount > 0) {
        t->SlotCount--;
        t->SlotHead = (t->SlotHead + 1) % SLOT_COUNT;
    }
    return t->SlotCount;
}

int TerminalSendFrame(Terminal* t, int sync)
{
    if (t == nullptr || t->CurFrame == nullptr)
        return 0;
    TimeStamp(&t->SentAt);
    uint8_t* f = t->CurFrame;
    f[0] = static_cast<uint8_t>(FLAG_HOST | (sync ? FLAG_SYNC : 0));
    f[1] = t->SendSeq;
    TraceMessage("'%s': Sending (0x%02x,0x%02x) 0x%02x%02x:  data of len %d\n", t->Name, f[0], f[1], f[4], f[5],
                 static_cast<int>(t->CurLen));
    CommLogDatagram(COMM_TO_TERMINAL, t->Name, f, t->CurLen);
    return LinkSocketSend(t->Socket, f, t->CurLen);
}

int TerminalSendLink(Terminal* t, uint8_t flags, uint8_t seq)
{
    if (t == nullptr)
        return 0;
    uint8_t frame[2] = {static_cast<uint8_t>(flags | FLAG_HOST), seq};
    TraceMessage("'%s': Sending link 0x%02x,0x%02x\n", t->Name, frame[0], frame[1]);
    CommLogDatagram(COMM_TO_TERMINAL, t->Name, frame, sizeof frame);
    return LinkSocketSend(t->Socket, frame, sizeof frame);
}

void TerminalRelease(Terminal* t)
{
    if (t == nullptr || t->Pending != 1)
        return;
    t->Pending = 0;
    t->SendSeq = SeqNext(t->SendSeq);
    SlotPop(t);
}

int TerminalRecv(Terminal* t, TermPacket* pkt)
{
    if (t == nullptr || pkt == nullptr)
        return TERMINAL_RECV_FAILED;
    // The event is not reset here: the wait that reported it did so, and the receive re-enables
    // it for the datagrams behind this one. A read without a wait (the bridge's tick) leaves
    // the event signalled, which costs one later wake that finds nothing.
    uint8_t datagram[FRAME_SIZE];
    // A failed receive is one lost datagram or one error notice, never the end of the stream: a
    // link that stopped at it would sit on the datagrams behind it until the next one arrives.
    for (int failures = 0;; ++failures) {
        long error = 0;
        int size = LinkSocketRecvChecked(t->Socket, datagram, sizeof datagram, &error);
        if (size > 0)
            CommLogDatagram(COMM_FROM_TERMINAL, t->Name, datagram, static_cast<size_t>(size));
        if (size >= 0)
            return size == 0 ? TERMINAL_RECV_NOTHING : TerminalRecvDatagram(t, datagram, size, pkt);
        if (size == LINK_RECV_NONE)
            return TERMINAL_RECV_FAILED;
        ++t->RecvFailures;
        TraceMessage("'%s': TerminalRecv: receive failed with %ld, reading on\n", t->Name, error);
        if (failures + 1 >= RECV_FAILURE_LIMIT)
            return TERMINAL_RECV_FAILED;
    }
}

int TerminalRecvDatagram(Terminal* t, const uint8_t* datagram, int size, TermPacket* pkt)
{
    if (t == nullptr || pkt == nullptr || datagram == nullptr || size <= 0 || size > static_cast<int>(FRAME_SIZE))
        return TERMINAL_RECV_FAILED;
    if (size < 2) {
        TraceMessage("'%s': TerminalRecv: 0x%02x of len %d, too short, dropped\n", t->Name, datagram[0], size);
        return TERMINAL_RECV_NOTHING;
    }
    uint8_t flags = datagram[0];
    uint8_t seq = datagram[1];
    TraceMessage("'%s': TerminalRecv: 0x%02x,0x%02x of len %d\n", t->Name, flags, seq, size);
    if (flags & FLAG_HOST)
        return TERMINAL_RECV_NOTHING;
    t->Heard = 1;
    TimeStamp(&t->LastHeard);
    SetHealth(t, LINK_ANSWERING);
    if (flags & (FLAG_ACK | FLAG_NAK)) {
        RecvLinkFrame(t, flags, seq);
        return TERMINAL_RECV_NOTHING;
    }
    int result = RecvDataFrame(t, datagram, size, pkt);
    if (result > 0)
        TracePacket(t, pkt, "TerminalRecv");
    return result;
}

int TerminalSend(Terminal* t, const TermPacket* pkt) { return TerminalSendTagged(t, pkt, 0); }

int TerminalSendTagged(Terminal* t, const TermPacket* pkt, uint32_t tag)
{
    if (t == nullptr || pkt == nullptr)
        return 0;
    TracePacket(t, pkt, "TerminalSend");
    if (pkt->Len > MAX_PACKET_DATA) {
        TraceMessage("Error, too long packet (max=%d)....\n", static_cast<int>(MAX_PACKET_DATA));
        return 0;
    }
    Slot* slot = SlotReserve(t);
    if (slot == nullptr) {
        TraceMessage("\tno free slot ?!?! -> forget .... :-{\n");
        return 0;
    }
    // Flags and sequence (bytes 0 and 1) are written at each transmission.
    uint32_t words = WordsOf(pkt->Cmd);
    uint8_t* f = slot->Frame;
    PutU16(f + 2, words + pkt->Len);
    PutU16(f + 4, pkt->Cmd);
    if (HasStatus(pkt->Cmd))
        PutU16(f + 6, pkt->Status);
    memcpy(f + LINK_HEAD + words, pkt->Data, pkt->Len);
    slot->Tag = tag;
    SlotCommit(t, LINK_HEAD + words + pkt->Len);
    return TerminalSendNext(t);
}

int TerminalSendNext(Terminal* t)
{
    if (t == nullptr)
        return 0;
    int was = t->Pending;
    if (t->Pending == 0) {
        t->CurFrame = SlotPeek(t, &t->CurLen);
        if (t->CurFrame != nullptr) {
            t->Pending = 1;
            t->RetryCount = 0;
            t->FramesSent++;
            TerminalSendFrame(t, 0);
        }
    }
    if (t->Pending != was)
        TraceMessage("'%s': TerminalSendNext: %d -> %d\n", t->Name, was, t->Pending);
    return t->Pending;
}

int TerminalTime(Terminal* t)
{
    if (t == nullptr)
        return 0;
    if (t->Pending == 0)
        return TerminalSendNext(t);
    struct TimeStamp now;
    TimeStamp(&now);
    if (!RetryDue(ElapsedMs(t->SentAt, now)))
        return 0;
    TraceMessage("'%s': TerminalTime & Pending (%d)\n", t->Name, t->RetryCount);
    t->RetryCount++;
    if (t->RetryCount <= RETRY_LIMIT) {
        const uint8_t* f = t->CurFrame;
        TraceMessage("'%s': RetryData (0x%02x,0x%02x) 0x%02x%02x of len %d\n", t->Name, f[0], f[1], f[4], f[5],
                     static_cast<int>(t->CurLen));
        t->Retransmitted++;
        if (t->Health != LINK_NOT_ANSWERING)
            SetHealth(t, LINK_RETRYING);
        // Without FLAG_SYNC even when the last transmission carried it.
        return TerminalSendFrame(t, 0);
    }
    TraceMessage("'%s': TerminalTime - aborted\n", t->Name);
    t->GivenUp++;
    t->GivenUpCmd = GetU16(t->CurFrame + 4);
    t->GivenUpTag = t->Slots[t->SlotHead].Tag;
    SetHealth(t, LINK_NOT_ANSWERING);
    TerminalRelease(t);
    TerminalSendNext(t);
    return 0;
}
