// The client library's message layout, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dulvex_client.h"

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, int n) { return std::vector<uint8_t>(p, p + (n > 0 ? n : 0)); }

TEST(ClientEncode, PacketWithoutStatus)
{
    uint8_t out[700];
    const uint8_t data[] = {0x41, 0x42};
    int n = DulvexEncodePacket(out, sizeof out, 0x05, 0x1234, 0x9999, data, 2);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(Bytes(out, n), (std::vector<uint8_t>{0x05, 0x12, 0x34, 0x41, 0x42}));
    n = DulvexEncodePacket(out, sizeof out, 0x1F, 0x0010, 0, nullptr, 0);
    EXPECT_EQ(Bytes(out, n), (std::vector<uint8_t>{0x1F, 0x00, 0x10}));
}

TEST(ClientEncode, ResponseCarriesStatus)
{
    uint8_t out[16];
    int n = DulvexEncodePacket(out, sizeof out, 0x01, 0x8000, 0x0007, nullptr, 0);
    EXPECT_EQ(Bytes(out, n), (std::vector<uint8_t>{0x01, 0x80, 0x00, 0x00, 0x07}));
    const uint8_t data[] = {0xFF};
    n = DulvexEncodePacket(out, sizeof out, 0x08, 0xABCD, 0x1234, data, 1);
    EXPECT_EQ(Bytes(out, n), (std::vector<uint8_t>{0x08, 0xAB, 0xCD, 0x12, 0x34, 0xFF}));
}

TEST(ClientEncode, LimitsOfOneMessage)
{
    std::vector<uint8_t> data(600, 0x5A);
    uint8_t out[700];
    EXPECT_EQ(DulvexEncodePacket(out, sizeof out, 0x01, 0x0001, 0, data.data(), 597), 600);
    EXPECT_EQ(DulvexEncodePacket(out, sizeof out, 0x01, 0x0001, 0, data.data(), 598), DULVEX_E_TOO_LONG);
    EXPECT_EQ(DulvexEncodePacket(out, sizeof out, 0x01, 0x8001, 0, data.data(), 595), 600);
    EXPECT_EQ(DulvexEncodePacket(out, sizeof out, 0x01, 0x8001, 0, data.data(), 596), DULVEX_E_TOO_LONG);
    // The caller's buffer is respected too.
    EXPECT_EQ(DulvexEncodePacket(out, 4, 0x01, 0x0001, 0, data.data(), 2), DULVEX_E_TOO_LONG);
    EXPECT_EQ(DulvexEncodePacket(out, 5, 0x01, 0x0001, 0, data.data(), 2), 5);
    EXPECT_EQ(DulvexEncodePacket(out, sizeof out, 0x00, 0x0001, 0, data.data(), 2), DULVEX_E_ARGUMENT);
    EXPECT_EQ(DulvexEncodePacket(out, sizeof out, 0x01, 0x0001, 0, nullptr, 2), DULVEX_E_ARGUMENT);
    EXPECT_EQ(DulvexEncodePacket(nullptr, 0, 0x01, 0x0001, 0, nullptr, 0), DULVEX_E_ARGUMENT);
}

TEST(ClientEncode, CaptureRecord)
{
    uint8_t out[700];
    int n = DulvexEncodeCapture(out, sizeof out, 0x5F5E1000, 999, "hi", 2);
    EXPECT_EQ(Bytes(out, n),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x5F, 0x5E, 0x10, 0x00, 0x00, 0x00, 0x03, 0xE7, 'h', 'i'}));
    std::vector<char> text(600, 'x');
    EXPECT_EQ(DulvexEncodeCapture(out, sizeof out, 1, 2, text.data(), 589), 600);
    EXPECT_EQ(DulvexEncodeCapture(out, sizeof out, 1, 2, text.data(), 590), DULVEX_E_TOO_LONG);
    EXPECT_EQ(DulvexEncodeCapture(out, 10, 1, 2, nullptr, 0), DULVEX_E_TOO_LONG);
    EXPECT_EQ(DulvexEncodeCapture(out, 11, 1, 2, nullptr, 0), 11);
    EXPECT_EQ(DulvexEncodeCapture(out, sizeof out, 1, 2, nullptr, 3), DULVEX_E_ARGUMENT);
}

