// The trace sink is process-wide and installed for good, so these tests run in order and build
// on each other: first without a sink, then with a file, then standard error.
#include "debug.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string TracePath()
{
    static std::string path = ::testing::TempDir() + "dulvex_trace_test.log";
    return path;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);  // text mode: the trace file is a text file on each platform
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Trace, WithoutSinkInConsoleModeNothingIsWritten)
{
    ConsoleDebug = true;
    EXPECT_FALSE(TraceMessage("lost %d\n", 1));
    EXPECT_FALSE(LogMessage("lost %d\n", 2));
    EXPECT_FALSE(LogError(" bind() ", 10048));
    EXPECT_FALSE(OpenTrace(nullptr));
    EXPECT_FALSE(ReportServiceEvent(nullptr)) << "console mode is not detached";
    ConsoleDebug = false;
    EXPECT_TRUE(ReportServiceEvent(nullptr)) << "without console mode the process is detached";
    ConsoleDebug = true;
}

TEST(Trace, UnopenableFileLeavesTracingOff)
{
    EXPECT_FALSE(OpenTrace((::testing::TempDir() + "no/such/dir/trace.log").c_str()));
    EXPECT_FALSE(TraceMessage("still lost\n"));
}

TEST(Trace, FileLinesCarryUtcTimeAndIdsAndAreBuiltFromPieces)
{
    remove(TracePath().c_str());
    {
        std::ofstream old(TracePath());
        old << "earlier run\n";
    }
    ASSERT_TRUE(OpenTrace(TracePath().c_str()));
    EXPECT_TRUE(TraceMessage("Got packet: App=%02x, Cmd=%04x,", 5, 0x1234));
    EXPECT_TRUE(TraceMessage("Status=%04x, ", 7));
    EXPECT_TRUE(TraceMessage("Len=%d\n", 2));
    EXPECT_TRUE(LogMessage("second %s\n", "line"));
    EXPECT_TRUE(TraceMessage("%s", "ends without newline: no new prefix follows\n"));
    EXPECT_TRUE(TraceMessage("tail\n"));

    std::string text = ReadAll(TracePath());
    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[0x[0-9a-f]{8}-0x[0-9a-f]{8}\]: )";
    std::regex expected("earlier run\n" + stamp + "Got packet: App=05, Cmd=1234,Status=0007, Len=2\n" + stamp +
                        "second line\n" + stamp + "ends without newline: no new prefix follows\ntail\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(Trace, LogErrorWithoutSystemTextUsesPlaceholder)
{
    ASSERT_TRUE(OpenTrace(TracePath().c_str()));
    EXPECT_TRUE(LogError(" odd() ", 0x7ffffff1));
    std::string text = ReadAll(TracePath());
    EXPECT_NE(std::string::npos,
              text.find("Error ' odd() ' -> 2147483633, 0x7ffffff1 = '?!?!?!?!'\n"))
        << text;
}

// A line reaches the file whole, in one write: a reader (a field engineer's tail, a test) never
// sees the first pieces of a line without its end.
TEST(Trace, FileGetsALineOnlyWhenItEnds)
{
    ASSERT_TRUE(OpenTrace(TracePath().c_str()));
    TraceMessage("Term[%d]: Got CMD=%04x,", 3, 0x8123);
    TraceMessage(" Len=%d", 2);
    EXPECT_EQ(std::string::npos, ReadAll(TracePath()).find("Term[3]")) << "a line is not written in pieces";
    TraceMessage("\n");
    EXPECT_NE(std::string::npos, ReadAll(TracePath()).find("]: Term[3]: Got CMD=8123, Len=2\n"));
}

// What the file held stays, and each line lands at the end, after whatever another writer added.
TEST(Trace, FileIsAppendedToWhoeverElseWrites)
{
    const std::string path = ::testing::TempDir() + "dulvex_trace_append.log";
    std::ofstream(path, std::ios::trunc) << "kept from before\n";
    ASSERT_TRUE(OpenTrace(path.c_str()));
    TraceMessage("first\n");
    std::ofstream(path, std::ios::app) << "another writer\n";
    TraceMessage("second\n");
    std::string text = ReadAll(path);
    std::regex order("^kept from before\n[^\n]*\\]: first\nanother writer\n[^\n]*\\]: second\n$");
    EXPECT_TRUE(std::regex_match(text, order)) << text;
}

// A small cap: the file rolls over to NAME.1 at the end of the line that reaches it, only one
// older file is kept, and the new file starts with a line that says so.
TEST(Trace, FileRollsOverToDotOneAtItsCap)
{
    const std::string path = ::testing::TempDir() + "dulvex_trace_cap.log";
    const std::string old = path + ".1";
    remove(path.c_str());
    remove(old.c_str());
    ASSERT_TRUE(OpenTrace(path.c_str()));
    const unsigned long cap = 400;
    SetTraceCap(cap);
    for (int i = 0; i < 30; ++i) {
        TraceMessage("line %02d in ", i);
        TraceMessage("two pieces\n");
    }
    TraceMessage("last line\n");
    SetTraceCap(TRACE_CAP_DEFAULT);
    std::string now = ReadAll(path);
    std::string before = ReadAll(old);
    EXPECT_EQ(std::string::npos, before.find("line 00")) << "only one older file is kept";
    EXPECT_NE(std::string::npos, (before + now).find("line 29 in two pieces\n"));
    EXPECT_NE(std::string::npos, now.find("last line\n")) << now;
    // Each file holds whole lines only, and the older one its cap and less than one more line.
    for (const std::string* text : {&now, &before}) {
        ASSERT_FALSE(text->empty());
        EXPECT_EQ('\n', text->back());
    }
    std::ifstream in(old, std::ios::binary | std::ios::ate);
    long size = static_cast<long>(in.tellg());
    EXPECT_GE(size, static_cast<long>(cap));
    EXPECT_LT(size, static_cast<long>(cap) + 100);
    std::string first = before.substr(0, before.find('\n'));
    EXPECT_NE(std::string::npos, first.find("]: Trace: " + path + " reached ")) << first;
    EXPECT_NE(std::string::npos, first.find(" bytes; rolled over to " + old)) << first;
    EXPECT_EQ(0u, now.find(now.substr(0, now.find('\n'))));
    EXPECT_NE(std::string::npos, now.substr(0, now.find('\n')).find("rolled over to " + old));
}

// A file that an earlier run left far above its cap, past what 32 bits count (sparse: it takes no
// room), rolls over when the trace opens it, before any line is written.
TEST(Trace, FileAboveItsCapRollsOverAtOpenWhateverItsSize)
{
    const std::string path = ::testing::TempDir() + "dulvex_trace_big.log";
    const std::string old = path + ".1";
    const long long big = 2100LL * 1024 * 1024;
    remove(path.c_str());
    remove(old.c_str());
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, fseeko64(f, big - 1, SEEK_SET));
    fputc('\n', f);
    fclose(f);
    ASSERT_TRUE(OpenTrace(path.c_str()));
    std::ifstream in(old, std::ios::binary | std::ios::ate);
    EXPECT_EQ(big, static_cast<long long>(in.tellg()));
    std::string now = ReadAll(path);
    EXPECT_NE(std::string::npos,
              now.find("]: Trace: " + path + " reached " + std::to_string(big) + " bytes; rolled over to " + old))
        << now;
    in.close();
    remove(path.c_str());
    remove(old.c_str());
}

