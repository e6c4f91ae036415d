// Command-line splitting, option recognition, banner and key folding: the host's plain code.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cmdline.h"
#include "console_keys.h"

namespace {

struct Split {
    std::vector<char> Block;
    char** Args = nullptr;
    int Count = -1;
};

// Splits into a block sized exactly as the runner sizes it, guarded by a canary after its end
// so that a write past the computed size shows up (ASan sees it natively as well).
void SplitText(const char* text, Split* s)
{
    size_t size = SplitBlockSize(strlen(text));
    s->Block.assign(size + sizeof(char*) + 16, '\x5A');
    s->Args = SplitIntoBlock(text, s->Block.data(), &s->Count);
    for (size_t i = size; i < s->Block.size(); ++i)
        ASSERT_EQ('\x5A', s->Block[i]) << "write past the block at " << i << " for '" << text << "'";
}

std::vector<std::string> Words(const Split& s)
{
    std::vector<std::string> out;
    for (int i = 0; i < s.Count; ++i)
        out.push_back(s.Args[i]);
    return out;
}

using V = std::vector<std::string>;

TEST(SplitCommandLineCore, QuotedPathWithBlankAndTraceOption)
{
    Split s;
    SplitText("\"C:\\Program Files\\Dulvex\\DulvexSrv.exe\" -logfile=C:\\t.log", &s);
    EXPECT_EQ(2, s.Count);
    EXPECT_EQ((V{"C:\\Program Files\\Dulvex\\DulvexSrv.exe", "-logfile=C:\\t.log"}), Words(s));
    EXPECT_EQ(nullptr, s.Args[2]);
}

TEST(SplitCommandLineCore, EmptyAndBlankTextsGiveNoArguments)
{
    for (const char* text : {"", " ", "   \t\r\n  "}) {
        Split s;
        SplitText(text, &s);
        EXPECT_EQ(0, s.Count) << "'" << text << "'";
        EXPECT_EQ(nullptr, s.Args[0]);
    }
}

TEST(SplitCommandLineCore, SeparatorsNeverMakeEmptyArguments)
{
    Split s;
    SplitText("  a\t\tb \r\n c  ", &s);
    EXPECT_EQ((V{"a", "b", "c"}), Words(s));
    EXPECT_EQ(nullptr, s.Args[3]);
}

TEST(SplitCommandLineCore, EmptyQuotesGiveEmptyArguments)
{
    Split s;
    SplitText("a \"\" b \"\"", &s);
    EXPECT_EQ((V{"a", "", "b", ""}), Words(s));
}

TEST(SplitCommandLineCore, QuotesJoinAnywhereAndAreDropped)
{
    Split s;
    SplitText("ab\"c d\"e \"x\"\"y\" pre\"\"post", &s);
    EXPECT_EQ((V{"abc de", "xy", "prepost"}), Words(s));
}

TEST(SplitCommandLineCore, QuotedStretchKeepsTabsAndLineBreaks)
{
    Split s;
    SplitText("\"a\tb\r\nc\" d", &s);
    EXPECT_EQ((V{"a\tb\r\nc", "d"}), Words(s));
}

TEST(SplitCommandLineCore, UnclosedQuoteRunsToTheEnd)
{
    Split s;
    SplitText("x \"open  to the end ", &s);
    EXPECT_EQ((V{"x", "open  to the end "}), Words(s));
}

TEST(SplitCommandLineCore, BackslashesAreOrdinary)
{
    Split s;
    SplitText("a\\\"b c\\\" \\\\server\\share\\ d", &s);
    // The quote after a backslash still opens a quoted stretch; the backslash stays.
    EXPECT_EQ((V{"a\\b c\\", "\\\\server\\share\\", "d"}), Words(s));
}

TEST(SplitCommandLineCore, HighBytesAreArgumentCharacters)
{
    Split s;
    SplitText("\xE4\xF6 \x80\xFF", &s);
    EXPECT_EQ((V{"\xE4\xF6", "\x80\xFF"}), Words(s));
}

TEST(SplitCommandLineCore, WorstCaseDensityStaysWithinTheBlock)
{
    // One-character arguments and empty quoted ones use the most pointers and terminators
    // per character; the canary in SplitText catches any overrun.
    std::string many;
    for (int i = 0; i < 101; ++i)
        many += "a ";
    Split s;
    SplitText(many.c_str(), &s);
    EXPECT_EQ(101, s.Count);
    EXPECT_EQ(nullptr, s.Args[101]);

    std::string quotes;
    for (int i = 0; i < 50; ++i)
        quotes += "\"\" ";
    Split q;
    SplitText(quotes.c_str(), &q);
    EXPECT_EQ(50, q.Count);
    EXPECT_STREQ("", q.Args[49]);

    Split single;
    SplitText("a", &single);
    EXPECT_EQ((V{"a"}), Words(single));
}

TEST(SplitCommandLineCore, CountIsOptional)
{
    const char* text = "one two";
    std::vector<char> block(SplitBlockSize(strlen(text)) + 8);
    char** args = SplitIntoBlock(text, block.data(), nullptr);
    EXPECT_STREQ("one", args[0]);
    EXPECT_STREQ("two", args[1]);
    EXPECT_EQ(nullptr, args[2]);
}

TEST(SplitCommandLineCore, BlockSizes)
{
    EXPECT_EQ(2u, SplitPointerSlots(0));
    EXPECT_EQ(2u, SplitCharSlots(0));
    EXPECT_EQ(4u, SplitPointerSlots(5));
    EXPECT_EQ(7u, SplitCharSlots(5));
    EXPECT_EQ(4 * sizeof(char*) + 7, SplitBlockSize(5));
}

RunOption Match(std::vector<const char*> args)
{
    std::vector<char*> argv;
    for (const char* a : args)
        argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    return MatchRunOption(static_cast<int>(args.size()), argv.data());
}

TEST(RunOptions, PrefixAndCaseFolding)
{
    EXPECT_EQ(OPTION_INSTALL, Match({"srv", "-install"}));
    EXPECT_EQ(OPTION_INSTALL, Match({"srv", "/INSTALL"}));
    EXPECT_EQ(OPTION_INSTALL, Match({"srv", "-Install"}));
    EXPECT_EQ(OPTION_REMOVE, Match({"srv", "/remove"}));
    EXPECT_EQ(OPTION_DEBUG, Match({"srv", "-debug", "-logfile=x.log"}));
    EXPECT_EQ(OPTION_WIN9X, Match({"srv", "-WIN9X"}));
}

TEST(RunOptions, NearMissesSelectNothing)
{
    EXPECT_EQ(OPTION_NONE, Match({"srv"}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", "-installx"}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", "--install"}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", "install"}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", "-instal"}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", "-"}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", ""}));
    EXPECT_EQ(OPTION_NONE, Match({"srv", "-unknown"}));
    // Only ASCII letters fold: a Latin-1 capital is not an 'i'.
    EXPECT_EQ(OPTION_NONE, Match({"srv", "-\xCDnstall"}));
}

