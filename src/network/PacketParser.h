#pragma once

#include "Network.h"

#include <functional>
#include <QByteArray>

// Finds packets in an unframed byte stream. Every packet begins with the start byte of its
// direction ('S' from the device, 'X' from the client); its length follows from its type and,
// for the variable types, from the length field inside it. Bytes that start no packet are kept
// in badData() for the owner to report; other bad data is logged here. The parser always
// resynchronises by skipping single bytes.
class PacketParser
{
public:
    // Called once per complete, checksum-valid packet, in stream order. `length` is the
    // packet's total length. The reference is valid during the call only.
    using PacketHandler = std::function<void(const Network::PacketBase &packet, int length)>;

    explicit PacketParser(Network::Direction direction = Network::Direction::ServerToClient);

    void setPacketHandler(PacketHandler handler) { m_handler = std::move(handler); }
    Network::Direction direction() const { return m_direction; }

    void feed(const void *data, int length);
    void feed(const QByteArray &data) { feed(data.constData(), data.size()); }

    // Forgets any partly received packet (and keeps the collected bad data). Called from the
    // packet handler, it also drops the rest of the chunk being fed.
    void reset();

    // Bad bytes are kept up to this many until the owner reports and clears them; a stream of
    // garbage with nobody clearing must not grow without bound.
    static constexpr int kMaxBadData = 64 * 1024;

    const QByteArray &badData() const { return m_badData; }
    void clearBadData() { m_badData.clear(); }

    int bufferedBytes() const { return m_fill - m_readPos; }

private:
    void parse();
    void skipOneByte();

    Network::Direction m_direction;
    uint8_t m_startByte;
    PacketHandler m_handler;
    uint8_t m_buffer[Network::kMaxPacketSize];
    int m_fill = 0;
    int m_readPos = 0;
    int m_expectedLength = 0;
    int m_lengthFieldOffset = 0;
    int m_baseLength = 0;
    unsigned m_resets = 0;
    QByteArray m_badData;
};
