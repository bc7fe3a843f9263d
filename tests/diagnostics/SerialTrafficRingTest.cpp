// The traffic ring on its own: both bounds, the hex form, and recording from the port's two
// worker threads while a bundle takes its copy.

#include "serial/SerialTrafficRing.h"

#include <gtest/gtest.h>
#include <QList>

#include <atomic>
#include <thread>

namespace {
constexpr int64_t kSecond = 1000000000;
const int64_t kT0 = int64_t(1796655845) * kSecond;  // 2026-12-07T15:04:05Z

QByteArray bytes(int n, char first)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(first + i);
    return b;
}
}  // namespace

TEST(SerialTrafficRing, KeepsTheNewestChunksWithinBytesAndAge)
{
    constexpr qint64 kCost = 40 + SerialTrafficRing::kChunkOverhead;
    SerialTrafficRing ring(2 * kCost, 60 * kSecond);
    ring.record(SerialTrafficRing::Sent, bytes(40, 0).constData(), 40, kT0);
    ring.record(SerialTrafficRing::Received, bytes(40, 1).constData(), 40, kT0 + kSecond);
    EXPECT_EQ(ring.byteCount(), 80);
    // A third chunk would exceed the bound by one: the oldest goes, whole.
    ring.record(SerialTrafficRing::Received, bytes(1, 2).constData(), 1, kT0 + 2 * kSecond);
    auto kept = ring.snapshot(kT0 + 2 * kSecond);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept.front().bytes, bytes(40, 1));
    EXPECT_EQ(ring.byteCount(), 41);

    // Exactly at the age bound a chunk stays; one nanosecond later it is gone, from the copy
    // even when nothing new was recorded, and from the ring at the next record.
    EXPECT_EQ(ring.snapshot(kT0 + kSecond + 60 * kSecond).size(), 2u);
    EXPECT_EQ(ring.snapshot(kT0 + kSecond + 60 * kSecond + 1).size(), 1u);
    ring.record(SerialTrafficRing::Sent, "x", 1, kT0 + 200 * kSecond);
    EXPECT_EQ(ring.byteCount(), 1);

    // A chunk larger than the ring keeps its newest bytes only; empty and null chunks are no-ops.
    const QByteArray big = bytes(300, 0);
    ring.record(SerialTrafficRing::Received, big.constData(), big.size(), kT0 + 201 * kSecond);
    ring.record(SerialTrafficRing::Received, nullptr, 5, kT0 + 201 * kSecond);
    ring.record(SerialTrafficRing::Received, big.constData(), 0, kT0 + 201 * kSecond);
    kept = ring.snapshot(kT0 + 201 * kSecond);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.front().bytes, big.right(int(2 * kCost - SerialTrafficRing::kChunkOverhead)));

    // A line read a byte at a time is bounded by the chunks' cost, not only their payload.
    for (int i = 0; i < 1000; ++i)
        ring.record(SerialTrafficRing::Received, "y", 1, kT0 + 202 * kSecond);
    EXPECT_EQ(ring.chunkCount(), 2 * kCost / (1 + SerialTrafficRing::kChunkOverhead));
}

TEST(SerialTrafficRing, HexLinesCarryTimeDirectionAndEveryByte)
{
    std::deque<SerialTrafficRing::Chunk> chunks;
    chunks.push_back({kT0 + 123456789, SerialTrafficRing::Sent, QByteArray::fromHex("5800ff")});
    // 33 bytes: one full line and one of a single byte.
    chunks.push_back({int64_t(951782400) * kSecond, SerialTrafficRing::Received, bytes(33, 0x10)});
    // Before 1970 (a clock gone wrong) still formats as a date.
    chunks.push_back({-1, SerialTrafficRing::Received, QByteArray("\x0a", 1)});
    const QList<QByteArray> lines = SerialTrafficRing::formatHex(chunks).split('\n');
    ASSERT_EQ(lines.size(), 5);  // four lines and the empty rest after the last line end
    EXPECT_EQ(lines[0], "2026-12-07T15:04:05.123456Z TX 58 00 ff\r");
    // 2000-02-29, a leap day of a century year.
    EXPECT_TRUE(lines[1].startsWith("2000-02-29T00:00:00.000000Z RX 10 11 12"));
    EXPECT_EQ(lines[1].count(' '), 1 + 32);
    EXPECT_EQ(lines[2], "2000-02-29T00:00:00.000000Z RX 30\r");
    EXPECT_EQ(lines[3], "1969-12-31T23:59:59.999999Z RX 0a\r");
    EXPECT_TRUE(lines[4].isEmpty());
}

TEST(SerialTrafficRing, RecordsFromWorkerThreadsWhileCopied)
{
    SerialTrafficRing ring(4096, 3600 * kSecond);
    std::atomic<int> running{2};
    auto worker = [&](SerialTrafficRing::Direction direction) {
        const QByteArray chunk = bytes(17, direction == SerialTrafficRing::Sent ? 'a' : 'A');
        for (int i = 0; i < 2000; ++i)
            ring.record(direction, chunk.constData(), chunk.size());
        --running;
    };
    std::thread reader(worker, SerialTrafficRing::Received);
    std::thread writer(worker, SerialTrafficRing::Sent);
    // Copies taken while both threads record never see a torn chunk or more than the bound.
    do {
        qint64 total = 0;
        for (const auto &c : ring.snapshot()) {
            EXPECT_EQ(c.bytes.size(), 17);
            total += c.bytes.size() + SerialTrafficRing::kChunkOverhead;
        }
        EXPECT_LE(total, 4096);
    } while (running.load() > 0 && !HasFailure());
    reader.join();
    writer.join();
    const qint64 cost = ring.byteCount() + ring.chunkCount() * SerialTrafficRing::kChunkOverhead;
    EXPECT_LE(cost, 4096);
    EXPECT_GT(cost, 4096 - 17 - SerialTrafficRing::kChunkOverhead);
}
