#include "Network.h"

#include "PacketCrc32.h"

namespace Network {

namespace {
struct LayoutEntry {
    uint16_t type;
    uint16_t length;
    uint8_t lengthFieldOffset;
    bool hasRequestId;
};

constexpr LayoutEntry kClientToServer[] = {
    {C2S_GetDeviceId, 8, 0, true},
    {C2S_ReadTemporary16, 10, 0, true},
    {C2S_ReadTemporaries16, 12, 0, true},
    {C2S_WriteTemporary16, 12, 0, true},
    {C2S_ReadPersistent16, 10, 0, true},
    {C2S_ReadPersistents16, 12, 0, true},
    {C2S_WritePersistent16, 12, 0, true},
    {C2S_ReadPersistent256, 10, 0, true},
    {C2S_WritePersistent256, 42, 0, true},
    {C2S_SavePersistents, 8, 0, true},
    {C2S_ClearPersistents, 8, 0, true},
    {C2S_ReadPermanent16, 10, 0, true},
    {C2S_ReadPermanents16, 12, 0, true},
    {C2S_WritePermanent16, 12, 0, true},
    {C2S_ReadPermanent256, 10, 0, true},
    {C2S_WritePermanent256, 42, 0, true},
    {C2S_SavePermanents, 12, 0, true},
    {C2S_EnterBootloader, 8, 0, true},
    {C2S_Restart, 8, 0, true},
    {C2S_DebugFunc, 8, 0, true},
    {C2S_LearnAlgorithmParameters, 8, 0, true},
    {C2S_KeepAlive, 8, 0, true},
    {C2S_GetStats, 8, 0, true},
    {C2S_PushAlgorithmParameters, 138, 0, true},
    {C2S_PullAlgorithmParameters, 10, 0, true},
    {C2S_SetDateTime, 16, 0, true},
    {C2S_GetDateTime, 8, 0, true},
    {C2S_FlashCreate, 8, 0, true},
    {C2S_FlashRead528, 12, 0, true},
    {C2S_FlashReadLz528, 12, 0, true},
    {C2S_FlashReadPage, 17, 0, true},
    {C2S_FlashCommitNow, 8, 0, true},
    {C2S_FlashGetState, 8, 0, true},
    {C2S_RtcCalibrate, 8, 0, true},
    {C2S_NetworkUartConfig, 15, 0, true},
};

constexpr LayoutEntry kServerToClient[] = {
    {S2C_GetDeviceIdResult, 72, 0, true},
    {S2C_ReadTemporary16Result, 14, 0, true},
    {S2C_ReadTemporaries16Result, 12, 8, true},
    {S2C_WriteTemporary16Result, 12, 0, true},
    {S2C_ReadPersistent16Result, 14, 0, true},
    {S2C_ReadPersistents16Result, 12, 8, true},
    {S2C_WritePersistent16Result, 12, 0, true},
    {S2C_ReadPersistent256Result, 44, 0, true},
    {S2C_WritePersistent256Result, 12, 0, true},
    {S2C_SavePersistentsResult, 10, 0, true},
    {S2C_ClearPersistentsResult, 10, 0, true},
    {S2C_ReadPermanent16Result, 14, 0, true},
    {S2C_ReadPermanents16Result, 12, 8, true},
    {S2C_WritePermanent16Result, 12, 0, true},
    {S2C_ReadPermanent256Result, 44, 0, true},
    {S2C_WritePermanent256Result, 12, 0, true},
    {S2C_SavePermanentsResult, 10, 0, true},
    {S2C_EnterBootloaderAck, 8, 0, true},
    {S2C_RestartAck, 8, 0, true},
    {S2C_DebugFuncAck, 8, 0, true},
    {S2C_LearnAlgorithmParametersAck, 8, 0, true},
    {S2C_KeepAliveAck, 8, 0, true},
    {S2C_GetStatsResult, 116, 0, true},
    {S2C_PushAlgorithmParametersResult, 10, 0, true},
    {S2C_PullAlgorithmParametersResult, 138, 0, true},
    {S2C_SetDateTimeAck, 8, 0, true},
    {S2C_GetDateTimeResult, 16, 0, true},
    {S2C_FlashCreateAck, 8, 0, true},
    {S2C_FlashCreateProgress, 8, 0, false},
    {S2C_FlashCreateResult, 10, 0, true},
    {S2C_FlashCommitNowAck, 8, 0, true},
    {S2C_FlashGetStateResult, 536, 0, true},
    {S2C_FlashRead528Result, 542, 0, true},
    {S2C_FlashReadLz528Result, 17, 8, true},
    {S2C_FlashReadPageResult, 17, 8, true},
    {S2C_RtcCalibrateAck, 8, 0, true},
    {S2C_NetworkUartConfigChange, 16, 0, true},
    {S2C_DataPoints, 60, 0, false},
    {S2C_DebugMessage, 8, 6, false},
};

template <size_t N> const LayoutEntry *findEntry(const LayoutEntry (&table)[N], uint16_t type)
{
    for (const auto &e : table)
        if (e.type == type)
            return &e;
    return nullptr;
}
}  // namespace

bool packetLayout(Direction direction, uint16_t type, PacketLayout *layout)
{
    const LayoutEntry *e =
        direction == Direction::ServerToClient ? findEntry(kServerToClient, type) : findEntry(kClientToServer, type);
    if (!e)
        return false;
    if (layout) {
        layout->length = e->length;
        layout->lengthFieldOffset = e->lengthFieldOffset;
        layout->hasRequestId = e->hasRequestId;
    }
    return true;
}

bool packetHasRequestId(uint16_t type)
{
    return type != S2C_DebugMessage && type != S2C_DataPoints && type != S2C_FlashCreateProgress;
}

QString packetTypeName(uint16_t type)
{
    return enumName(PacketType(type));
}

uint32_t computePacketChecksum(const void *packet, int length)
{
    const auto *p = static_cast<const uint8_t *>(packet);
    uint32_t crc = packetCrc32(p, 2, 0);
    if (length > 6)
        crc = packetCrc32(p + 6, size_t(length - 6), crc);
    return crc;
}

void sealPacket(void *packet, int length)
{
    const uint32_t crc = computePacketChecksum(packet, length);
    std::memcpy(static_cast<uint8_t *>(packet) + 2, &crc, 4);
}

bool packetChecksumValid(const void *packet, int length)
{
    if (length < 8)
        return false;
    uint32_t stored;
    std::memcpy(&stored, static_cast<const uint8_t *>(packet) + 2, 4);
    return stored == computePacketChecksum(packet, length);
}

QByteArray encodePacket(uint16_t type, uint16_t requestId, const void *payload, int payloadLength)
{
    if (payloadLength < 0)
        payloadLength = 0;
    QByteArray out(int(sizeof(PacketBase)) + payloadLength, '\0');
    PacketBase header{type, 0, requestId};
    std::memcpy(out.data(), &header, sizeof header);
    if (payloadLength > 0 && payload)
        std::memcpy(out.data() + sizeof header, payload, size_t(payloadLength));
    sealPacket(out.data(), out.size());
    return out;
}

QByteArray encodePacket(uint16_t type, uint16_t requestId, const QByteArray &payload)
{
    return encodePacket(type, requestId, payload.constData(), payload.size());
}

QByteArray encodePacketWithoutId(uint16_t type, const QByteArray &body)
{
    QByteArray out(6 + body.size(), '\0');
    std::memcpy(out.data(), &type, 2);
    if (!body.isEmpty())
        std::memcpy(out.data() + 6, body.constData(), size_t(body.size()));
    sealPacket(out.data(), out.size());
    return out;
}

QString hexDump(const void *data, int length)
{
    static const char kDigits[] = "0123456789abcdef";
    const auto *p = static_cast<const uint8_t *>(data);
    QString out;
    out.reserve(length * 3 + (length / 16 + 1) * 3);
    for (int i = 0; i < length; ++i) {
        if (i % 16 == 0)
            out += QLatin1String("\n  ");
        out += QLatin1Char(kDigits[p[i] >> 4]);
        out += QLatin1Char(kDigits[p[i] & 0xF]);
        if (i % 4 == 3 || i == length - 1)
            out += QLatin1Char(' ');
    }
    return out;
}

}  // namespace Network
