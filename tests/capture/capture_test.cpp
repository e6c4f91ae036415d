// Capture lines from records, and the log file in a directory of the test's own (natively and
// under Wine); under Wine also the real debug directory.
#include "capture.h"
#include "debug.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";  // the log is a text file
#else
const std::string kEol = "\n";
#endif

// 2026-12-08 10:15:30.456 local; the seconds since 1970 are what the stamps are measured against.
const CaptureTime kArrival = {1000002, 456, 2026, 12, 8, 10, 15, 30, 0};

// A record of exactly the given bytes on the heap, so that a read past it is caught.
std::unique_ptr<uint8_t[]> Record(uint32_t sec, uint32_t msec, const std::string& text, size_t* length)
{
    *length = 8 + text.size();
    std::unique_ptr<uint8_t[]> r(new uint8_t[*length]);
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<uint8_t>(sec >> (24 - 8 * i));
        r[4 + i] = static_cast<uint8_t>(msec >> (24 - 8 * i));
    }
    memcpy(r.get() + 8, text.data(), text.size());
    return r;
}

std::string Line(uint32_t sec, uint32_t msec, const std::string& text, const CaptureTime& now = kArrival)
{
    size_t length;
    auto r = Record(sec, msec, text, &length);
    char out[CAPTURE_LINE_SIZE];
    int n = CaptureFormatLine(out, sizeof out, length, r.get(), &now);
    return n < 0 ? "<none>" : std::string(out, static_cast<size_t>(n));
}

TEST(BigEndianValue, FoldsMostSignificantFirstAndDropsWhatOverflows)
{
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(0x12345678u, BigEndianValue(bytes, 4));
    EXPECT_EQ(0x1234u, BigEndianValue(bytes, 2));
    EXPECT_EQ(0x3456789Au, BigEndianValue(bytes, 5));
    EXPECT_EQ(0u, BigEndianValue(bytes, 0));
}

TEST(CaptureLine, DelayAndTextAsTheClientSentThem)
{
    EXPECT_EQ("2026-12-08 10:15:30.456 +02056 PAY OK\n", Line(1000000, 400, "PAY OK"));
    // A stamp later than the arrival: the sign comes after the literal plus.
    EXPECT_EQ("2026-12-08 10:15:30.456 +-0012 x\n", Line(1000002, 468, "x"));
    EXPECT_EQ("2026-12-08 10:15:30.456 +123456 x\n", Line(1000002 - 123, 0, "x"));
    // Exactly the stamp: the line ends with the delay and a blank.
    EXPECT_EQ("2026-12-08 10:15:30.456 +02056 \n", Line(1000000, 400, ""));
    EXPECT_EQ("2026-12-08 10:15:30.456 +02056 AB\n", Line(1000000, 400, std::string("AB\0CD", 5)));
    // 32-bit arithmetic: a stamp a billion seconds back wraps.
    CaptureTime late = kArrival;
    late.Sec = 1000000000;
    late.Msec = 0;
    EXPECT_EQ("2026-12-08 10:15:30.000 +-727379968 x\n", Line(0, 0, "x", late));
}

TEST(CaptureLine, ShortRecordIsRefusedWithoutReadingPastIt)
{
    for (size_t n = 0; n < CAPTURE_STAMP_SIZE; ++n) {
        std::unique_ptr<uint8_t[]> r(new uint8_t[n + 1]);
        memset(r.get(), 0x41, n + 1);
        char out[CAPTURE_LINE_SIZE];
        EXPECT_EQ(-1, CaptureFormatLine(out, sizeof out, n, r.get(), &kArrival)) << n;
    }
}

TEST(CaptureLine, TextTooLongForTheBufferIsCutAndTheLineStillEnds)
{
    size_t length;
    auto r = Record(1000000, 400, std::string(50, 'T'), &length);
    char out[40];
    int n = CaptureFormatLine(out, sizeof out, length, r.get(), &kArrival);
    EXPECT_EQ(std::string("2026-12-08 10:15:30.456 +02056 TTTTTTT\n"), std::string(out, static_cast<size_t>(n)));
    EXPECT_EQ('\0', out[n]);
}

