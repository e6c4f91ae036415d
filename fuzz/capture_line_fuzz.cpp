// Feeds the capture log's line builder any capture record, at any moment and into buffers of
// any size, and the stamp folding any bytes.
//
// Input: bytes 0-1 pick the output buffer size (0 to 1023, and bit 15 asks for the log's own
// line buffer instead); bytes 2-5 the arrival seconds (big-endian, so wrapping against the
// stamp is reachable); byte 6 the milliseconds; byte 7 the local date and time fields (bit 7:
// extreme values that make the head far wider than any real date). The rest is the record's
// data part: stamp seconds, stamp milliseconds, text.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture.h"
#include "debug.h"
#include "fuzz_input.h"

namespace {

constexpr size_t SETUP_SIZE = 8;
constexpr char CANARY = 0x5A;
// The longest data part a client message can carry: 600 bytes less the 3-byte header.
constexpr size_t MAX_RECORD = 597;
// Longer inputs than libFuzzer's usual ceiling are skipped rather than checked.
constexpr size_t LARGEST_INPUT = 1 << 16;

uint32_t Fold(const uint8_t* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return static_cast<uint32_t>(value);
}

void CheckBigEndian(const uint8_t* record, size_t length)
{
    Check(BigEndianValue(record, 0) == 0);
    for (size_t count = 1; count <= length && count <= 8; ++count) {
        uint32_t value = BigEndianValue(record, count);
        Check(value == Fold(record, count));
        // Only the last four bytes survive.
        if (count >= 4)
            Check(value == BigEndianValue(record + count - 4, 4));
    }
}

void PickTime(const uint8_t* setup, CaptureTime* now)
{
    now->Sec = static_cast<int64_t>(Fold(setup + 2, 4));
    now->Msec = setup[6] % 250 * 4 + setup[6] % 4;
    uint8_t t = setup[7];
    if (t & 0x80) {
        now->Year = (t & 1) ? INT_MIN : INT_MAX;
        now->Month = (t & 2) ? INT_MIN : 12;
        now->Day = (t & 4) ? INT_MAX : 31;
        now->Hour = now->Minute = now->Second = (t & 8) ? INT_MIN : 59;
    } else {
        now->Year = 1970 + t * 3;
        now->Month = 1 + t % 12;
        now->Day = 1 + t % 31;
        now->Hour = t % 24;
        now->Minute = t % 60;
        now->Second = (t * 7) % 61;
    }
}

// What the line must be: the head printed on its own, then the text up to its first NUL.
size_t ExpectedLine(const uint8_t* record, size_t length, const CaptureTime* now, char* line, size_t lineSize,
                    size_t* headLen)
{
    // The delay is the 32-bit two's-complement difference, whatever the clock and stamp hold.
    uint64_t ms = (static_cast<uint64_t>(now->Sec) - Fold(record, 4)) * 1000u + static_cast<uint64_t>(now->Msec) -
                  Fold(record + 4, 4);
    uint32_t bits = static_cast<uint32_t>(ms);
    long long delay = bits >= 0x80000000u ? static_cast<long long>(bits) - 0x100000000LL : bits;
    int head = snprintf(line, lineSize, "%04d-%02d-%02d %02d:%02d:%02d.%03d +%05lld ", now->Year, now->Month,
                        now->Day, now->Hour, now->Minute, now->Second, now->Msec, delay);
    Check(head > 0 && static_cast<size_t>(head) < lineSize);
    *headLen = static_cast<size_t>(head);
    size_t text = 0;
    while (CAPTURE_STAMP_SIZE + text < length && record[CAPTURE_STAMP_SIZE + text] != 0)
        ++text;
    Check(*headLen + text + 1 < lineSize);
    memcpy(line + head, record + CAPTURE_STAMP_SIZE, text);
    line[head + text] = '\n';
    return *headLen + text + 1;
}

void CheckLine(const uint8_t* record, size_t length, size_t size, bool ownBuffer, const CaptureTime* now)
{
    char* out = static_cast<char*>(malloc(size == 0 ? 1 : size));
    memset(out, CANARY, size == 0 ? 1 : size);
    int n = CaptureFormatLine(out, size, length, record, now);

    if (length < CAPTURE_STAMP_SIZE) {
        Check(n == -1);
        free(out);
        return;
    }
    static char expected[LARGEST_INPUT + 1024];
    size_t headLen = 0;
    size_t full = ExpectedLine(record, length, now, expected, sizeof expected, &headLen);
    if (n < 0) {
        Check(n == -1);
        // Refused only when not even the head and the line end fit.
        Check(headLen + 2 > size);
        // The log's own buffer holds every real line whole.
        Check(!(ownBuffer && (now->Year >= 0 && now->Year <= 9999)));
        free(out);
        return;
    }
    size_t len = static_cast<size_t>(n);
    Check(len < size);
    Check(len >= headLen + 1);
    Check(out[len - 1] == '\n');
    Check(out[len] == '\0');
    Check(memcmp(out, expected, len - 1) == 0);
    // The text is cut only when the buffer is full.
    Check(len == full || len + 1 == size);
    if (ownBuffer && length <= MAX_RECORD && now->Year >= 0 && now->Year <= 9999)
        Check(len == full);
    free(out);
}

// The whole write path into a stream that goes nowhere, on the exact-size record.
void CheckWrite(const uint8_t* record, size_t length)
{
    static FILE* sink = fopen("/dev/null", "w");
    CaptureFile = sink;
    CaptureWrite(length, record);
    CaptureWrite(0, nullptr);
    CaptureFile = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    OpenTrace("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > LARGEST_INPUT)
        return 0;
    uint8_t setup[SETUP_SIZE];
    size_t length = 0;
    uint8_t* record = SplitInput(data, size, setup, SETUP_SIZE, &length);

    bool ownBuffer = (setup[0] & 0x80) != 0;
    size_t outSize = ownBuffer ? CAPTURE_LINE_SIZE : ((size_t(setup[0]) << 8 | setup[1]) & 0x3FF);
    CaptureTime now;
    PickTime(setup, &now);

    CheckBigEndian(record, length);
    CheckLine(record, length, outSize, ownBuffer, &now);
    CheckWrite(record, length);
    free(record);
    return 0;
}
