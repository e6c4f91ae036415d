// Feeds the communication log's line builders any pipe message and any datagram, at any local
// time and offset and into buffers of any size.
//
// Input: byte 0 picks pipe message or datagram (bit 0) and the direction (bits 1-2); bytes 1-2
// the output buffer size (bit 15: the log's own line buffer); byte 3 the offset in minutes
// (signed, times 15); byte 4 the local fields (bit 7: extreme values). The rest is the message.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "commlog.h"
#include "pipe_line.h"
#include "fuzz_input.h"

namespace {

constexpr size_t SETUP_SIZE = 5;
constexpr char CANARY = 0x5A;
constexpr size_t LARGEST_INPUT = 1 << 16;

void PickTime(const uint8_t* setup, LocalClockTime* now)
{
    uint8_t t = setup[4];
    now->Sec = t;
    now->Msec = t * 4 % 1000;
    now->OffsetMinutes = static_cast<int8_t>(setup[3]) * 15;
    if (t & 0x80) {
        now->Year = (t & 1) ? INT_MIN : INT_MAX;
        now->Month = (t & 2) ? INT_MIN : 12;
        now->Day = (t & 4) ? INT_MAX : 31;
        now->Hour = now->Minute = now->Second = (t & 8) ? INT_MIN : 59;
        now->OffsetMinutes = (t & 16) ? INT_MIN : now->OffsetMinutes;
    } else {
        now->Year = 1970 + t * 3;
        now->Month = 1 + t % 12;
        now->Day = 1 + t % 31;
        now->Hour = t % 24;
        now->Minute = t % 60;
        now->Second = t % 60;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > LARGEST_INPUT)
        return 0;
    uint8_t setup[SETUP_SIZE];
    size_t length = 0;
    uint8_t* msg = SplitInput(data, size, setup, SETUP_SIZE, &length);

    bool ownBuffer = (setup[1] & 0x80) != 0;
    size_t outSize = ownBuffer ? COMMLOG_LINE_SIZE : ((size_t(setup[1]) << 8 | setup[2]) & 0x1FFF);
    char* out = static_cast<char*>(malloc(outSize + 1));
    memset(out, CANARY, outSize + 1);
    LocalClockTime now;
    PickTime(setup, &now);
    int direction = (setup[0] >> 1) & 3;
    int n = (setup[0] & 1) ? CommLogFormatDatagram(out, outSize, &now, direction, "Master", msg, length)
                           : CommLogFormatPipe(out, outSize, &now, direction, msg, length);
    if (outSize < COMMLOG_LINE_MIN) {
        Check(n == -1);
    } else {
        // One whole line, ended and terminated inside the buffer, with nothing written beyond.
        Check(n > 0 && static_cast<size_t>(n) < outSize);
        Check(out[n - 1] == '\n' && out[n] == '\0');
        Check(memchr(out, '\n', static_cast<size_t>(n - 1)) == nullptr);
        Check(strlen(out) == static_cast<size_t>(n));
        // A message the log's own buffer holds whole is never cut.
        if (ownBuffer && length <= COMMLOG_WHOLE_BYTES && !(setup[4] & 0x80))
            Check(strstr(out, " ! line cut") == nullptr);
    }
    Check(out[outSize] == CANARY);
    free(out);
    free(msg);
    return 0;
}
