#include "network/PacketParser.h"
#include "MessageCapture.h"
#include "network/Network.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Network;

namespace {
struct Received {
    uint16_t type;
    QByteArray bytes;
};

class ParserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        parser.setPacketHandler([this](const PacketBase &p, int length) {
            got.push_back({p.type, QByteArray(reinterpret_cast<const char *>(&p), length)});
        });
    }

    void feedBytewise(const QByteArray &data)
    {
        for (char c : data)
            parser.feed(&c, 1);
    }

    MessageCapture log;
    PacketParser parser;
    std::vector<Received> got;
};

QByteArray ack(uint16_t type, uint16_t id)
{
    return encodePacket(type, id);
}

QByteArray readResult(uint16_t id, uint16_t name, uint16_t value)
{
    S2C_ReadVariable16ResultPacket p{};
    p.name = name;
    p.value = value;
    return encodePacket(S2C_ReadTemporary16Result, id, reinterpret_cast<const char *>(&p) + 8, sizeof p - 8);
}

QByteArray debugMessage(const QByteArray &text)
{
    QByteArray body(2, '\0');
    body[0] = char(text.size() & 0xFF);
    body[1] = char(text.size() >> 8);
    return encodePacketWithoutId(S2C_DebugMessage, body + text);
}
}  // namespace

TEST_F(ParserTest, MidStreamStartCountsBadBytesAndFindsNextPacket)
{
    const QByteArray packet = readResult(5, 1, 42);
    // Tail of an earlier packet, without any 0x53.
    const QByteArray tail = QByteArray::fromHex("0102037f00aa");
    parser.feed(tail + packet);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, packet);
    EXPECT_EQ(parser.badData(), tail);
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(ParserTest, UnknownTypeAfterStartByteIsHeaderEnumFailure)
{
    const QByteArray packet = ack(S2C_KeepAliveAck, 9);
    // 'S' followed by 'D' (the retired DataPointOld code) and by 'z'+1.
    parser.feed(QByteArray("SD") + QByteArray("S\x7b") + packet);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, S2C_KeepAliveAck);
    EXPECT_EQ(log.countStartingWith(QStringLiteral("Bad data (Header enum failure)\n  53 ")), 2);
    // The letters after each skipped 'S' are not packet starts either.
    EXPECT_EQ(parser.badData(), QByteArray("D\x7b"));
}

TEST_F(ParserTest, FalseStartCostsOneByteThenRealPacketFollows)
{
    const QByteArray real = readResult(7, 2, 1000);
    // A fake KeepAliveAck header whose checksum cannot match; its bytes overlap the real packet.
    QByteArray fake = QByteArray::fromHex("534b00000000");
    parser.feed(fake + real);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, real);
    ASSERT_EQ(log.countStartingWith(QStringLiteral("Bad data (Network::S2C_KeepAliveAck checksum failure)")), 1);
    EXPECT_EQ(log.messages().first(), QStringLiteral("Bad data (Network::S2C_KeepAliveAck checksum failure)") +
                                          hexDump((fake + real).constData(), 8));
}

TEST_F(ParserTest, OneByteAtATimeDeliversOnceOnLastByte)
{
    const QByteArray packet = encodePacket(S2C_GetStatsResult, 3, QByteArray(108, '\x11'));
    for (int i = 0; i < packet.size(); ++i) {
        parser.feed(packet.constData() + i, 1);
        ASSERT_EQ(got.size(), i == packet.size() - 1 ? 1u : 0u) << i;
    }
    EXPECT_EQ(got[0].bytes, packet);
    EXPECT_EQ(parser.bufferedBytes(), 0);
}

TEST_F(ParserTest, TwoPacketsInOneReadInOrder)
{
    const QByteArray a = ack(S2C_RestartAck, 1);
    const QByteArray b = readResult(2, 3, 4);
    parser.feed(a + b);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, a);
    EXPECT_EQ(got[1].bytes, b);
}

TEST_F(ParserTest, VariablePacketsUseTheirLengthField)
{
    const QByteArray empty = debugMessage(QByteArray());
    ASSERT_EQ(empty.size(), 8);
    const QByteArray text = debugMessage("hello\n");
    QByteArray bulk =
        encodePacket(S2C_ReadPersistents16Result, 4,
                     QByteArray::fromHex("0600") + QByteArray::fromHex("0e00") + QByteArray::fromHex("010002000300"));
    feedBytewise(empty + text + bulk);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].bytes, empty);
    EXPECT_EQ(got[1].bytes, text);
    EXPECT_EQ(got[2].bytes, bulk);
    EXPECT_EQ(got[2].bytes.size(), 18);
}

