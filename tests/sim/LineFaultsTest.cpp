#include "sim/LineFaults.h"

#include <gtest/gtest.h>

#include <bitset>

namespace {
constexpr int64_t kMs = 1000000;

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(i * 7 + 3);
    return b;
}
}  // namespace

TEST(LineFaults, CleanLinePassesEverythingAtOnceInOrder)
{
    LineFaults line;
    const QByteArray data = pattern(5000);
    line.push(data.left(2000), 1000);
    line.push(data.mid(2000), 1000);
    EXPECT_EQ(line.nextDueNs(), 1000);
    EXPECT_EQ(line.takeDue(1000), data);
    EXPECT_TRUE(line.isEmpty());
    EXPECT_EQ(line.nextDueNs(), -1);
}

TEST(LineFaults, ThrottlePacesBytesAtTheBaudRate)
{
    LineFaultConfig c;
    c.baudLimit = 115200;
    LineFaults line(c);
    // 1152 bytes of 10 bits at 115200 baud take exactly 100 ms.
    line.push(pattern(1152), 0, 10);
    EXPECT_TRUE(line.takeDue(86000).isEmpty());  // one byte needs 86.8 us
    EXPECT_EQ(line.takeDue(50 * kMs).size(), 576);
    EXPECT_EQ(line.takeDue(100 * kMs - 10000).size(), 575);
    EXPECT_EQ(line.takeDue(100 * kMs).size(), 1);

    // A second burst queues behind the first, not beside it; with parity a byte is 11 bits.
    LineFaults parity(c);
    parity.push(pattern(1152), 0, 11);
    parity.push(pattern(1152), 0, 11);
    EXPECT_EQ(parity.takeDue(110 * kMs).size(), 1152);
    EXPECT_EQ(parity.takeDue(220 * kMs).size(), 1152);

    // An idle line does not bank time: a push after a pause starts from the push.
    line.push(pattern(1), 500 * kMs, 10);
    EXPECT_TRUE(line.takeDue(500 * kMs).isEmpty());
    EXPECT_EQ(line.takeDue(500 * kMs + 90000).size(), 1);
    EXPECT_EQ(line.deliveredBytes(), 1153u) << "only bytes that came out count";
}

TEST(LineFaults, DropsAreSeededAndKeepTheRestInOrder)
{
    LineFaultConfig c;
    c.dropProbability = 0.1;
    c.seed = 42;
    const QByteArray data = pattern(20000);
    LineFaults a(c), b(c);
    a.push(data, 0);
    b.push(data, 0);
    const QByteArray outA = a.takeDue(0);
    EXPECT_EQ(outA, b.takeDue(0)) << "same seed, same faults";
    EXPECT_EQ(uint64_t(data.size() - outA.size()), a.droppedBytes());
    EXPECT_EQ(uint64_t(outA.size()), a.deliveredBytes());
    EXPECT_GT(a.droppedBytes(), 1600u);
    EXPECT_LT(a.droppedBytes(), 2400u);
    // What arrives is the original with gaps: a subsequence.
    int j = 0;
    for (int i = 0; i < data.size() && j < outA.size(); ++i)
        if (data[i] == outA[j])
            ++j;
    EXPECT_EQ(j, outA.size());

    c.seed = 43;
    LineFaults other(c);
    other.push(data, 0);
    EXPECT_NE(other.takeDue(0), outA);

    c.dropProbability = 1.0;
    LineFaults all(c);
    all.push(data, 0);
    EXPECT_TRUE(all.takeDue(0).isEmpty());
}

TEST(LineFaults, CorruptionFlipsExactlyOneBitPerSpoiledByte)
{
    LineFaultConfig c;
    c.corruptProbability = 0.05;
    c.seed = 7;
    LineFaults line(c);
    const QByteArray data = pattern(10000);
    line.push(data, 0);
    const QByteArray out = line.takeDue(0);
    ASSERT_EQ(out.size(), data.size());
    uint64_t spoiled = 0;
    for (int i = 0; i < data.size(); ++i) {
        const auto diff = std::bitset<8>(uint8_t(data[i] ^ out[i])).count();
        ASSERT_LE(diff, 1u);
        spoiled += diff;
    }
    EXPECT_EQ(spoiled, line.corruptedBytes());
    EXPECT_GT(spoiled, 350u);
    EXPECT_LT(spoiled, 650u);
}

TEST(LineFaults, StallsHoldBackEverythingBehindThem)
{
    LineFaultConfig c;
    c.delayProbability = 1.0;
    c.delayMs = 5;
    LineFaults line(c);
    line.push(pattern(3), 0);
    EXPECT_TRUE(line.takeDue(5 * kMs - 1).isEmpty());
    EXPECT_EQ(line.takeDue(5 * kMs), pattern(1));
    EXPECT_EQ(line.nextDueNs(), 10 * kMs);
    EXPECT_EQ(line.takeDue(15 * kMs), pattern(3).mid(1));

    line.push(pattern(10), 20 * kMs);
    line.clear();
    EXPECT_TRUE(line.isEmpty());
    EXPECT_TRUE(line.takeDue(INT64_MAX).isEmpty());
}
