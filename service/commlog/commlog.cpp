// The communication log: the line formats and the buffered file behind them.
#include "commlog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "debug.h"
#include "link_frame.h"
#include "log_place.h"
#include "term_packet.h"

bool CommLogOn = false;

namespace {

const char* const DIRECTION_TEXT[] = {"client->svc", "svc->client", "svc->term", "term->svc"};
constexpr int DIRECTION_COUNT = 4;
constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr char CUT_NOTE[] = " ! line cut";
// What a line keeps free for its end: the cut note, the line feed and the NUL.
constexpr size_t LINE_TAIL = sizeof CUT_NOTE + 1;

const char* FrameKind(uint8_t flags)
{
    if ((flags & FLAG_ACK) && (flags & FLAG_NAK))
        return "ack+nak";
    if (flags & FLAG_ACK)
        return "ack";
    if (flags & FLAG_NAK)
        return (flags & FLAG_SYNC) ? "resync" : "nak";
    return "data";
}

void AddFlags(CommLine* l, uint8_t flags)
{
    static const struct {
        uint8_t Bit;
        const char* Name;
    } names[] = {{FLAG_HOST, "HOST"}, {FLAG_ACK, "ACK"}, {FLAG_NAK, "NAK"}, {FLAG_SYNC, "SYNC"}};
    CommLineAdd(l, " flags=");
    const char* sep = "";
    for (const auto& n : names) {
        if (flags & n.Bit) {
            CommLineAdd(l, "%s%s", sep, n.Name);
            sep = "|";
        }
    }
    uint8_t rest = flags & 0xF0;
    if (rest != 0)
        CommLineAdd(l, "%s+0x%02x", sep, static_cast<unsigned>(rest));
    else if (flags == 0)
        CommLineAdd(l, "-");
}

// The file.
constexpr size_t NAME_SIZE = 260;
constexpr size_t FILE_BUFFER_SIZE = 64 * 1024;
FILE* LogFile = nullptr;
char LogName[NAME_SIZE] = "";
// The log's folder, held while the log is on.
LogPlace Place = {0};
unsigned long Cap = COMMLOG_CAP_DEFAULT;
// Bytes counted toward the cap: each line's length and two for its end, the most a line feed
// takes in a text-mode file, so that the file's own size is looked at only once it may be due.
unsigned long long Counted = 0;
char LineBuffer[COMMLOG_LINE_SIZE];
char FileBuffer[FILE_BUFFER_SIZE];

void Buffer(FILE* f) { setvbuf(f, FileBuffer, _IOFBF, sizeof FileBuffer); }

void RollCommLogOver()
{
    long long size = 0;
    int rolled = RollLogOver(&LogFile, LogName, Cap, &size);
    if (rolled == LOG_KEPT) {
        // A size that cannot be asked counts as the cap: the next line asks again.
        Counted = size < 0 ? Cap : static_cast<unsigned long long>(size);
        return;
    }
    Counted = 0;
    if (rolled == LOG_ROLLED)
        TraceMessage("CommLog: %s reached %lld bytes; rolled over to %s.1\n", LogName, size, LogName);
    else
        TraceMessage("CommLog: %s reached %lld bytes and could not be renamed; emptied\n", LogName, size);
    if (LogFile == nullptr) {
        CommLogOn = false;
        LogPlaceRelease(&Place);
        EventMessage(EVENT_LOG_REFUSED, "CommLog: %s cannot be opened again; communication log off\n", LogName);
        return;
    }
    Buffer(LogFile);
}

}  // namespace

CommLine CommLineStart(char* out, size_t size, const LocalClockTime* now, int direction)
{
    CommLine l = {out, size - LINE_TAIL, 0, false};
    long long offset = now->OffsetMinutes;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0)
        offset = -offset;
    CommLineAdd(&l, "%04d-%02d-%02d %02d:%02d:%02d.%03d %c%02lld:%02lld %s", now->Year, now->Month, now->Day,
                now->Hour, now->Minute, now->Second, now->Msec, sign, offset / 60, offset % 60,
                direction >= 0 && direction < DIRECTION_COUNT ? DIRECTION_TEXT[direction] : "?");
    return l;
}

void CommLineAdd(CommLine* l, const char* format, ...)
{
    if (l->Cut)
        return;
    size_t room = l->Limit - l->Len;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(l->Buf + l->Len, room, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        l->Buf[l->Len] = '\0';
        l->Cut = true;
        return;
    }
    l->Len += static_cast<size_t>(n);
}

void CommLineHex(CommLine* l, const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n && !l->Cut; ++i) {
        if (l->Len + 2 >= l->Limit) {
            l->Cut = true;
            break;
        }
        l->Buf[l->Len++] = HEX_DIGITS[bytes[i] >> 4];
        l->Buf[l->Len++] = HEX_DIGITS[bytes[i] & 0x0F];
    }
    l->Buf[l->Len] = '\0';
}

void CommLineStatus(CommLine* l, uint32_t cmd, const uint8_t* word)
{
    if (HasStatus(cmd))
        CommLineAdd(l, " status=0x%04x", static_cast<unsigned>(GetU16(word)));
    else
        CommLineAdd(l, " status=-");
}

int CommLineFinish(CommLine* l)
{
    if (l->Cut) {
        memcpy(l->Buf + l->Len, CUT_NOTE, sizeof CUT_NOTE - 1);
        l->Len += sizeof CUT_NOTE - 1;
    }
    l->Buf[l->Len++] = '\n';
    l->Buf[l->Len] = '\0';
    return static_cast<int>(l->Len);
}

