#include "PacketParser.h"

#include <cstring>
#include <QDebug>

using namespace Network;

PacketParser::PacketParser(Direction direction) : m_direction(direction), m_startByte(packetStartByte(direction)) {}

void PacketParser::reset()
{
    ++m_resets;
    m_fill = 0;
    m_readPos = 0;
    m_expectedLength = 0;
    m_lengthFieldOffset = 0;
    m_baseLength = 0;
}

void PacketParser::feed(const void *data, int length)
{
    const auto *in = static_cast<const uint8_t *>(data);
    // A handler that resets the parser (the stream changed hands) ends this chunk: what
    // follows in it came from the old stream.
    const unsigned resets = m_resets;
    while (length > 0 && m_resets == resets) {
        if (m_fill == kMaxPacketSize) {
            // Unread bytes move to the front; a parse pass over a full buffer always consumed
            // at least one byte, so there is room again.
            const int unread = m_fill - m_readPos;
            std::memmove(m_buffer, m_buffer + m_readPos, size_t(unread));
            m_fill = unread;
            m_readPos = 0;
        }
        const int piece = std::min(length, kMaxPacketSize - m_fill);
        std::memcpy(m_buffer + m_fill, in, size_t(piece));
        m_fill += piece;
        in += piece;
        length -= piece;
        parse();
    }
}

void PacketParser::skipOneByte()
{
    m_expectedLength = 0;
    m_lengthFieldOffset = 0;
    ++m_readPos;
}

void PacketParser::parse()
{
    while (m_fill - m_readPos >= 2) {
        const uint8_t *start = m_buffer + m_readPos;
        const int available = m_fill - m_readPos;
        if (m_expectedLength == 0) {
            if (start[0] != m_startByte) {
                if (m_badData.size() < kMaxBadData)
                    m_badData.append(char(start[0]));
                ++m_readPos;
                continue;
            }
            const uint16_t type = uint16_t(start[0] | start[1] << 8);
            PacketLayout layout;
            if (!packetLayout(m_direction, type, &layout)) {
                qWarning().noquote().nospace() << "Bad data "
                                               << "(Header enum failure)" << hexDump(start, 1);
                skipOneByte();
                continue;
            }
            m_expectedLength = layout.length;
            m_baseLength = layout.length;
            m_lengthFieldOffset = layout.lengthFieldOffset;
        }
        if (m_lengthFieldOffset != 0) {
            if (available < m_lengthFieldOffset + 2)
                break;
            const int value = start[m_lengthFieldOffset] | start[m_lengthFieldOffset + 1] << 8;
            m_lengthFieldOffset = 0;
            if (value > kMaxPacketSize || m_baseLength + value > kMaxPacketSize) {
                qWarning().noquote().nospace() << "Bad data "
                                               << "(Invalid contents)" << hexDump(start, 1);
                skipOneByte();
                continue;
            }
            m_expectedLength = m_baseLength + value;
        }
        if (available < m_expectedLength)
            break;
        const int length = m_expectedLength;
        if (!packetChecksumValid(start, length)) {
            const uint16_t type = uint16_t(start[0] | start[1] << 8);
            qWarning().noquote().nospace()
                << "Bad data (" << packetTypeName(type) << " checksum failure)" << hexDump(start, m_baseLength);
            skipOneByte();
            continue;
        }
        // Consume before dispatching: the handler may reset the parser.
        m_expectedLength = 0;
        m_readPos += length;
        if (m_handler) {
            const unsigned resets = m_resets;
            m_handler(*reinterpret_cast<const PacketBase *>(start), length);
            if (m_resets != resets)
                return;
        }
    }
    if (m_readPos >= m_fill) {
        m_readPos = 0;
        m_fill = 0;
    }
}
