#pragma once

#include "MemoryLine.h"
#include "network/Network.h"
#include "network/PacketParser.h"

#include <functional>
#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <vector>

// A scripted logger on the far end of a MemoryLine: it parses the client's requests, records
// them, and answers the way the firmware does unless told to stay silent for some types.
class ScriptedDevice : public QObject
{
    Q_OBJECT
public:
    struct Request {
        uint16_t type;
        uint16_t requestId;
        QByteArray bytes;
    };

    explicit ScriptedDevice(MemoryLine *end, QObject *parent = nullptr);

    // Identity and state the device reports.
    uint16_t minorVersion = 1;
    uint16_t majorVersion = 0;
    uint32_t patchLevel = 4468;
    QByteArray uniqueId = "TW3X-000123";
    QByteArray buildType = "release";
    uint16_t temporaries[8] = {};
    uint16_t persistents[16] = {};
    uint16_t permanents[8] = {};
    Network::uint256_t persistents256[2];
    Network::uint256_t permanents256[1];
    uint64_t uptimeNanos = 1000000000ull;
    int64_t clockOffsetMs = 0;  // device clock minus host clock

    // Request types the device ignores; `answerNothing` ignores every request.
    QSet<uint16_t> silentTypes;
    bool answerNothing = false;
    // Replaces the standard answer for one type (return an empty array to send nothing).
    std::function<QByteArray(const Request &)> customAnswer;

    std::vector<Request> requests;
    std::vector<uint16_t> requestTypes() const;
    int count(uint16_t type) const;

    // Sends the identity packet unprompted, as the firmware does while unconnected.
    void announce(uint16_t requestId = 0);
    void send(const QByteArray &packet);

    QByteArray identityPacket(uint16_t requestId) const;
    QByteArray statsPacket(uint16_t requestId) const;

private:
    void onReadyRead();
    void onPacket(const Network::PacketBase &packet, int length);
    QByteArray answer(const Request &r);

    MemoryLine *m_end;
    PacketParser m_parser{Network::Direction::ClientToServer};
};

// Small builders for server packets used by the tests.
namespace TestPackets {
QByteArray readResult16(uint16_t type, uint16_t id, uint16_t name, uint16_t error, uint16_t value);
QByteArray bulkResult(uint16_t type, uint16_t id, uint16_t first, const std::vector<uint16_t> &values);
QByteArray flashPageResult(uint16_t id, uint32_t page, Network::ReadStatus status, uint8_t compression,
                           const QByteArray &data);
QByteArray flashLz528Result(uint16_t id, uint32_t offset, Network::ReadStatus status, uint8_t compressed,
                            const QByteArray &data);
QByteArray dataPoints(int64_t t0, const std::vector<uint32_t> &descriptors);
}  // namespace TestPackets