TEST(Trace, StandardErrorLinesHaveIdsButNoTime)
{
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(OpenTrace("-"));
    TraceMessage("to stderr %d\n", 42);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex(R"(\[0x[0-9a-f]{8}-0x[0-9a-f]{8}\]: to stderr 42\n)"))) << err;
}

TEST(Trace, HeldConsoleLinesComeOutWholeAndInOrderWhenReleased)
{
    ASSERT_TRUE(OpenTrace("-"));
    ::testing::internal::CaptureStderr();
    TraceHold(true);
    TraceMessage("first %d,", 1);
    TraceMessage(" end\n");
    TraceMessage("second\n");
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr()) << "held lines wait for the release";
    ::testing::internal::CaptureStderr();
    TraceHold(false);
    TraceMessage("after\n");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex(R"(\[0x[0-9a-f]{8}-0x[0-9a-f]{8}\]: first 1, end\n)"
                                                 R"(\[0x[0-9a-f]{8}-0x[0-9a-f]{8}\]: second\n)"
                                                 R"(\[0x[0-9a-f]{8}-0x[0-9a-f]{8}\]: after\n)")))
        << err;
}

TEST(Trace, EventTextLongerThanBufferIsCutNotOverrun)
{
    ConsoleDebug = false;  // detached: the text also goes to the event record path
    std::string big(5000, 'x');
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(LogMessage("%s\n", big.c_str()));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(big)) << "the trace itself is not cut";
    ConsoleDebug = true;
}

}  // namespace