TEST(ClientDecode, MessagesFromTheService)
{
    DulvexMessage msg;
    memset(&msg, 0xCC, sizeof msg);
    const uint8_t echo[] = {0x08, 0x80, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(DulvexDecodeMessage(echo, sizeof echo, &msg), 6);
    EXPECT_EQ(msg.Mask, 0x08);
    EXPECT_EQ(msg.Cmd, 0x8000);
    EXPECT_EQ(msg.HasStatus, 1);
    EXPECT_EQ(msg.Status, 0x0000);
    EXPECT_EQ(msg.Len, 1u);
    EXPECT_EQ(msg.Data[0], 0x00);

    const uint8_t plain[] = {0x02, 0x12, 0x34};
    ASSERT_EQ(DulvexDecodeMessage(plain, sizeof plain, &msg), 3);
    EXPECT_EQ(msg.Mask, 0x02);
    EXPECT_EQ(msg.Cmd, 0x1234);
    EXPECT_EQ(msg.HasStatus, 0);
    EXPECT_EQ(msg.Status, 0);
    EXPECT_EQ(msg.Len, 0u);

    std::vector<uint8_t> full(605, 0x77);
    full[0] = 0x10;
    full[1] = 0x80;
    full[2] = 0x01;
    full[3] = 0xBE;
    full[4] = 0xEF;
    ASSERT_EQ(DulvexDecodeMessage(full.data(), 605, &msg), 605);
    EXPECT_EQ(msg.Status, 0xBEEF);
    EXPECT_EQ(msg.Len, 600u);
    EXPECT_EQ(msg.Data[599], 0x77);
}

TEST(ClientDecode, ShortOrOversizedIsRejected)
{
    DulvexMessage msg;
    const uint8_t bytes[610] = {0x01, 0x80, 0x00, 0x00};
    EXPECT_EQ(DulvexDecodeMessage(bytes, 0, &msg), DULVEX_E_PROTOCOL);
    EXPECT_EQ(DulvexDecodeMessage(bytes, 2, &msg), DULVEX_E_PROTOCOL);
    // A response needs its two status bytes.
    EXPECT_EQ(DulvexDecodeMessage(bytes, 3, &msg), DULVEX_E_PROTOCOL);
    EXPECT_EQ(DulvexDecodeMessage(bytes, 4, &msg), DULVEX_E_PROTOCOL);
    EXPECT_EQ(DulvexDecodeMessage(bytes, 5, &msg), 5);
    EXPECT_EQ(DulvexDecodeMessage(bytes, 606, &msg), DULVEX_E_PROTOCOL);
    const uint8_t plain[604] = {0x01, 0x00, 0x01};
    EXPECT_EQ(DulvexDecodeMessage(plain, 603, &msg), 603);
    EXPECT_EQ(DulvexDecodeMessage(plain, 604, &msg), DULVEX_E_PROTOCOL);
    EXPECT_EQ(DulvexDecodeMessage(nullptr, 3, &msg), DULVEX_E_ARGUMENT);
    EXPECT_EQ(DulvexDecodeMessage(bytes, 3, nullptr), DULVEX_E_ARGUMENT);
}

TEST(ClientResult, EveryCodeHasItsOwnText)
{
    EXPECT_STREQ(DulvexResultText(DULVEX_OK), "ok");
    EXPECT_STREQ(DulvexResultText(42), "ok");
    std::vector<std::string> seen;
    for (int code = DULVEX_E_ARGUMENT; code >= DULVEX_E_SYSTEM; --code) {
        std::string text = DulvexResultText(code);
        EXPECT_NE(text, "unknown error") << code;
        for (const std::string& s : seen)
            EXPECT_NE(text, s) << code;
        seen.push_back(text);
    }
    EXPECT_STREQ(DulvexResultText(-99), "unknown error");
}

}  // namespace
