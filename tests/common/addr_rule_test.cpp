#include "addr_rule.h"
#include "config_value.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Case {
    std::string Text;
    std::string Verdict;
    int Line;
};

// The table every checker of the address is tested against.
std::vector<Case> ReadTable()
{
    std::vector<Case> cases;
    FILE* f = fopen(ADDR_TABLE_PATH, "rb");
    if (f == nullptr)
        return cases;
    char line[256];
    for (int number = 1; fgets(line, sizeof line, f) != nullptr; ++number) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        size_t tab = s.rfind('\t');
        if (s.empty() || s[0] == '#' || tab == std::string::npos)
            continue;
        cases.push_back({s.substr(0, tab), s.substr(tab + 1), number});
    }
    fclose(f);
    return cases;
}

TEST(AddrRule, EveryCaseOfTheTableGetsItsVerdict)
{
    std::vector<Case> cases = ReadTable();
    ASSERT_GE(cases.size(), 50u) << "table " << ADDR_TABLE_PATH << " not read";
    std::vector<bool> seen(ADDR_RULE_COUNT);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "line " << c.Line << ": \"" << c.Text << "\"");
        AddrRule want = AddrRuleFromName(c.Verdict.c_str());
        ASSERT_NE(ADDR_RULE_COUNT, want) << "unknown verdict " << c.Verdict;
        seen[want] = true;
        uint8_t out[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        AddrRule got = JudgeAddr(c.Text.c_str(), out);
        EXPECT_STREQ(c.Verdict.c_str(), AddrRuleName(got));
        if (got == ADDR_USABLE) {
            char back[16];
            snprintf(back, sizeof back, "%u.%u.%u.%u", out[0], out[1], out[2], out[3]);
            EXPECT_EQ(c.Text, back);
        } else {
            EXPECT_EQ(0xAA, out[0]);
            EXPECT_EQ(0xDD, out[3]);
        }
    }
    for (int r = 0; r < ADDR_RULE_COUNT; ++r)
        EXPECT_TRUE(seen[r]) << "no case for " << AddrRuleName(static_cast<AddrRule>(r));
}

// The registry reader takes exactly what the rule accepts, and names the rule otherwise.
TEST(AddrRule, RegistryReaderTakesExactlyTheUsableCases)
{
    for (const Case& c : ReadTable()) {
        SCOPED_TRACE(testing::Message() << "line " << c.Line << ": \"" << c.Text << "\"");
        char addr[CONFIG_ADDR_SIZE];
        ConfigSetDefault(addr);
        char note[CONFIG_NOTE_SIZE];
        unsigned char data[CONFIG_ADDR_SIZE] = {};
        size_t n = c.Text.size() < sizeof data ? c.Text.size() + 1 : sizeof data;
        memcpy(data, c.Text.c_str(), n);
        int verdict = ConfigTakeValue(CONFIG_QUERY_OK, CONFIG_TYPE_STRING, data, n, addr, note, sizeof note);
        if (c.Verdict == "ok") {
            EXPECT_EQ(CONFIG_VALUE_TAKEN, verdict);
            EXPECT_EQ(c.Text, addr);
        } else {
            EXPECT_EQ(CONFIG_VALUE_BAD, verdict);
            EXPECT_STREQ(CONFIG_DEFAULT_ADDR, addr);
            if (c.Text.size() < CONFIG_ADDR_SIZE) {
                std::string rule = AddrRuleText(AddrRuleFromName(c.Verdict.c_str()));
                EXPECT_EQ(rule, std::string(note).substr(std::string(note).size() - rule.size())) << note;
            }
        }
    }
}

TEST(AddrRule, ControlCharactersAndNoText)
{
    EXPECT_EQ(ADDR_EMPTY, JudgeAddr(nullptr, nullptr));
    EXPECT_EQ(ADDR_NOT_DIGIT, JudgeAddr("1.2.3.4\n", nullptr));
    EXPECT_EQ(ADDR_NOT_DIGIT, JudgeAddr("1.2.3.4\t", nullptr));
    EXPECT_EQ(ADDR_NOT_DIGIT, JudgeAddr("1.2.3.\xB9", nullptr));
    EXPECT_EQ(ADDR_USABLE, JudgeAddr("1.2.3.4", nullptr));
}

TEST(AddrRule, SixteenByteBufferWithoutItsNulIsNotOverrun)
{
    // Exactly 16 bytes on the heap: a read of byte 16 is caught by AddressSanitizer.
    const char* texts[] = {"255.255.255.2555", "111.111.111.1111", "1.1.1.1.........", "0000000000000000"};
    for (const char* text : texts) {
        char* buf = new char[16];
        memcpy(buf, text, 16);
        EXPECT_EQ(ADDR_TOO_LONG, JudgeAddr(buf, nullptr)) << text;
        delete[] buf;
    }
    char* buf = new char[16];
    memcpy(buf, "223.255.255.255", 16);
    EXPECT_EQ(ADDR_USABLE, JudgeAddr(buf, nullptr));
    delete[] buf;
}

TEST(AddrRule, NamesTextsAndMessages)
{
    for (int r = 0; r < ADDR_RULE_COUNT; ++r) {
        AddrRule rule = static_cast<AddrRule>(r);
        EXPECT_EQ(rule, AddrRuleFromName(AddrRuleName(rule)));
        EXPECT_EQ(r == ADDR_USABLE, AddrRuleText(rule)[0] == '\0');
    }
    EXPECT_EQ(ADDR_RULE_COUNT, AddrRuleFromName("OK"));
    EXPECT_EQ(nullptr, AddrRuleName(ADDR_RULE_COUNT));

    char msg[160];
    AddrRuleMessage(msg, sizeof msg, "0.0.0.0", ADDR_UNSPECIFIED);
    EXPECT_STREQ("The terminal address \"0.0.0.0\" is 0.0.0.0, which names no host.", msg);
    // What was typed is shown safely and never past the rule's reach.
    AddrRuleMessage(msg, sizeof msg, "1.2\n\"\\", ADDR_NOT_DIGIT);
    EXPECT_STREQ("The terminal address \"1.2\\x0A\\x22\\x5C\" holds a character other than digits and dots.", msg);
    AddrRuleMessage(msg, sizeof msg, "12345678901234567890", ADDR_TOO_LONG);
    EXPECT_STREQ("The terminal address \"1234567890123456\" is longer than 15 characters.", msg);
    // A small buffer is cut and still terminated.
    EXPECT_EQ(9u, AddrRuleMessage(msg, 10, "1.2.3.4", ADDR_USABLE));
    EXPECT_STREQ("The termi", msg);
}

}  // namespace
