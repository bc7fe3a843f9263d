#include "SerialTrafficRing.h"

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

// Built by hand: no locale and no time zone database involved.
QByteArray SerialTrafficRing::utcStamp(int64_t ns)
{
    const int64_t us = ns >= 0 ? ns / 1000 : -((-ns + 999) / 1000);
    int64_t secs = us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
    const int64_t micro = us - secs * 1000000;
    int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    const int64_t rem = secs - days * 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%06lldZ", (long long)year,
                  (long long)month, (long long)day, (long long)(rem / 3600), (long long)(rem / 60 % 60),
                  (long long)(rem % 60), (long long)micro);
    return QByteArray(text);
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