TEST(CaptureNow, SecondsSince1970AndTheLocalFieldsOfTheSameMoment)
{
    time_t before = time(nullptr);
    CaptureTime now;
    CaptureNow(&now);
    time_t after = time(nullptr);
    EXPECT_LE(static_cast<int64_t>(before), now.Sec);
    EXPECT_LE(now.Sec, static_cast<int64_t>(after));
    EXPECT_GE(now.Msec, 0);
    EXPECT_LT(now.Msec, 1000);
    time_t sec = static_cast<time_t>(now.Sec);
    const struct tm* local = localtime(&sec);
    ASSERT_NE(local, nullptr);
    EXPECT_EQ((std::vector<int>{local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
                                local->tm_min, local->tm_sec}),
              (std::vector<int>{now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second}));
}

TEST(CaptureName, DateDashTimeDotLogInTheDirectory)
{
    const CaptureTime t = {0, 0, 2027, 1, 2, 3, 4, 5, 0};
    char name[CAPTURE_NAME_SIZE];
    EXPECT_EQ(34, CaptureFormatName(name, sizeof name, "c:\\VarnokDebug", '\\', &t));
    EXPECT_STREQ("c:\\VarnokDebug\\20270102-030405.log", name);
    EXPECT_EQ(-1, CaptureFormatName(name, 20, "c:\\VarnokDebug", '\\', &t));
}

class CaptureFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        Dir = fs::temp_directory_path() / ("capture_test_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override
    {
        CaptureClose();
        fs::remove_all(Dir);
    }
    std::vector<fs::path> Files()
    {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(Dir))
            files.push_back(e.path());
        return files;
    }
    static std::string Contents(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path Dir;
};

// The text after the arrival time: the delay depends on the clock, so the stamp is left at
// zero and only the text compared.
std::string TextOf(const std::string& line) { return line.substr(line.find(' ', 24) + 1); }

TEST_F(CaptureFileTest, EveryLineIsOnDiskWhenWriteReturns)
{
    ASSERT_EQ(1, CaptureOpenIn(Dir.string().c_str()));
    ASSERT_NE(nullptr, CaptureFile);
    std::vector<fs::path> files = Files();
    ASSERT_EQ(1u, files.size());
    std::string name = files[0].filename().string();
    ASSERT_EQ(19u, name.size()) << name;
    EXPECT_EQ('-', name[8]);
    EXPECT_EQ(".log", name.substr(15));

    size_t length;
    auto first = Record(0, 0, "first", &length);
    CaptureWrite(length, first.get());
    std::string content = Contents(files[0]);
    ASSERT_EQ(kEol, content.substr(content.size() - kEol.size()));
    EXPECT_EQ("first" + kEol, TextOf(content));
    EXPECT_EQ(name.substr(0, 4) + "-" + name.substr(4, 2) + "-" + name.substr(6, 2), content.substr(0, 10));

    // Records too short for their stamp leave no line.
    const uint8_t shortRecord[5] = {0, 0, 0, 0, 0};
    CaptureWrite(sizeof shortRecord, shortRecord);
    CaptureWrite(0, nullptr);
    EXPECT_EQ(content, Contents(files[0]));

    CaptureClose();
    EXPECT_EQ(nullptr, CaptureFile);
    CaptureWrite(length, first.get());
    EXPECT_EQ(content, Contents(files[0])) << "nothing is written once the log is closed";
}

TEST_F(CaptureFileTest, SecondRunInTheSameSecondEmptiesTheFile)
{
    size_t length;
    auto record = Record(0, 0, "from the first run", &length);
    // Two opens fall into the same second nearly always; when a second boundary falls between
    // them there are two files, and the attempt is made again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        ASSERT_EQ(1, CaptureOpenIn(Dir.string().c_str()));
        CaptureWrite(length, record.get());
        CaptureClose();
        ASSERT_EQ(1, CaptureOpenIn(Dir.string().c_str()));
        if (Files().size() == 1) {
            EXPECT_EQ("", Contents(Files()[0]));
            return;
        }
        CaptureClose();
    }
    FAIL() << "no two opens within one second";
}