TEST_F(ParserTest, OversizedLengthRejectedWithoutWaiting)
{
    // Page result announcing 2200 data bytes: rejected as soon as the length field is in.
    QByteArray bogus = QByteArray::fromHex("5367") + QByteArray(6, '\0') + QByteArray::fromHex("9808");
    parser.feed(bogus);
    EXPECT_EQ(log.countStartingWith(QStringLiteral("Bad data (Invalid contents)\n  53 ")), 1);
    // Base 17 + 2113 > 2129 is rejected as well; 17 + 2112 = 2129 is allowed and waits.
    log.clear();
    parser.reset();
    parser.feed(QByteArray::fromHex("5367") + QByteArray(6, '\0') + QByteArray::fromHex("4108"));
    EXPECT_EQ(log.countStartingWith(QStringLiteral("Bad data (Invalid contents)")), 1);
    log.clear();
    parser.reset();
    parser.clearBadData();
    parser.feed(QByteArray::fromHex("5367") + QByteArray(6, '\0') + QByteArray::fromHex("4008"));
    EXPECT_TRUE(log.messages().isEmpty());
    EXPECT_EQ(parser.bufferedBytes(), 10);
    // The real packet still follows after an oversized false start.
    parser.reset();
    const QByteArray good = ack(S2C_SetDateTimeAck, 12);
    parser.feed(bogus + good);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, good);
}

TEST_F(ParserTest, LargestPacketAcrossBufferWraps)
{
    // Noise pushes the largest legal packet across the buffer's end several times over.
    QByteArray data = QByteArray(1000, '\x01');
    std::vector<QByteArray> sent;
    for (int i = 0; i < 6; ++i) {
        QByteArray payload(2 + 4 + 2 + 1 + 2112, char(i));
        payload[0] = char(0x40);
        payload[1] = char(0x08);
        const QByteArray page = encodePacket(S2C_FlashReadPageResult, uint16_t(100 + i), payload);
        EXPECT_EQ(page.size(), kMaxPacketSize);
        sent.push_back(page);
        data += page + QByteArray(i * 37, '\x02');
    }
    for (int chunk : {2048, 1, 700}) {
        got.clear();
        parser.reset();
        for (int pos = 0; pos < data.size(); pos += chunk)
            parser.feed(data.mid(pos, chunk));
        ASSERT_EQ(got.size(), sent.size()) << chunk;
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_EQ(got[i].bytes, sent[i]) << chunk << " " << i;
    }
}

TEST_F(ParserTest, ClientToServerDirectionForTheDeviceSide)
{
    PacketParser device(Direction::ClientToServer);
    std::vector<uint16_t> types;
    device.setPacketHandler([&](const PacketBase &p, int length) {
        types.push_back(p.type);
        EXPECT_EQ(length, p.type == C2S_FlashReadPage ? 17 : 8);
    });
    const QByteArray a = encodePacket(C2S_GetDeviceId, 1);
    const QByteArray b = encodePacket(C2S_FlashReadPage, 2, QByteArray(9, '\0'));
    // A server-to-client packet is noise on this side.
    device.feed(ack(S2C_KeepAliveAck, 3) + a + b);
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0], C2S_GetDeviceId);
    EXPECT_EQ(types[1], C2S_FlashReadPage);
}

TEST_F(ParserTest, HandlerMayResetParser)
{
    parser.setPacketHandler([this](const PacketBase &p, int) {
        got.push_back({p.type, QByteArray()});
        parser.reset();
    });
    parser.feed(ack(S2C_RestartAck, 1) + ack(S2C_RestartAck, 2));
    EXPECT_EQ(got.size(), 1u);
    parser.feed(ack(S2C_RestartAck, 3));
    EXPECT_EQ(got.size(), 2u);
}

TEST_F(ParserTest, BadDataIsBoundedWhenNobodyClears)
{
    const QByteArray garbage(PacketParser::kMaxBadData + 5000, '\x01');
    parser.feed(garbage);
    EXPECT_EQ(parser.badData().size(), PacketParser::kMaxBadData);
    const QByteArray packet = ack(S2C_KeepAliveAck, 4);
    parser.feed(packet);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, packet);
}

// A reset from the handler (the client took a new device) drops the rest of the chunk, also
// the part that had not reached the buffer yet: no packet of the old stream may follow.
TEST_F(ParserTest, ResetInHandlerDropsTheRestOfALongChunk)
{
    bool resetOnFirst = true;
    std::vector<uint16_t> ids;
    parser.setPacketHandler([&](const PacketBase &p, int) {
        ids.push_back(p.requestId);
        if (resetOnFirst) {
            resetOnFirst = false;
            parser.reset();
        }
    });
    QByteArray chunk;
    for (uint16_t id = 1; id <= 2 * kMaxPacketSize / 8; ++id)
        chunk += ack(S2C_RestartAck, id);
    ASSERT_GT(chunk.size(), kMaxPacketSize);
    parser.feed(chunk);
    EXPECT_EQ(ids, std::vector<uint16_t>{1});
    // The next chunk is the new stream's and parses from its first byte.
    parser.feed(ack(S2C_RestartAck, 9000) + ack(S2C_RestartAck, 9001));
    EXPECT_EQ(ids, (std::vector<uint16_t>{1, 9000, 9001}));
}
