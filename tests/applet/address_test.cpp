#include "address.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(CheckAddressText, CountsFieldsOfCompleteAndShortAddresses)
{
    EXPECT_EQ(4, CheckAddressText("192.168.1.20"));
    EXPECT_EQ(4, CheckAddressText("0.0.0.0"));
    EXPECT_EQ(4, CheckAddressText("255.255.255.255"));
    EXPECT_EQ(3, CheckAddressText("10.0.0"));
    EXPECT_EQ(3, CheckAddressText("10.0.0."));
    EXPECT_EQ(1, CheckAddressText("7"));
    EXPECT_EQ(0, CheckAddressText(""));
    EXPECT_EQ(0, CheckAddressText(nullptr));
}

TEST(CheckAddressText, StopsAtEmptyFields)
{
    EXPECT_EQ(0, CheckAddressText(".1.2.3"));
    EXPECT_EQ(2, CheckAddressText("1.2..4"));
    EXPECT_EQ(1, CheckAddressText("1..3.4"));
    EXPECT_EQ(0, CheckAddressText("..."));
}

TEST(CheckAddressText, StopsAtFieldsAbove255)
{
    EXPECT_EQ(3, CheckAddressText("1.2.3.256"));
    EXPECT_EQ(0, CheckAddressText("256.1.1.1"));
    EXPECT_EQ(2, CheckAddressText("1.2.999.4"));
    // Leading zeros keep the value small and are taken as the control shows them.
    EXPECT_EQ(4, CheckAddressText("001.002.003.255"));
}

TEST(CheckAddressText, LongFieldsStopWithoutOverflow)
{
    // Twelve and more digits would wrap a 32-bit value built digit by digit; some wraps land
    // between 0 and 255 again (4294967296 + 7 wraps to 7).
    EXPECT_EQ(3, CheckAddressText("1.2.3.4294967303"));
    EXPECT_EQ(0, CheckAddressText("4294967303.1.1.1"));
    EXPECT_EQ(0, CheckAddressText("9999999999999999999"));
    EXPECT_EQ(1, CheckAddressText("1.99999999999999999"));
    // A value that passes 255 and comes back under it through the digit arithmetic may not
    // count: 2560 is past 255 before its last digit.
    EXPECT_EQ(0, CheckAddressText("0000000000000000256"));
}

TEST(CheckAddressText, ReadsNoFurtherThanNineteenCharacters)
{
    // The 19th character completes the fourth field; text after it is never looked at.
    EXPECT_EQ(4, CheckAddressText("000000001.002.003.4"));
    EXPECT_EQ(3, CheckAddressText("0000000001.002.003.4"));
    // Not NUL-terminated within the first 19 bytes: nothing past them is read (ASan checks).
    char unterminated[ADDR_CHECK_CHARS];
    memset(unterminated, '1', sizeof unterminated);
    unterminated[1] = '.';
    unterminated[3] = '.';
    unterminated[5] = '.';
    EXPECT_EQ(3, CheckAddressText(unterminated));
}

TEST(CheckAddressText, NonDigitsEndTheField)
{
    // Taken as digits, 'a' would count 49 and '/' minus one.
    EXPECT_EQ(3, CheckAddressText("1.2.3.a"));
    EXPECT_EQ(0, CheckAddressText("/.1.2.3"));
    EXPECT_EQ(2, CheckAddressText("1.2.3 .4"));
    EXPECT_EQ(0, CheckAddressText("-1.2.3.4"));
    EXPECT_EQ(0, CheckAddressText(" 1.2.3.4"));
    // A field runs to the next "." or the end, so a letter after the last digit spoils it.
    EXPECT_EQ(3, CheckAddressText("1.2.3.4x"));
}

TEST(CheckAddressText, TextAfterTheFourthFieldIsNotExamined)
{
    EXPECT_EQ(4, CheckAddressText("1.2.3.4.5"));
    EXPECT_EQ(4, CheckAddressText("1.2.3.4.999999"));
}

TEST(ParseAddressText, SplitsExactAddresses)
{
    uint8_t f[4] = {9, 9, 9, 9};
    ASSERT_EQ(1, ParseAddressText("192.168.100.200", f));
    EXPECT_EQ(192, f[0]);
    EXPECT_EQ(168, f[1]);
    EXPECT_EQ(100, f[2]);
    EXPECT_EQ(200, f[3]);
    ASSERT_EQ(1, ParseAddressText("0.0.0.0", f));
    EXPECT_EQ(0, f[0] | f[1] | f[2] | f[3]);
}

TEST(ParseAddressText, RefusesAnythingElseAndLeavesFieldsAlone)
{
    const char* bad[] = {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "1.2.3.4 ", "1.2.3.256",
                         "1.2..4", "a.b.c.d", "1.2.3.99999999999"};
    for (const char* text : bad) {
        uint8_t f[4] = {7, 7, 7, 7};
        EXPECT_EQ(0, ParseAddressText(text, f)) << text;
        EXPECT_EQ(7, f[0] & f[1] & f[2] & f[3]) << text;
    }
    uint8_t f[4];
    EXPECT_EQ(0, ParseAddressText(nullptr, f));
    EXPECT_EQ(0, ParseAddressText("1.2.3.4", nullptr));
}

TEST(ParseAddressText, ReadsAFullBufferWithoutItsNul)
{
    // A registry value of 16 characters fills the 16-byte buffer without a terminator.
    char full[16];
    memcpy(full, "1.2.3.4567890123", 16);
    uint8_t f[4];
    EXPECT_EQ(0, ParseAddressText(full, f));
    memcpy(full, "255.255.255.2551", 16);
    EXPECT_EQ(0, ParseAddressText(full, f));
}

}  // namespace
