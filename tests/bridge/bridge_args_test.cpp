#include "bridge_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(MatchOptionPrefix, CaseFoldedAndNeedsSomethingAfterThePrefix)
{
    EXPECT_STREQ("trace.log", MatchOptionPrefix("logfile=trace.log", "logfile="));
    EXPECT_STREQ("X", MatchOptionPrefix("LogFILE=X", "logfile="));
    EXPECT_EQ(nullptr, MatchOptionPrefix("logfile=", "logfile=")) << "nothing after the prefix";
    EXPECT_EQ(nullptr, MatchOptionPrefix("logfil", "logfile="));
    EXPECT_EQ(nullptr, MatchOptionPrefix("logfiles=x", "logfile="));
    EXPECT_EQ(nullptr, MatchOptionPrefix("", "logfile="));
    EXPECT_EQ(nullptr, MatchOptionPrefix(nullptr, "logfile="));
    // Only A to Z fold: '[' (0x5B) is not the lower-case '{' of anything.
    EXPECT_EQ(nullptr, MatchOptionPrefix("[x", "{"));
}

TEST(TraceNameFromArgs, FirstMatchAfterDashOrSlashWins)
{
    char prog[] = "DulvexSrv.exe", empty[] = "-logfile=", slash[] = "/LOGFILE=c:\\t.log", dash[] = "-logfile=second";
    char* argv[] = {prog, empty, slash, dash};
    EXPECT_STREQ("c:\\t.log", TraceNameFromArgs(4, argv, false)) << "an empty value is skipped, the search goes on";

    char bare[] = "logfile=nodash";
    char* noOption[] = {prog, bare};
    EXPECT_EQ(nullptr, TraceNameFromArgs(2, noOption, false)) << "the service stays silent";
    EXPECT_STREQ("-", TraceNameFromArgs(2, noOption, true)) << "console mode traces to standard error";

    char stderrName[] = "-logfile=-";
    char* toStderr[] = {prog, stderrName};
    EXPECT_STREQ("-", TraceNameFromArgs(2, toStderr, false)) << "\"-\" selects standard error in any mode";

    char self[] = "-logfile=prog.log";
    char* programItself[] = {self};
    EXPECT_STREQ("prog.log", TraceNameFromArgs(1, programItself, false)) << "the program name is searched too";
    EXPECT_EQ(nullptr, TraceNameFromArgs(0, nullptr, false));
}

// The usage text announces "-log <file_name>": that form works beside "-logfile=NAME".
TEST(TraceNameFromArgs, LogWithTheNameAsTheNextArgument)
{
    const struct {
        std::vector<std::string> Args;
        const char* Name;  // nullptr: none chosen
    } cases[] = {
        {{"DulvexSrv.exe", "-debug", "-log", "trace.log"}, "trace.log"},
        {{"DulvexSrv.exe", "/LOG", "c:\\t.log"}, "c:\\t.log"},
        {{"DulvexSrv.exe", "-log", "a.log", "-logfile=b.log"}, "a.log"},
        {{"DulvexSrv.exe", "-logfile=b.log", "-log", "a.log"}, "b.log"},
        {{"DulvexSrv.exe", "-log", "-"}, "-"},
        {{"DulvexSrv.exe", "-log"}, nullptr},
        {{"DulvexSrv.exe", "-log", "", "-log", "c.log"}, "c.log"},
        {{"DulvexSrv.exe", "-logs", "a.log"}, nullptr},
        {{"DulvexSrv.exe", "-lo", "a.log"}, nullptr},
        {{"DulvexSrv.exe", "log", "a.log"}, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> copy = c.Args;
        std::vector<char*> argv;
        for (std::string& a : copy)
            argv.push_back(&a[0]);
        const char* got = TraceNameFromArgs(static_cast<unsigned>(argv.size()), argv.data(), false);
        std::string shown;
        for (const std::string& a : c.Args)
            shown += " '" + a + "'";
        if (c.Name == nullptr)
            EXPECT_EQ(nullptr, got) << shown;
        else
            EXPECT_STREQ(c.Name, got) << shown;
    }
}

TEST(CommLogNameFromArgs, FirstNonEmptyOptionAfterDashOrSlash)
{
    const struct {
        std::vector<std::string> Args;
        const char* Name;  // nullptr: none chosen
    } cases[] = {
        {{"DulvexSrv.exe", "-debug", "-commlog=c:\\comm.log"}, "c:\\comm.log"},
        {{"DulvexSrv.exe", "/COMMLOG=a.log", "-commlog=b.log"}, "a.log"},
        {{"DulvexSrv.exe", "-commlog=", "-commlog=b.log"}, "b.log"},
        {{"DulvexSrv.exe", "commlog=a.log", "-commlog", "b.log", "-logfile=t.log"}, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> copy = c.Args;
        std::vector<char*> argv;
        for (std::string& a : copy)
            argv.push_back(&a[0]);
        const char* got = CommLogNameFromArgs(static_cast<unsigned>(argv.size()), argv.data());
        if (c.Name == nullptr)
            EXPECT_EQ(nullptr, got) << c.Args[1];
        else
            EXPECT_STREQ(c.Name, got) << c.Args[1];
    }
    EXPECT_EQ(nullptr, CommLogNameFromArgs(0, nullptr));
}

}  // namespace
