#include "commlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

const LocalClockTime kNow = {1796799662, 345, 2026, 12, 9, 7, 1, 2, 60};
const char kHead[] = "2026-12-09 07:01:02.345 +01:00 ";

std::string Format(int direction, const char* app, const std::vector<uint8_t>& bytes, size_t size,
                   const LocalClockTime& now = kNow)
{
    // The datagram alone in a block of its own size: a read past it is caught by the sanitizer.
    std::vector<uint8_t> copy(bytes);
    std::vector<char> out(size);
    int n = CommLogFormatDatagram(out.data(), size, &now, direction, app, copy.data(), copy.size());
    if (n < 0)
        return "refused";
    EXPECT_LT(static_cast<size_t>(n), size);
    EXPECT_EQ('\0', out[static_cast<size_t>(n)]);
    return std::string(out.data(), static_cast<size_t>(n));
}

TEST(CommLogLine, EveryKindOfDatagram)
{
    const struct {
        int Direction;
        const char* App;
        std::vector<uint8_t> Bytes;
        const char* Line;  // after the time
    } cases[] = {
        {COMM_TO_TERMINAL, "Master", {0x08, 0x03, 0x00, 0x06, 0x01, 0x23, 1, 2, 3, 4},
         "svc->term Master data flags=HOST seq=0x03 cmd=0x0123 status=- len=4 data=01020304"},
        {COMM_FROM_TERMINAL, "Fleet", {0x00, 0x05, 0x00, 0x05, 0x81, 0x23, 0x00, 0x00, 0xFF},
         "term->svc Fleet data flags=- seq=0x05 cmd=0x8123 status=0x0000 len=1 data=ff"},
        {COMM_FROM_TERMINAL, "Petro", {0x01, 0x09, 0x00, 0x02, 0x00, 0x10},
         "term->svc Petro data flags=SYNC seq=0x09 cmd=0x0010 status=- len=0 data="},
        {COMM_FROM_TERMINAL, "Master", {0x04, 0x03}, "term->svc Master ack flags=ACK seq=0x03"},
        {COMM_TO_TERMINAL, "Master", {0x0A, 0x07}, "svc->term Master nak flags=HOST|NAK seq=0x07"},
        {COMM_TO_TERMINAL, "Maint", {0x0B, 0x07}, "svc->term Maint resync flags=HOST|NAK|SYNC seq=0x07"},
        {COMM_FROM_TERMINAL, "Master", {0x36, 0x00}, "term->svc Master ack+nak flags=ACK|NAK|+0x30 seq=0x00"},
        {COMM_FROM_TERMINAL, "Master", {0x04, 0x03, 0xFF},
         "term->svc Master ack flags=ACK seq=0x03 bytes=3 raw=0403ff ! 1 extra bytes after flags and sequence"},
        {COMM_FROM_TERMINAL, "Master", {0x08}, "term->svc Master short bytes=1 raw=08 ! shorter than flags and sequence"},
        {COMM_FROM_TERMINAL, "Master", {0x00, 0x01, 0x00, 0x02, 0x00},
         "term->svc Master data flags=- seq=0x01 bytes=5 raw=0001000200 ! shorter than its header"},
        {COMM_FROM_TERMINAL, "Master", {0x00, 0x01, 0x00, 0x04, 0x80, 0x10, 0x00},
         "term->svc Master data flags=- seq=0x01 cmd=0x8010 bytes=7 raw=00010004801000 ! shorter than its header"},
        {COMM_FROM_TERMINAL, "Master", {0x00, 0x01, 0x00, 0xC8, 0x00, 0x10, 0xAA},
         "term->svc Master data flags=- seq=0x01 cmd=0x0010 status=- bytes=7 raw=000100c80010aa ! length field 200 "
         "runs past the datagram"},
        {COMM_FROM_TERMINAL, "Master", {0x00, 0x01, 0x00, 0x01, 0x00, 0x10},
         "term->svc Master data flags=- seq=0x01 cmd=0x0010 status=- bytes=6 raw=000100010010 ! length field 1 is "
         "below its command and status words"},
        {COMM_FROM_TERMINAL, "Master", {0x00, 0x01, 0x00, 0x02, 0x00, 0x10, 0xEE},
         "term->svc Master data flags=- seq=0x01 cmd=0x0010 status=- bytes=7 raw=000100020010ee ! 1 extra bytes "
         "after the length field"},
    };
    for (const auto& c : cases) {
        std::string want = std::string(kHead) + c.Line + "\n";
        EXPECT_EQ(want, Format(c.Direction, c.App, c.Bytes, COMMLOG_LINE_SIZE));
    }
}

TEST(CommLogLine, OffsetSignAndTheBufferBounds)
{
    LocalClockTime west = kNow;
    west.OffsetMinutes = -330;
    EXPECT_EQ("2026-12-09 07:01:02.345 -05:30 term->svc Master ack flags=ACK seq=0x03\n",
              Format(COMM_FROM_TERMINAL, "Master", {0x04, 0x03}, COMMLOG_LINE_SIZE, west));
    EXPECT_EQ("refused", Format(COMM_FROM_TERMINAL, "Master", {0x04, 0x03}, COMMLOG_LINE_MIN - 1));
}