TEST_F(CaptureFileTest, LogStaysOffWithoutADirectory)
{
    EXPECT_EQ(0, CaptureOpenIn((Dir / "missing").string().c_str()));
    EXPECT_EQ(nullptr, CaptureFile);
    std::ofstream(Dir / "plain").put('x');
    EXPECT_EQ(0, CaptureOpenIn((Dir / "plain").string().c_str()));
    EXPECT_EQ(nullptr, CaptureFile);
    size_t length;
    auto record = Record(0, 0, "dropped", &length);
    CaptureWrite(length, record.get());
    EXPECT_EQ(1u, Files().size());
}

TEST_F(CaptureFileTest, LogRollsOverToDotOneAtItsCap)
{
    CaptureSetCap(300);
    ASSERT_EQ(1, CaptureOpenIn(Dir.string().c_str()));
    std::string name = Files()[0].string();
    size_t length;
    for (int i = 0; i < 40; ++i) {
        auto record = Record(0, 0, "record " + std::to_string(100 + i), &length);
        CaptureWrite(length, record.get());
    }
    CaptureSetCap(CAPTURE_CAP_DEFAULT);
    ASSERT_EQ(2u, Files().size()) << "the log and one older file";
    std::string now = Contents(name);
    std::string before = Contents(name + ".1");
    EXPECT_NE(std::string::npos, now.find("record 139" + kEol));
    EXPECT_EQ(std::string::npos, before.find("record 100")) << "only one older file is kept";
    EXPECT_GE(before.size(), 300u);
    EXPECT_LT(before.size(), 300u + 60);
    EXPECT_EQ(kEol, before.substr(before.size() - kEol.size()));
}

// The folder is refused when it leads elsewhere: nothing is created behind it.
TEST_F(CaptureFileTest, LinkedFolderIsRefused)
{
#ifdef _WIN32
    // Wine shows a Unix symbolic link as a reparse point; the wrapper script makes one.
    const char* link = getenv("DULVEX_CAPTURE_LINK");
    if (link == nullptr)
        GTEST_SKIP() << "DULVEX_CAPTURE_LINK not set";
    fs::path target = fs::path(link).parent_path() / "target";
    fs::path linked = link;
#else
    fs::path target = Dir / "target";
    fs::path linked = Dir / "link";
    fs::create_directories(target);
    fs::create_directory_symlink(target, linked);
#endif
    // The warning names the folder and why; it goes to the trace (and the event log when detached).
    fs::path trace = Dir / "trace.txt";
    ASSERT_TRUE(OpenTrace(trace.string().c_str()));
    EXPECT_EQ(0, CaptureOpenIn(linked.string().c_str()));
    OpenTrace("-");
    EXPECT_EQ(nullptr, CaptureFile);
    EXPECT_TRUE(fs::is_empty(target));
    const std::string why = " is a reparse point (a junction or symbolic link); capture log off";
    std::string text = Contents(trace);
    EXPECT_NE(std::string::npos, text.find("Capture: folder " + linked.string() + why)) << text;
    // The folder itself is fine.
    EXPECT_EQ(1, CaptureOpenIn(target.string().c_str()));
    CaptureClose();
    for (const auto& e : fs::directory_iterator(target))
        fs::remove(e.path());
}

#ifndef _WIN32
TEST_F(CaptureFileTest, FolderOfAnotherAccountIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give the folder away";
    fs::path other = Dir / "other";
    fs::create_directories(other);
    ASSERT_EQ(0, chown(other.string().c_str(), 65534, 65534));
    EXPECT_EQ(0, CaptureOpenIn(other.string().c_str()));
    EXPECT_TRUE(fs::is_empty(other));
}
#endif

#ifdef _WIN32
TEST(CaptureDebugDirectory, LogIsKeptInTheFixedDirectoryWhenItExists)
{
    const fs::path dir = CAPTURE_DEBUG_DIR;
    bool made = fs::create_directory(dir);
    std::vector<fs::path> before;
    for (const auto& e : fs::directory_iterator(dir))
        before.push_back(e.path());
    CaptureOpen();
    ASSERT_NE(nullptr, CaptureFile);
    CaptureClose();
    std::vector<fs::path> mine;
    for (const auto& e : fs::directory_iterator(dir))
        if (std::find(before.begin(), before.end(), e.path()) == before.end())
            mine.push_back(e.path());
    EXPECT_LE(mine.size(), 1u);
    for (const auto& p : mine)
        fs::remove(p);
    if (made)
        fs::remove(dir);
}
#endif

}  // namespace
