#include "client_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> Encode(const TermPacket& pkt, int app)
{
    uint8_t out[MAX_CLIENT_OUT];
    size_t n = EncodeClientMsg(&pkt, app, out, sizeof out);
    return std::vector<uint8_t>(out, out + n);
}

TEST(AppTable, PortsAndNamesInIndexOrder)
{
    const uint32_t ports[] = {33332, 33334, 33335, 33333, 33336};
    const char* names[] = {"Master", "MBCA", "Maint", "Fleet", "Petro"};
    for (int i = 0; i < APP_COUNT; ++i) {
        EXPECT_EQ(ports[i], AppTable[i].Port);
        EXPECT_STREQ(names[i], AppTable[i].Name);
    }
    EXPECT_EQ(0u, AppTable[APP_COUNT].Port);
    EXPECT_EQ(nullptr, AppTable[APP_COUNT].Name);
}

TEST(DecodeClientMsg, PacketForMasterAndMaint)
{
    const uint8_t msg[] = {0x05, 0x12, 0x34, 0x41, 0x42};
    TermPacket pkt{};
    pkt.Status = 0xBEEF;
    ClientMsg cm{};
    ASSERT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(msg, sizeof msg, &pkt, &cm));
    EXPECT_EQ(0x05, cm.Mask);
    EXPECT_EQ(0x1234u, pkt.Cmd);
    EXPECT_EQ(0xBEEF, pkt.Status) << "a command without the response bit leaves Status alone";
    ASSERT_EQ(2u, pkt.Len);
    EXPECT_EQ(0x41, pkt.Data[0]);
    EXPECT_EQ(0x42, pkt.Data[1]);
}

TEST(DecodeClientMsg, EchoResponseWithStatusAndNoData)
{
    const uint8_t msg[] = {0x01, 0x80, 0x00, 0x00, 0x07};
    TermPacket pkt{};
    ClientMsg cm{};
    ASSERT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(msg, sizeof msg, &pkt, &cm));
    EXPECT_EQ(0x01, cm.Mask);
    EXPECT_EQ(ECHO_RESP, pkt.Cmd);
    EXPECT_EQ(0x0007, pkt.Status);
    EXPECT_EQ(0u, pkt.Len);

    const uint8_t withStatus[] = {0x1F, 0x81, 0x00, 0x12, 0x34, 0xAA};
    ASSERT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(withStatus, sizeof withStatus, &pkt, &cm));
    EXPECT_EQ(0x1234, pkt.Status);
    EXPECT_EQ(1u, pkt.Len);
}

TEST(DecodeClientMsg, HeaderOnlyGivesEmptyData)
{
    const uint8_t msg[] = {0x20, 0x00, 0x10};
    TermPacket pkt{};
    pkt.Len = 99;
    ClientMsg cm{};
    ASSERT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(msg, sizeof msg, &pkt, &cm));
    EXPECT_EQ(0x20, cm.Mask);
    EXPECT_EQ(ACTIVATE, pkt.Cmd);
    EXPECT_EQ(0u, pkt.Len);
}

TEST(DecodeClientMsg, ShorterThanHeaderIsRejectedAndPacketUntouched)
{
    const uint8_t msg[] = {0x01, 0x80, 0x00, 0x12};
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(4)}) {
        TermPacket pkt{};
        pkt.Cmd = 0x4242;
        pkt.Len = 7;
        ClientMsg cm{};
        EXPECT_EQ(CLIENT_MSG_SHORT, DecodeClientMsg(msg, n, &pkt, &cm)) << n;
        EXPECT_EQ(0x4242u, pkt.Cmd);
        EXPECT_EQ(7u, pkt.Len);
    }
    // Three bytes without the response bit are a whole header.
    const uint8_t plain[] = {0x01, 0x00, 0x12};
    TermPacket pkt{};
    ClientMsg cm{};
    EXPECT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(plain, 3, &pkt, &cm));
}

TEST(DecodeClientMsg, CaptureRecordSkipsStatusWhenResponseBitSet)
{
    const uint8_t msg[] = {0x00, 0x80, 0x01, 0xAA, 0xBB, 1, 2, 3, 4, 5, 6, 7, 8, 'h', 'i'};
    TermPacket pkt{};
    pkt.Len = 5;
    ClientMsg cm{};
    ASSERT_EQ(CLIENT_MSG_CAPTURE, DecodeClientMsg(msg, sizeof msg, &pkt, &cm));
    EXPECT_EQ(msg + 5, cm.Capture);
    EXPECT_EQ(10u, cm.CaptureLen);
    EXPECT_EQ(5u, pkt.Len) << "a capture record never becomes a packet";
}

TEST(DecodeClientMsg, LargestMessagesFitAndLargerAreRefused)
{
    std::vector<uint8_t> msg(3 + MAX_PACKET_DATA, 0x5A);
    msg[0] = 0x01;
    msg[1] = 0x00;
    msg[2] = 0x01;
    TermPacket pkt{};
    ClientMsg cm{};
    ASSERT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(msg.data(), msg.size(), &pkt, &cm));
    EXPECT_EQ(MAX_PACKET_DATA, pkt.Len);
    msg.push_back(0);
    EXPECT_EQ(CLIENT_MSG_TOO_LONG, DecodeClientMsg(msg.data(), msg.size(), &pkt, &cm));
}

TEST(EncodeClientMsg, StatusOnlyForResponses)
{
    TermPacket pkt{};
    pkt.Cmd = 0x8123;
    pkt.Status = 0x0456;
    pkt.Len = 2;
    pkt.Data[0] = 0xDE;
    pkt.Data[1] = 0xAD;
    EXPECT_EQ((std::vector<uint8_t>{0x08, 0x81, 0x23, 0x04, 0x56, 0xDE, 0xAD}), Encode(pkt, 3));

    pkt.Cmd = 0x0123;
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x01, 0x23, 0xDE, 0xAD}), Encode(pkt, 4));
}

TEST(EncodeClientMsg, RefusesWhatCannotBeEncoded)
{
    TermPacket pkt{};
    pkt.Cmd = 0x8000;
    pkt.Len = MAX_PACKET_DATA;
    uint8_t out[MAX_CLIENT_OUT];
    EXPECT_EQ(MAX_CLIENT_OUT, EncodeClientMsg(&pkt, 0, out, sizeof out));
    EXPECT_EQ(0u, EncodeClientMsg(&pkt, 0, out, sizeof out - 1));
    EXPECT_EQ(0u, EncodeClientMsg(&pkt, 5, out, sizeof out));
    EXPECT_EQ(0u, EncodeClientMsg(&pkt, -1, out, sizeof out));
    pkt.Len = MAX_PACKET_DATA + 1;
    EXPECT_EQ(0u, EncodeClientMsg(&pkt, 0, out, sizeof out));
}

TEST(ClientWire, DecodeOfEncodedResponseRoundTrips)
{
    TermPacket in{};
    in.Cmd = 0x8000;
    in.Status = 0x1234;
    in.Len = 3;
    in.Data[0] = 1;
    in.Data[1] = 2;
    in.Data[2] = 3;
    std::vector<uint8_t> wire = Encode(in, 1);
    TermPacket out{};
    ClientMsg cm{};
    ASSERT_EQ(CLIENT_MSG_PACKET, DecodeClientMsg(wire.data(), wire.size(), &out, &cm));
    EXPECT_EQ(0x02, cm.Mask);
    EXPECT_EQ(in.Cmd, out.Cmd);
    EXPECT_EQ(in.Status, out.Status);
    EXPECT_EQ(0, memcmp(in.Data, out.Data, 3));
}

}  // namespace
