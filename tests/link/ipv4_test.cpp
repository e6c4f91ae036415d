#include "ipv4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<int> Parsed(const char* text)
{
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    if (!ParseIPv4(text, out))
        return {};
    return {out[0], out[1], out[2], out[3]};
}

TEST(ParseIPv4, FourDecimalFields)
{
    EXPECT_EQ((std::vector<int>{192, 168, 1, 20}), Parsed("192.168.1.20"));
    EXPECT_EQ((std::vector<int>{127, 0, 0, 1}), Parsed("127.0.0.1"));
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), Parsed("0.0.0.0"));
    EXPECT_EQ((std::vector<int>{255, 255, 255, 255}), Parsed("255.255.255.255"));
    EXPECT_EQ((std::vector<int>{198, 18, 0, 2}), Parsed("198.18.0.2"));
}

TEST(ParseIPv4, RefusesEverythingElseAndLeavesOutAlone)
{
    const char* bad[] = {
        "", "terminal", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1.2.3.4 ", " 1.2.3.4", "1..2.3",
        "1.2.3.", ".1.2.3", "1.2.3.-4", "+1.2.3.4", "0x1.2.3.4", "1.2.3.4x", "1234.1.1.1", "1.2.3.4\n",
        "1,2,3,4", "999.999.999.999", "1.2.3.0004",
        // Leading zeros: the platform's converter reads them as octal, so such a text would name
        // another host there.
        "010.0.0.1", "10.0.0.01", "00.0.0.0",
    };
    for (const char* text : bad) {
        uint8_t out[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        EXPECT_FALSE(ParseIPv4(text, out)) << '"' << text << '"';
        EXPECT_EQ(0xAA, out[0]);
        EXPECT_EQ(0xDD, out[3]);
    }
    uint8_t out[4] = {};
    EXPECT_FALSE(ParseIPv4(nullptr, out));
}

TEST(ParseIPv4, SixteenByteBufferWithoutItsNulIsNotOverrun)
{
    // Exactly 16 bytes on the heap: a read of byte 16 is caught by AddressSanitizer.
    const char* texts[] = {"255.255.255.2555", "111.111.111.1111", "1.1.1.1.........", "0000000000000000"};
    for (const char* text : texts) {
        char* buf = new char[16];
        memcpy(buf, text, 16);
        uint8_t out[4];
        EXPECT_FALSE(ParseIPv4(buf, out)) << text;
        delete[] buf;
    }
    char* buf = new char[16];
    memcpy(buf, "255.255.255.255", 16);
    uint8_t out[4];
    EXPECT_TRUE(ParseIPv4(buf, out));
    delete[] buf;
}

TEST(IsHostIPv4, RefusesAnyMulticastAndBroadcast)
{
    const uint8_t any[4] = {0, 0, 0, 0};
    const uint8_t broadcast[4] = {255, 255, 255, 255};
    const uint8_t multicast[4] = {224, 0, 0, 1};
    const uint8_t lastUnicast[4] = {223, 255, 255, 255};
    const uint8_t loopback[4] = {127, 0, 0, 1};
    const uint8_t net[4] = {10, 0, 0, 0};
    EXPECT_FALSE(IsHostIPv4(any));
    EXPECT_FALSE(IsHostIPv4(broadcast));
    EXPECT_FALSE(IsHostIPv4(multicast));
    EXPECT_TRUE(IsHostIPv4(lastUnicast));
    EXPECT_TRUE(IsHostIPv4(loopback));
    EXPECT_TRUE(IsHostIPv4(net));
}

}  // namespace
