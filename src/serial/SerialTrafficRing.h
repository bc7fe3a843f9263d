#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <mutex>

// The last minutes of serial traffic, both directions, kept in memory so that a support bundle
// can show what went over the line before a problem. The port's reader and writer threads
// record every chunk they move; the ring is bounded by its memory (the payload plus a fixed
// allowance per chunk, so a line read a byte at a time cannot grow it past the bound either) and
// by the chunks' age, whichever bites first, dropping the oldest chunks. One lock guards it; recording is a copy of
// the chunk plus a push, and the formatting happens only when someone asks for it.
class SerialTrafficRing
{
public:
    enum Direction { Received, Sent };

    struct Chunk {
        int64_t timeNs = 0;  // nanoseconds since 1970-01-01 UTC
        Direction direction = Received;
        QByteArray bytes;
    };

    static constexpr qint64 kDefaultMaxBytes = 512 * 1024;
    static constexpr int64_t kDefaultMaxAgeNs = int64_t(5) * 60 * 1000000000;
    // What one chunk costs besides its payload (its entry, the array's header and allocation).
    static constexpr qint64 kChunkOverhead = 64;
    // Bytes per line of the hex form.
    static constexpr int kBytesPerLine = 32;

    explicit SerialTrafficRing(qint64 maxBytes = kDefaultMaxBytes, int64_t maxAgeNs = kDefaultMaxAgeNs);

    // The process-wide ring every open port records into.
    static SerialTrafficRing &instance();

    // Records a chunk at the current time (any thread).
    void record(Direction direction, const char *data, qint64 size);
    // The same at a given time; chunks older than `timeNs` minus the age bound are dropped.
    void record(Direction direction, const char *data, qint64 size, int64_t timeNs);

    // A copy of the chunks that are within both bounds at `nowNs` (or now), oldest first.
    std::deque<Chunk> snapshot() const;
    std::deque<Chunk> snapshot(int64_t nowNs) const;
    // Payload bytes held; with kChunkOverhead per chunk, never above the bound.
    qint64 byteCount() const;
    qint64 chunkCount() const;
    void clear();

    // One line per kBytesPerLine bytes of a chunk, oldest first, "\r\n" line ends:
    // "2026-12-07T15:04:05.123456Z TX 58 53 ..." (UTC, microseconds; TX host to logger, RX
    // logger to host); a chunk cut into several lines repeats its time stamp and direction.
    static QByteArray formatHex(const std::deque<Chunk> &chunks);

    static int64_t nowNs();
    // ISO 8601 in UTC with microseconds: "2026-12-07T15:04:05.123456Z".
    static QByteArray utcStamp(int64_t ns);

private:
    void pruneLocked(int64_t nowNs);

    const qint64 m_maxBytes;
    const int64_t m_maxAgeNs;
    mutable std::mutex m_mutex;
    std::deque<Chunk> m_chunks;
    qint64 m_bytes = 0;
    qint64 m_cost = 0;
};
