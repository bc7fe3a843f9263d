#include "ScriptedDevice.h"

#include <cstring>
#include <QDateTime>

using namespace Network;

namespace {
template <typename T> QByteArray payloadOf(const T &packet)
{
    return QByteArray(reinterpret_cast<const char *>(&packet) + sizeof(PacketBase),
                      int(sizeof(T) - sizeof(PacketBase)));
}

QByteArray u16(uint16_t v)
{
    return QByteArray(reinterpret_cast<const char *>(&v), 2);
}
}  // namespace

namespace TestPackets {
QByteArray readResult16(uint16_t type, uint16_t id, uint16_t name, uint16_t error, uint16_t value)
{
    return encodePacket(type, id, u16(name) + u16(error) + u16(value));
}

QByteArray bulkResult(uint16_t type, uint16_t id, uint16_t first, const std::vector<uint16_t> &values)
{
    QByteArray body = u16(uint16_t(values.size() * 2)) + u16(first);
    for (uint16_t v : values)
        body += u16(v);
    return encodePacket(type, id, body);
}

QByteArray flashPageResult(uint16_t id, uint32_t page, ReadStatus status, uint8_t compression, const QByteArray &data)
{
    QByteArray body = u16(uint16_t(data.size()));
    body.append(reinterpret_cast<const char *>(&page), 4);
    body += u16(uint16_t(status));
    body.append(char(compression));
    return encodePacket(S2C_FlashReadPageResult, id, body + data);
}

QByteArray flashLz528Result(uint16_t id, uint32_t offset, ReadStatus status, uint8_t compressed, const QByteArray &data)
{
    QByteArray body = u16(uint16_t(data.size()));
    body.append(reinterpret_cast<const char *>(&offset), 4);
    body += u16(uint16_t(status));
    body.append(char(compressed));
    return encodePacket(S2C_FlashReadLz528Result, id, body + data);
}

QByteArray dataPoints(int64_t t0, const std::vector<uint32_t> &descriptors)
{
    S2C_DataPointsPacket p{};
    p.t0 = t0;
    for (int k = 0; k < 5; ++k)
        p.samples[k] = XyzSample{int16_t(10 * k + 1), int16_t(-10 * k - 2), int16_t(k)};
    for (size_t i = 0; i < descriptors.size() && i < 4; ++i)
        p.descriptors[i] = descriptors[i];
    return encodePacketWithoutId(S2C_DataPoints, QByteArray(reinterpret_cast<const char *>(&p) + 6, int(sizeof p) - 6));
}
}  // namespace TestPackets

ScriptedDevice::ScriptedDevice(MemoryLine *end, QObject *parent) : QObject(parent), m_end(end)
{
    m_parser.setPacketHandler([this](const PacketBase &p, int length) { onPacket(p, length); });
    connect(end, &QIODevice::readyRead, this, &ScriptedDevice::onReadyRead);
}

std::vector<uint16_t> ScriptedDevice::requestTypes() const
{
    std::vector<uint16_t> types;
    for (const auto &r : requests)
        types.push_back(r.type);
    return types;
}

int ScriptedDevice::count(uint16_t type) const
{
    int n = 0;
    for (const auto &r : requests)
        n += r.type == type;
    return n;
}

void ScriptedDevice::announce(uint16_t requestId)
{
    send(identityPacket(requestId));
}

void ScriptedDevice::send(const QByteArray &packet)
{
    m_end->write(packet);
}

QByteArray ScriptedDevice::identityPacket(uint16_t requestId) const
{
    S2C_GetDeviceIdResultPacket p{};
    p.serverType = ServerType_Kestrelcove;
    p.majorVersion = majorVersion;
    p.minorVersion = minorVersion;
    p.patchLevelVersion = patchLevel;
    std::memcpy(p.uniqueId, uniqueId.constData(), size_t(std::min(32, int(uniqueId.size()))));
    p.modelType = ModelType_Tarrowind3X;
    p.modelRevision = 3;
    std::memcpy(p.buildType, buildType.constData(), size_t(std::min(12, int(buildType.size()))));
    return encodePacket(S2C_GetDeviceIdResult, requestId, payloadOf(p));
}

QByteArray ScriptedDevice::statsPacket(uint16_t requestId) const
{
    S2C_GetStatsResultPacket p{};
    p.errorFlags = ErrorFlag_RtcNotCalibrated | ErrorFlag_FlashFault;
    p.pulseCount = 4242;
    p.uptimeNanos = uptimeNanos;
    p.vbatMilliVolts = 3600;
    p.temperatureCelsiusMilliDegrees = 21500;
    p.cpuFrequency = 32;
    return encodePacket(S2C_GetStatsResult, requestId, payloadOf(p));
}

void ScriptedDevice::onReadyRead()
{
    const QByteArray bytes = m_end->readAll();
    m_parser.feed(bytes);
}

