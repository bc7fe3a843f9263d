#include "network/Network.h"
#include "network/PacketCrc32.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace Network;

TEST(PacketCrc32, CheckValueAndContinuation)
{
    EXPECT_EQ(packetCrc32("123456789", 9), 0x89A1897Fu);
    EXPECT_EQ(packetCrc32Bytewise("123456789", 9), 0x89A1897Fu);
    // Continuing from a previous result is the same as one pass.
    EXPECT_EQ(packetCrc32("6789", 4, packetCrc32("12345", 5)), 0x89A1897Fu);
    EXPECT_EQ(packetCrc32("", 0, 0x1234u), 0x1234u);
}

TEST(PacketCrc32, FastFormAgreesWithBytewise)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data(3100);
    for (auto &b : data)
        b = uint8_t(rng());
    for (size_t len : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 63u, 528u, 2112u, 2999u}) {
        for (size_t off : {0u, 1u, 3u}) {
            const uint32_t seed = rng();
            EXPECT_EQ(packetCrc32(data.data() + off, len, seed), packetCrc32Bytewise(data.data() + off, len, seed))
                << len << "@" << off;
        }
    }
}

TEST(PacketEncoding, GetDeviceIdWithIdOne)
{
    const QByteArray p = encodePacket(C2S_GetDeviceId, 1);
    EXPECT_EQ(p.toHex(' '), QByteArray("58 49 5f 0d c2 74 01 00"));
    EXPECT_TRUE(packetChecksumValid(p.constData(), p.size()));
}

TEST(PacketEncoding, ChecksumSkipsItsOwnBytesAndCoversPayload)
{
    C2S_WriteVariable16Packet w{};
    w.base.type = C2S_WriteTemporary16;
    w.base.requestId = 77;
    w.name = 4;
    w.value = 0x1234;
    const QByteArray a = encodePacket(C2S_WriteTemporary16, 77, QByteArray::fromHex("04003412"));
    sealPacket(&w, sizeof w);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(&w), sizeof w), a);
    uint32_t crc = packetCrc32(a.constData(), 2);
    crc = packetCrc32(a.constData() + 6, size_t(a.size() - 6), crc);
    const uint32_t stored = w.base.checksum;
    EXPECT_EQ(crc, stored);

    QByteArray changed = a;
    changed[11] = char(changed[11] ^ 1);
    EXPECT_FALSE(packetChecksumValid(changed.constData(), changed.size()));
    changed = a;
    changed[3] = char(changed[3] ^ 1);
    EXPECT_FALSE(packetChecksumValid(changed.constData(), changed.size()));
}

TEST(PacketEncoding, WithoutRequestIdBodyStartsAtSix)
{
    const QByteArray msg = encodePacketWithoutId(S2C_DebugMessage, QByteArray::fromHex("0200") + "hi");
    ASSERT_EQ(msg.size(), 10);
    EXPECT_EQ(msg.mid(6), QByteArray::fromHex("0200") + "hi");
    EXPECT_EQ(uint8_t(msg[0]), 0x53);
    EXPECT_EQ(uint8_t(msg[1]), 0x0A);
    EXPECT_TRUE(packetChecksumValid(msg.constData(), msg.size()));
}

TEST(PacketLayouts, ClientToServerLengths)
{
    const std::vector<std::pair<uint16_t, int>> expected = {
        {0x4958, 8},  {0x4558, 10}, {0x6358, 12},  {0x5458, 12}, {0x5258, 10}, {0x6158, 12}, {0x5758, 12},
        {0x4D58, 10}, {0x4E58, 42}, {0x5358, 8},   {0x3058, 8},  {0x7258, 10}, {0x6258, 12}, {0x7758, 12},
        {0x6D58, 10}, {0x6E58, 42}, {0x7358, 12},  {0x2158, 8},  {0x4058, 8},  {0x4258, 8},  {0x4C58, 8},
        {0x4B58, 8},  {0x4158, 8},  {0x5058, 138}, {0x5158, 10}, {0x4758, 16}, {0x4658, 8},  {0x4358, 8},
        {0x5A58, 12}, {0x7A58, 12}, {0x6758, 17},  {0x5958, 8},  {0x4858, 8},  {0x5658, 8},  {0x7558, 15},
    };
    EXPECT_EQ(expected.size(), 35u);
    for (const auto &e : expected) {
        PacketLayout l;
        ASSERT_TRUE(packetLayout(Direction::ClientToServer, e.first, &l)) << std::hex << e.first;
        EXPECT_EQ(l.length, e.second) << std::hex << e.first;
        EXPECT_EQ(l.lengthFieldOffset, 0);
        EXPECT_TRUE(l.hasRequestId);
        EXPECT_FALSE(packetLayout(Direction::ServerToClient, e.first, nullptr));
        EXPECT_EQ(e.first & 0xFF, 0x58);
    }
}

