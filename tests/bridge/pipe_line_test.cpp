#include "pipe_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const LocalClockTime kNow = {1796799662, 345, 2026, 12, 9, 7, 1, 2, 60};
const char kHead[] = "2026-12-09 07:01:02.345 +01:00 ";

std::string Format(int direction, const std::vector<uint8_t>& bytes, size_t size)
{
    // The message alone in a block of its own size: a read past it is caught by the sanitizer.
    std::vector<uint8_t> copy(bytes);
    std::vector<char> out(size);
    int n = CommLogFormatPipe(out.data(), size, &kNow, direction, copy.data(), copy.size());
    if (n < 0)
        return "refused";
    EXPECT_LT(static_cast<size_t>(n), size);
    EXPECT_EQ('\0', out[static_cast<size_t>(n)]);
    return std::string(out.data(), static_cast<size_t>(n));
}

TEST(CommLogPipeLine, EveryKindOfMessage)
{
    const struct {
        int Direction;
        std::vector<uint8_t> Bytes;
        const char* Line;  // after the time
    } cases[] = {
        {COMM_FROM_CLIENT, {0x01, 0x01, 0x23, 1, 2, 3, 4},
         "client->svc mask=0x01 Master cmd=0x0123 status=- len=4 data=01020304"},
        {COMM_TO_CLIENT, {0x02, 0x81, 0x23, 0x00, 0x05, 0xAA},
         "svc->client mask=0x02 MBCA cmd=0x8123 status=0x0005 len=1 data=aa"},
        {COMM_FROM_CLIENT, {0x43, 0x00, 0x10}, "client->svc mask=0x43 Master|MBCA|+0x40 cmd=0x0010 status=- len=0 data="},
        {COMM_FROM_CLIENT, {0x80, 0x7F, 0x01, 0x01},
         "client->svc mask=0x80 control announce cmd=0x7f01 status=- len=1 data=01"},
        {COMM_TO_CLIENT, {0x80, 0xFF, 0x02, 0x00, 0x02, 0x01},
         "svc->client mask=0x80 control notice cmd=0xff02 status=0x0002 len=1 data=01"},
        {COMM_FROM_CLIENT, {0x00, 0x00, 0x00, 0x41}, "client->svc mask=0x00 capture cmd=0x0000 status=- len=1 data=41"},
        {COMM_FROM_CLIENT, {0x01, 0x00}, "client->svc bytes=2 raw=0100 ! shorter than mask and command"},
        {COMM_FROM_CLIENT, {}, "client->svc bytes=0 raw= ! shorter than mask and command"},
        {COMM_FROM_CLIENT, {0x01, 0x80, 0x01, 0x00},
         "client->svc mask=0x01 Master cmd=0x8001 bytes=4 raw=01800100 ! shorter than its status word"},
    };
    for (const auto& c : cases) {
        std::string want = std::string(kHead) + c.Line + "\n";
        EXPECT_EQ(want, Format(c.Direction, c.Bytes, COMMLOG_LINE_SIZE));
    }
}

TEST(CommLogPipeLine, TheBufferBounds)
{
    EXPECT_EQ("refused", Format(COMM_FROM_CLIENT, {1, 0, 0}, COMMLOG_LINE_MIN - 1));

    // A message longer than the line holds is cut at a whole byte, and the line says so.
    std::vector<uint8_t> big(3000, 0xAB);
    big[0] = 0x01;
    big[1] = big[2] = 0x00;
    for (size_t size : {COMMLOG_LINE_MIN, COMMLOG_LINE_SIZE}) {
        std::string line = Format(COMM_FROM_CLIENT, big, size);
        const std::string tail = "ab ! line cut\n";
        ASSERT_GE(line.size(), tail.size());
        EXPECT_EQ(tail, line.substr(line.size() - tail.size())) << size;
        EXPECT_GE(line.size() + 3, size) << "the line fills its buffer";
    }
}

}  // namespace