void ScriptedDevice::onPacket(const PacketBase &packet, int length)
{
    Request r{packet.type, packet.requestId, QByteArray(reinterpret_cast<const char *>(&packet), length)};
    requests.push_back(r);
    if (answerNothing || silentTypes.contains(r.type))
        return;
    QByteArray reply;
    if (customAnswer)
        reply = customAnswer(r);
    if (reply.isNull())
        reply = answer(r);
    if (!reply.isEmpty())
        send(reply);
}

QByteArray ScriptedDevice::answer(const Request &r)
{
    const auto *p = reinterpret_cast<const uint8_t *>(r.bytes.constData());
    auto field16 = [&](int offset) { return uint16_t(p[offset] | p[offset + 1] << 8); };
    const uint16_t id = r.requestId;
    switch (r.type) {
    case C2S_GetDeviceId:
        return identityPacket(id);
    case C2S_GetStats:
        uptimeNanos += 1000000000ull;
        return statsPacket(id);
    case C2S_GetDateTime: {
        const int64_t ns = (QDateTime::currentMSecsSinceEpoch() + clockOffsetMs) * 1000000;
        return encodePacket(S2C_GetDateTimeResult, id, QByteArray(reinterpret_cast<const char *>(&ns), 8));
    }
    case C2S_NetworkUartConfig: {
        const QByteArray baud = r.bytes.mid(8, 4);
        return encodePacket(S2C_NetworkUartConfigChange, id, baud + QByteArray(4, '\0'));
    }
    case C2S_WriteTemporary16:
    case C2S_WritePersistent16: {
        const uint16_t name = field16(8);
        uint16_t *store = r.type == C2S_WriteTemporary16 ? temporaries : persistents;
        const int size = r.type == C2S_WriteTemporary16 ? 8 : 16;
        if (name < size)
            store[name] = field16(10);
        return encodePacket(r.type == C2S_WriteTemporary16 ? S2C_WriteTemporary16Result : S2C_WritePersistent16Result,
                            id, u16(name) + u16(name < size ? 0 : 1));
    }
    case C2S_WritePersistent256: {
        const uint16_t name = field16(8);
        if (name < 2)
            std::memcpy(persistents256[name].bytes, p + 10, 32);
        return encodePacket(S2C_WritePersistent256Result, id, u16(name) + u16(name < 2 ? 0 : 1));
    }
    case C2S_ReadTemporary16:
    case C2S_ReadPersistent16:
    case C2S_ReadPermanent16: {
        const uint16_t name = field16(8);
        const uint16_t resultType = uint16_t((r.type & 0xFF00) | 0x53);
        const uint16_t *store = r.type == C2S_ReadTemporary16    ? temporaries
                                : r.type == C2S_ReadPersistent16 ? persistents
                                                                 : permanents;
        const int size = r.type == C2S_ReadPersistent16 ? 16 : 8;
        return TestPackets::readResult16(resultType, id, name, name < size ? 0 : 1, name < size ? store[name] : 0);
    }
    case C2S_ReadTemporaries16:
    case C2S_ReadPersistents16:
    case C2S_ReadPermanents16: {
        const uint16_t first = field16(8);
        const uint16_t n = field16(10);
        const uint16_t resultType = r.type == C2S_ReadTemporaries16   ? S2C_ReadTemporaries16Result
                                    : r.type == C2S_ReadPersistents16 ? S2C_ReadPersistents16Result
                                                                      : S2C_ReadPermanents16Result;
        const uint16_t *store = r.type == C2S_ReadTemporaries16   ? temporaries
                                : r.type == C2S_ReadPersistents16 ? persistents
                                                                  : permanents;
        const int size = r.type == C2S_ReadPersistents16 ? 16 : 8;
        std::vector<uint16_t> values;
        for (int i = first; i < first + n && i < size; ++i)
            values.push_back(store[i]);
        return TestPackets::bulkResult(resultType, id, first, values);
    }
    case C2S_ReadPersistent256:
    case C2S_ReadPermanent256: {
        const uint16_t name = field16(8);
        const bool persistent = r.type == C2S_ReadPersistent256;
        const int size = persistent ? 2 : 1;
        uint256_t value;
        if (name < size)
            value = persistent ? persistents256[name] : permanents256[name];
        return encodePacket(persistent ? S2C_ReadPersistent256Result : S2C_ReadPermanent256Result, id,
                            u16(name) + u16(name < size ? 0 : 1) +
                                QByteArray(reinterpret_cast<const char *>(value.bytes), 32));
    }
    case C2S_SavePersistents:
        return encodePacket(S2C_SavePersistentsResult, id, u16(0));
    case C2S_ClearPersistents:
        std::memset(persistents, 0, sizeof persistents);
        return encodePacket(S2C_ClearPersistentsResult, id, u16(0));
    case C2S_KeepAlive:
        return encodePacket(S2C_KeepAliveAck, id);
    case C2S_SetDateTime:
        return encodePacket(S2C_SetDateTimeAck, id);
    case C2S_RtcCalibrate:
        return encodePacket(S2C_RtcCalibrateAck, id);
    case C2S_EnterBootloader:
        return encodePacket(S2C_EnterBootloaderAck, id);
    default:
        return QByteArray();
    }
}