TEST(PacketLayouts, ServerToClientLengths)
{
    struct E {
        uint16_t type;
        int length;
        int lengthField;
        bool id;
    };
    const std::vector<E> expected = {
        {0x4953, 72, 0, true},  {0x4553, 14, 0, true},  {0x6553, 12, 8, true},  {0x5453, 12, 0, true},
        {0x5253, 14, 0, true},  {0x6153, 12, 8, true},  {0x5753, 12, 0, true},  {0x4D53, 44, 0, true},
        {0x4E53, 12, 0, true},  {0x5353, 10, 0, true},  {0x3053, 10, 0, true},  {0x7253, 14, 0, true},
        {0x6253, 12, 8, true},  {0x7753, 12, 0, true},  {0x6D53, 44, 0, true},  {0x6E53, 12, 0, true},
        {0x7353, 10, 0, true},  {0x2153, 8, 0, true},   {0x4053, 8, 0, true},   {0x4253, 8, 0, true},
        {0x4C53, 8, 0, true},   {0x4B53, 8, 0, true},   {0x4153, 116, 0, true}, {0x5053, 10, 0, true},
        {0x5153, 138, 0, true}, {0x4753, 8, 0, true},   {0x4653, 16, 0, true},  {0x4353, 8, 0, true},
        {0x4A53, 8, 0, false},  {0x4F53, 10, 0, true},  {0x5953, 8, 0, true},   {0x4853, 536, 0, true},
        {0x5A53, 542, 0, true}, {0x7A53, 17, 8, true},  {0x6753, 17, 8, true},  {0x5653, 8, 0, true},
        {0x7553, 16, 0, true},  {0x5553, 60, 0, false}, {0x0A53, 8, 6, false},
    };
    EXPECT_EQ(expected.size(), 39u);
    for (const auto &e : expected) {
        PacketLayout l;
        ASSERT_TRUE(packetLayout(Direction::ServerToClient, e.type, &l)) << std::hex << e.type;
        EXPECT_EQ(l.length, e.length) << std::hex << e.type;
        EXPECT_EQ(l.lengthFieldOffset, e.lengthField) << std::hex << e.type;
        EXPECT_EQ(l.hasRequestId, e.id) << std::hex << e.type;
        EXPECT_EQ(packetHasRequestId(e.type), e.id);
    }
    EXPECT_FALSE(packetLayout(Direction::ServerToClient, S2C_DataPointOld, nullptr));
}

TEST(PacketNames, EnumAndDumpFormats)
{
    EXPECT_EQ(packetTypeName(C2S_GetStats), QStringLiteral("Network::C2S_GetStats"));
    EXPECT_EQ(packetTypeName(S2C_DebugMessage), QStringLiteral("Network::S2C_DebugMessage"));
    EXPECT_EQ(enumName(PersistentName16::Algorithm), QStringLiteral("Network::Algorithm"));
    EXPECT_EQ(enumName(ReadStatus::HwFailure), QStringLiteral("Network::HwFailure"));

    std::vector<uint8_t> bytes(20);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 0x11);
    EXPECT_EQ(hexDump(bytes.data(), 20), QStringLiteral("\n  00112233 44556677 8899aabb ccddeeff \n  10213243 "));
    EXPECT_EQ(hexDump(bytes.data(), 1), QStringLiteral("\n  00 "));
    EXPECT_EQ(hexDump(bytes.data(), 6), QStringLiteral("\n  00112233 4455 "));
    EXPECT_EQ(hexDump(bytes.data(), 0), QString());
}

TEST(Uint256, ComparesAllBytes)
{
    uint256_t a, b;
    EXPECT_TRUE(a == b);
    b.bytes[31] = 1;
    EXPECT_TRUE(a != b);
    const QVariant v = QVariant::fromValue(b);
    ASSERT_TRUE(v.canConvert<uint256_t>());
    EXPECT_TRUE(v.value<uint256_t>() == b);
}