// The link drops a frame of more than 600 data bytes that still fits its buffer (a request of 601
// or 602): its line is whole and says so; 600 is a frame like any other.
TEST(CommLogLine, MoreThan600DataBytesAreNoted)
{
    for (uint32_t data : {600u, 601u, 602u}) {
        std::vector<uint8_t> d = {0x00, 0x01, static_cast<uint8_t>((data + 2) >> 8), static_cast<uint8_t>(data + 2),
                                  0x00, 0x10};
        d.resize(d.size() + data, 0xCD);
        std::string line = Format(COMM_FROM_TERMINAL, "Master", d, COMMLOG_LINE_SIZE);
        std::string want = "term->svc Master data flags=- seq=0x01 cmd=0x0010 status=- len=" + std::to_string(data) +
                           " data=";
        for (uint32_t i = 0; i < data; ++i)
            want += "cd";
        want += data > 600 ? " ! more than 600 data bytes\n" : "\n";
        EXPECT_EQ(std::string(kHead) + want, line) << data;
    }
}

std::string ReadAll(const std::string& name)
{
    std::string text;
    if (FILE* f = fopen(name.c_str(), "rb")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

size_t Lines(const std::string& text)
{
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

TEST(CommLogFile, OnlyWhenOpenedRolledOverAtTheCapAndFlushedAtClose)
{
    const std::string name = "commlog_test.log", old = name + ".1";
    remove(name.c_str());
    remove(old.c_str());
    const uint8_t ack[] = {0x04, 0x03};
    CommLogDatagram(COMM_FROM_TERMINAL, "Master", ack, sizeof ack);
    EXPECT_FALSE(CommLogOn);
    EXPECT_EQ(0, CommLogOpen(""));
    EXPECT_EQ(0, CommLogOpen("no-such-folder/x.log"));
    EXPECT_FALSE(CommLogOn);

    ASSERT_EQ(1, CommLogOpen(name.c_str()));
    EXPECT_TRUE(CommLogOn);
    // Each line is about 70 bytes: the third reaches the cap and rolls the file over.
    CommLogSetCap(200);
    for (int i = 0; i < 5; ++i)
        CommLogDatagram(COMM_FROM_TERMINAL, "Master", ack, sizeof ack);
    CommLogClose();
    EXPECT_FALSE(CommLogOn);
    CommLogSetCap(COMMLOG_CAP_DEFAULT);
    std::string first = ReadAll(old), second = ReadAll(name);
    EXPECT_EQ(3u, Lines(first));
    EXPECT_EQ(2u, Lines(second));
    EXPECT_NE(std::string::npos, second.find(" term->svc Master ack flags=ACK seq=0x03"));
    remove(name.c_str());
    remove(old.c_str());
}

TEST(CommLogFile, AFileAboveItsCapRollsOverAtOpen)
{
    const std::string name = "commlog_big_test.log", old = name + ".1";
    remove(name.c_str());
    remove(old.c_str());
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs(std::string(300, 'x').c_str(), f);
    fclose(f);
    CommLogSetCap(200);
    ASSERT_EQ(1, CommLogOpen(name.c_str()));
    EXPECT_EQ(300u, ReadAll(old).size()) << "rolled over before any line";
    const uint8_t ack[] = {0x04, 0x03};
    CommLogDatagram(COMM_FROM_TERMINAL, "Master", ack, sizeof ack);
    CommLogClose();
    CommLogSetCap(COMMLOG_CAP_DEFAULT);
    EXPECT_EQ(1u, Lines(ReadAll(name)));
    remove(name.c_str());
    remove(old.c_str());
}

TEST(CommLogFile, ExpiryClosesTheLogAndKeepsWhatItWrote)
{
    const std::string name = "commlog_expiry_test.log";
    remove(name.c_str());
    const uint8_t ack[] = {0x04, 0x03};
    CommLogExpire(COMMLOG_HOURS_DEFAULT);
    EXPECT_FALSE(CommLogOn) << "an expiry while off turns nothing on";
    ASSERT_EQ(1, CommLogOpen(name.c_str()));
    CommLogDatagram(COMM_FROM_TERMINAL, "Master", ack, sizeof ack);
    CommLogExpire(COMMLOG_HOURS_DEFAULT);
    EXPECT_FALSE(CommLogOn);
    CommLogDatagram(COMM_FROM_TERMINAL, "Master", ack, sizeof ack);
    CommLogFlush();
    EXPECT_EQ(1u, Lines(ReadAll(name)));
    remove(name.c_str());
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, long m, long d)
{
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

TEST(LocalClock, OffsetIsTheLocalFieldsLessTheUtcMoment)
{
    LocalClockTime now;
    LocalClockNow(&now);
    time_t sec = static_cast<time_t>(now.Sec);
    struct tm local = *localtime(&sec);
    EXPECT_EQ((std::vector<int>{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                local.tm_sec}),
              (std::vector<int>{now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second}));
    long long fields = (DaysFromCivil(now.Year, now.Month, now.Day) * 24LL + now.Hour) * 3600 + now.Minute * 60 +
                       now.Second;
    EXPECT_EQ(fields - now.Sec, now.OffsetMinutes * 60LL);
}

}  // namespace