TEST(RunOptions, OnlyTheFirstArgumentCounts)
{
    EXPECT_EQ(OPTION_NONE, Match({"srv", "-logfile=x", "-install"}));
    EXPECT_EQ(OPTION_NONE, Match({"-install"}));
    EXPECT_EQ(OPTION_NONE, MatchRunOption(0, nullptr));
}

std::vector<std::string> Lines(const char* text)
{
    std::vector<std::string> out;
    std::string cur;
    for (const char* p = text; *p; ++p) {
        cur += *p;
        if (*p == '\n') {
            out.push_back(cur);
            cur.clear();
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

TEST(Banner, NamesTheRealCompilerAndProcessor)
{
    char buf[512];
    int n = FormatBanner(buf, sizeof buf);
    ASSERT_GT(n, 0);
    ASSERT_LT(n, static_cast<int>(sizeof buf));
    std::vector<std::string> lines = Lines(buf);
    ASSERT_EQ(4u, lines.size()) << buf;
#if defined(__x86_64__)
    EXPECT_EQ("Platform:  Windows NT (AMD64)\n", lines[0]);
#elif defined(__i386__)
    EXPECT_EQ("Platform:  Windows NT (INTEL)\n", lines[0]);
#endif
    // "Built On:  Mmm dd yyyy hh:mm:ss"
    const std::string& built = lines[1];
    ASSERT_EQ(strlen("Built On:  Jul 26 2012 09:28:59\n"), built.size()) << built;
    EXPECT_EQ(0u, built.find("Built On:  "));
    EXPECT_EQ(' ', built[14]);
    EXPECT_EQ(' ', built[17]);
    EXPECT_EQ(' ', built[22]);
    EXPECT_EQ(':', built[25]);
    EXPECT_EQ(':', built[28]);
#if defined(__GNUC__) && !defined(__clang__)
    EXPECT_EQ(std::string("Compiler:  GCC ") + __VERSION__ + "\n", lines[2]);
#endif
    EXPECT_EQ(std::string::npos, lines[2].find("Microsoft"));
    EXPECT_EQ("\n", lines[3]);
}

TEST(Banner, UsageNamesTheService)
{
    char buf[512];
    FormatUsage(buf, sizeof buf);
    EXPECT_STREQ("DulvexService -install          to install the service\n"
                 "DulvexService -remove           to remove the service\n"
                 "DulvexService -debug <params>   to run as a console app for debugging\n"
                 "DulvexService -log <file_name>  to log into (service or debug)\n"
                 "DulvexService -commlog=<file_name> to log every message and datagram into (support only)\n",
                 buf);
}

TEST(Banner, ShortBufferIsCutNotOverrun)
{
    char buf[16];
    memset(buf, 'x', sizeof buf);
    int n = FormatUsage(buf, 10);
    EXPECT_GT(n, 10);
    EXPECT_STREQ("DulvexSer", buf);
    EXPECT_EQ('x', buf[10]);
}

TEST(ConsoleKeyFold, EscapeByVirtualKeyAndLettersUpper)
{
    EXPECT_EQ(0x1B, FoldConsoleKey(0x1B, 0));
    EXPECT_EQ(0x1B, FoldConsoleKey(0x1B, 0x1B));
    EXPECT_EQ('A', FoldConsoleKey('A', 'a'));
    EXPECT_EQ('P', FoldConsoleKey('P', 'P'));
    EXPECT_EQ('C', FoldConsoleKey('C', 'c'));
    EXPECT_EQ('1', FoldConsoleKey('1', '1'));
    // Shift, arrows and other keys without a character give nothing.
    EXPECT_EQ(0, FoldConsoleKey(0x10, 0));
    EXPECT_EQ(0, FoldConsoleKey(0x26, 0));
    // High characters pass unchanged and are never negative.
    EXPECT_EQ(0xE4, FoldConsoleKey(0, '\xE4'));
}

} // namespace
