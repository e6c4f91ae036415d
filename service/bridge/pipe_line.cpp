#include "pipe_line.h"

#include "byte_order.h"
#include "client_wire.h"
#include "term_packet.h"

namespace {

char LineBuffer[COMMLOG_LINE_SIZE];

const char* ControlName(uint32_t cmd)
{
    switch (cmd) {
    case CONTROL_ANNOUNCE:
        return "announce";
    case CONTROL_HEALTH:
        return "health";
    case CONTROL_WELCOME:
        return "welcome";
    case CONTROL_NOTICE:
        return "notice";
    case CONTROL_HEALTH_ANSWER:
        return "health-answer";
    default:
        return "unknown";
    }
}

// The applications a mask names, joined by '|'; bits above them as "+0xNN".
void AddMaskNames(CommLine* l, uint8_t mask, uint32_t cmd)
{
    if (mask == 0) {
        CommLineAdd(l, " capture");
        return;
    }
    if (mask == CLIENT_CONTROL_MASK) {
        CommLineAdd(l, " control %s", ControlName(cmd));
        return;
    }
    const char* sep = " ";
    for (int i = 0; i < APP_COUNT; ++i) {
        if (mask & AppMaskOf(i)) {
            CommLineAdd(l, "%s%s", sep, AppTable[i].Name);
            sep = "|";
        }
    }
    if (mask & ~APP_MASK_ALL)
        CommLineAdd(l, "%s+0x%02x", sep, static_cast<unsigned>(mask & ~APP_MASK_ALL));
}

}  // namespace

int CommLogFormatPipe(char* out, size_t size, const LocalClockTime* now, int direction, const uint8_t* msg,
                      size_t len)
{
    if (out == nullptr || now == nullptr || size < COMMLOG_LINE_MIN)
        return -1;
    if (msg == nullptr)
        len = 0;
    CommLine l = CommLineStart(out, size, now, direction);
    if (len < 3)
        return CommLineMalformed(&l, msg, len, "shorter than mask and command");
    uint8_t mask = msg[0];
    uint32_t cmd = GetU16(msg + 1);
    size_t head = HasStatus(cmd) ? 5 : 3;
    CommLineAdd(&l, " mask=0x%02x", static_cast<unsigned>(mask));
    AddMaskNames(&l, mask, cmd);
    CommLineAdd(&l, " cmd=0x%04x", static_cast<unsigned>(cmd));
    if (len < head)
        return CommLineMalformed(&l, msg, len, "shorter than its status word");
    CommLineStatus(&l, cmd, msg + 3);
    CommLineAdd(&l, " len=%u data=", static_cast<unsigned>(len - head));
    CommLineHex(&l, msg + head, len - head);
    if (mask != 0 && len - head > MAX_PACKET_DATA)
        CommLineAdd(&l, " ! more than %u data bytes", static_cast<unsigned>(MAX_PACKET_DATA));
    return CommLineFinish(&l);
}

void CommLogPipe(int direction, const uint8_t* msg, size_t len)
{
    if (!CommLogOn)
        return;
    LocalClockTime now;
    LocalClockNow(&now);
    CommLogWrite(LineBuffer, CommLogFormatPipe(LineBuffer, sizeof LineBuffer, &now, direction, msg, len));
}
