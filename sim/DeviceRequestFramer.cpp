#include "DeviceRequestFramer.h"

#include "network/Network.h"

#include <cstring>

DeviceRequestFramer::DeviceRequestFramer(RequestHandler handler) : m_handler(std::move(handler)) {}

void DeviceRequestFramer::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    const uint8_t start = Network::packetStartByte(Network::Direction::ClientToServer);
    int pos = 0;
    while (m_buffer.size() - pos >= 2) {
        const auto *p = reinterpret_cast<const uint8_t *>(m_buffer.constData()) + pos;
        Network::PacketLayout layout;
        uint16_t type = 0;
        std::memcpy(&type, p, 2);
        if (p[0] != start || !Network::packetLayout(Network::Direction::ClientToServer, type, &layout) ||
            layout.length <= 0) {
            ++pos;
            ++m_badBytes;
            continue;
        }
        if (m_buffer.size() - pos < layout.length)
            break;  // wait for the rest
        if (!Network::packetChecksumValid(p, layout.length)) {
            ++pos;
            ++m_badBytes;
            continue;
        }
        const QByteArray packet(reinterpret_cast<const char *>(p), layout.length);
        pos += layout.length;
        ++m_requests;
        if (m_handler)
            m_handler(packet);
    }
    m_buffer.remove(0, pos);
}

void DeviceRequestFramer::lineIdle()
{
    while (!m_buffer.isEmpty()) {
        m_buffer.remove(0, 1);
        ++m_badBytes;
        feed(QByteArray());
    }
}

void DeviceRequestFramer::reset()
{
    m_buffer.clear();
}
