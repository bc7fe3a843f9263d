#include "SerialTrafficRing.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <chrono>
#include <cstdio>

SerialTrafficRing::SerialTrafficRing(qint64 maxBytes, int64_t maxAgeNs)
    : m_maxBytes(std::max<qint64>(maxBytes, kChunkOverhead + 1)), m_maxAgeNs(std::max<int64_t>(maxAgeNs, 0))
{
}

SerialTrafficRing &SerialTrafficRing::instance()
{
    static SerialTrafficRing ring;
    return ring;
}

int64_t SerialTrafficRing::nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

void SerialTrafficRing::record(Direction direction, const char *data, qint64 size)
{
    record(direction, data, size, nowNs());
}

void SerialTrafficRing::record(Direction direction, const char *data, qint64 size, int64_t timeNs)
{
    if (!data || size <= 0)
        return;
    // A chunk larger than the whole ring keeps only its newest bytes.
    const qint64 room = m_maxBytes - kChunkOverhead;
    if (size > room) {
        data += size - room;
        size = room;
    }
    Chunk chunk{timeNs, direction, QByteArray(data, int(size))};
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes += size;
    m_cost += size + kChunkOverhead;
    m_chunks.push_back(std::move(chunk));
    pruneLocked(timeNs);
}

void SerialTrafficRing::pruneLocked(int64_t nowNs)
{
    while (!m_chunks.empty() && (m_cost > m_maxBytes || nowNs - m_chunks.front().timeNs > m_maxAgeNs)) {
        m_bytes -= m_chunks.front().bytes.size();
        m_cost -= m_chunks.front().bytes.size() + kChunkOverhead;
        m_chunks.pop_front();
    }
}

std::deque<SerialTrafficRing::Chunk> SerialTrafficRing::snapshot() const
{
    return snapshot(nowNs());
}

std::deque<SerialTrafficRing::Chunk> SerialTrafficRing::snapshot(int64_t nowNs) const
{
    std::deque<Chunk> copy;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        copy = m_chunks;
    }
    while (!copy.empty() && nowNs - copy.front().timeNs > m_maxAgeNs)
        copy.pop_front();
    return copy;
}

qint64 SerialTrafficRing::byteCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

qint64 SerialTrafficRing::chunkCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return qint64(m_chunks.size());
}

void SerialTrafficRing::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chunks.clear();
    m_bytes = 0;
    m_cost = 0;
}

// Qt's UTC calendar through the C locale: no user locale and no time zone involved.
QByteArray SerialTrafficRing::utcStamp(int64_t ns)
{
    const auto floorDiv = [](int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    const int64_t us = floorDiv(ns, 1000);
    const int64_t ms = floorDiv(us, 1000);
    char micro[24];
    std::snprintf(micro, sizeof micro, "%03lld", (long long)(us - ms * 1000));
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    QByteArray stamp = QLocale::c().toString(time, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")).toLatin1();
    stamp += micro;
    stamp += 'Z';
    return stamp;
}

QByteArray SerialTrafficRing::formatHex(const std::deque<Chunk> &chunks)
{
    static const char digits[] = "0123456789abcdef";
    QByteArray out;
    for (const Chunk &chunk : chunks) {
        const QByteArray head = utcStamp(chunk.timeNs) + (chunk.direction == Sent ? " TX" : " RX");
        const auto *bytes = reinterpret_cast<const unsigned char *>(chunk.bytes.constData());
        for (int start = 0; start < chunk.bytes.size(); start += kBytesPerLine) {
            out += head;
            const int end = std::min(chunk.bytes.size(), start + kBytesPerLine);
            for (int i = start; i < end; ++i) {
                out += ' ';
                out += digits[bytes[i] >> 4];
                out += digits[bytes[i] & 15];
            }
            out += "\r\n";
        }
    }
    return out;
}