int CommLineMalformed(CommLine* l, const uint8_t* bytes, size_t n, const char* format, ...)
{
    CommLineAdd(l, " bytes=%u raw=", static_cast<unsigned>(n));
    CommLineHex(l, bytes, n);
    char note[96];
    va_list args;
    va_start(args, format);
    vsnprintf(note, sizeof note, format, args);
    va_end(args);
    CommLineAdd(l, " ! %s", note);
    return CommLineFinish(l);
}

int CommLogFormatDatagram(char* out, size_t size, const LocalClockTime* now, int direction, const char* app,
                          const uint8_t* datagram, size_t len)
{
    if (out == nullptr || now == nullptr || size < COMMLOG_LINE_MIN)
        return -1;
    if (datagram == nullptr)
        len = 0;
    CommLine l = CommLineStart(out, size, now, direction);
    CommLineAdd(&l, " %s", app != nullptr ? app : "?");
    if (len < LINK_FRAME_CONTROL) {
        CommLineAdd(&l, " short");
        return CommLineMalformed(&l, datagram, len, "shorter than flags and sequence");
    }
    uint8_t flags = datagram[0];
    CommLineAdd(&l, " %s", FrameKind(flags));
    AddFlags(&l, flags);
    CommLineAdd(&l, " seq=0x%02x", static_cast<unsigned>(datagram[1]));
    if (flags & (FLAG_ACK | FLAG_NAK)) {
        if (len > LINK_FRAME_CONTROL)
            return CommLineMalformed(&l, datagram, len, "%u extra bytes after flags and sequence",
                             static_cast<unsigned>(len - LINK_FRAME_CONTROL));
        return CommLineFinish(&l);
    }
    if (len < LINK_FRAME_HEAD + 2)
        return CommLineMalformed(&l, datagram, len, "shorter than its header");
    uint32_t length = GetU16(datagram + 2);
    uint32_t cmd = GetU16(datagram + LINK_FRAME_HEAD);
    uint32_t words = HasStatus(cmd) ? 4 : 2;
    CommLineAdd(&l, " cmd=0x%04x", static_cast<unsigned>(cmd));
    if (len < LINK_FRAME_HEAD + words)
        return CommLineMalformed(&l, datagram, len, "shorter than its header");
    CommLineStatus(&l, cmd, datagram + LINK_FRAME_HEAD + 2);
    if (length < words)
        return CommLineMalformed(&l, datagram, len, "length field %u is below its command and status words",
                         static_cast<unsigned>(length));
    if (LINK_FRAME_HEAD + length > len)
        return CommLineMalformed(&l, datagram, len, "length field %u runs past the datagram", static_cast<unsigned>(length));
    if (LINK_FRAME_HEAD + length < len)
        return CommLineMalformed(&l, datagram, len, "%u extra bytes after the length field",
                         static_cast<unsigned>(len - LINK_FRAME_HEAD - length));
    CommLineAdd(&l, " len=%u data=", static_cast<unsigned>(length - words));
    CommLineHex(&l, datagram + LINK_FRAME_HEAD + words, length - words);
    // The link drops such a frame unacknowledged; the line keeps its bytes and says why.
    if (length - words > MAX_PACKET_DATA)
        CommLineAdd(&l, " ! more than %u data bytes", static_cast<unsigned>(MAX_PACKET_DATA));
    return CommLineFinish(&l);
}

int CommLogOpen(const char* name)
{
    CommLogClose();
    if (name == nullptr || name[0] == '\0')
        return 0;
    size_t n = strlen(name);
    if (n >= sizeof LogName) {
        EventMessage(EVENT_LOG_REFUSED, "CommLog: a file name of %u characters is too long; communication log off\n",
                    static_cast<unsigned>(n));
        return 0;
    }
    FILE* f = OpenLogFile("CommLog", name, &Place);
    if (f == nullptr)
        return 0;
    Buffer(f);
    memcpy(LogName, name, n + 1);
    LogFile = f;
    CommLogOn = true;
    // A file left above its cap by an earlier run rolls over now; otherwise its size counts.
    Counted = Cap;
    if (Cap != 0)
        RollCommLogOver();
    if (!CommLogOn)
        return 0;
    EventMessage(EVENT_LOG_PAYMENT_DATA, "CommLog: every pipe message and datagram, payment data included, is written to %s\n", name);
    return 1;
}

void CommLogSetCap(unsigned long bytes) { Cap = bytes; }

void CommLogFlush()
{
    if (LogFile != nullptr)
        fflush(LogFile);
}

void CommLogClose()
{
    CommLogOn = false;
    if (LogFile == nullptr)
        return;
    fclose(LogFile);
    LogFile = nullptr;
    LogPlaceRelease(&Place);
}

void CommLogWrite(const char* line, int n)
{
    if (LogFile == nullptr || n <= 0)
        return;
    fwrite(line, 1, static_cast<size_t>(n), LogFile);
    Counted += static_cast<unsigned long long>(n) + 1;
    if (Cap != 0 && Counted >= Cap)
        RollCommLogOver();
}

void CommLogExpire(unsigned long hours)
{
    if (!CommLogOn)
        return;
    EventMessage(EVENT_COMMLOG_EXPIRED, "CommLog: %s was on for %lu hours; communication log off until the next start\n",
                 LogName, hours);
    CommLogClose();
}

void CommLogDatagramLine(int direction, const char* app, const uint8_t* datagram, size_t len)
{
    if (LogFile == nullptr)
        return;
    LocalClockTime now;
    LocalClockNow(&now);
    CommLogWrite(LineBuffer, CommLogFormatDatagram(LineBuffer, sizeof LineBuffer, &now, direction, app, datagram, len));
}
