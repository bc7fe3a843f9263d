#include "sim/MagnetModel.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

namespace {
double distance(const XyzSample &s, const MagnetParameters &p)
{
    const double dx = s.x - p.offsetX, dy = s.y - p.offsetY, dz = s.z - p.offsetZ;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The reader's side of a 520-byte sample block, written from the block's description.
std::vector<XyzSampleTimestamped> decodeBlock(const QByteArray &block)
{
    std::vector<XyzSampleTimestamped> out;
    const auto *p = reinterpret_cast<const uchar *>(block.constData());
    if (block.size() != 520 || qFromLittleEndian<quint32>(p) != 0x2B947815u || p[4] != 0)
        return out;
    int64_t t = qFromLittleEndian<qint64>(p + 8);
    for (int i = 0; i < 57; ++i) {
        const uchar *e = p + 60 + 8 * i;
        t += (int64_t(qFromLittleEndian<quint16>(e + 6)) * 1953125) >> 1;
        XyzSampleTimestamped s;
        s.x = qFromLittleEndian<qint16>(e);
        s.y = qFromLittleEndian<qint16>(e + 2);
        s.z = qFromLittleEndian<qint16>(e + 4);
        s.timestamp = t;
        out.push_back(s);
    }
    return out;
}
}  // namespace

TEST(MagnetModel, NoiseFreeFieldTracesTheTiltedEllipseAroundTheOffset)
{
    MagnetParameters p;
    p.noise = 0;
    MagnetModel m(p);
    double nearest = 1e9, farthest = 0;
    for (int i = 0; i < 360; ++i) {
        const XyzSample s = m.fieldAtPhase(i / 360.0);
        nearest = std::min(nearest, distance(s, p));
        farthest = std::max(farthest, distance(s, p));
        // Opposite phases are symmetric about the offset.
        const XyzSample o = m.fieldAtPhase(i / 360.0 + 0.5);
        EXPECT_NEAR(s.x + o.x, 2 * p.offsetX, 2);
        EXPECT_NEAR(s.y + o.y, 2 * p.offsetY, 2);
        EXPECT_NEAR(s.z + o.z, 2 * p.offsetZ, 2);
    }
    EXPECT_NEAR(nearest, p.radiusB, 2);
    EXPECT_NEAR(farthest, p.radiusA, 2);
    // The tilt moves the field out of the horizontal plane.
    const XyzSample quarter = m.fieldAtPhase(0.25);
    EXPECT_NEAR(quarter.z - p.offsetZ, p.radiusB * std::sin(p.tiltDegrees * M_PI / 180), 2);
}

TEST(MagnetModel, RevolutionsFollowRateChangesContinuously)
{
    MagnetParameters p;
    p.revPerSecond = 1.5;
    MagnetModel m(p);
    m.advanceTo(10.0);
    EXPECT_NEAR(m.revolutions(), 15.0, 1e-9);
    m.setRevPerSecond(-0.5);
    m.sampleAt(14.0);
    EXPECT_NEAR(m.revolutions(), 13.0, 1e-9);
    m.advanceTo(12.0);  // the past: nothing turns back
    EXPECT_NEAR(m.revolutions(), 13.0, 1e-9);
    EXPECT_EQ(m.completeRevolutions(), 13);

    // Counting the passes through phase 0 in the measured field gives the same number.
    p.noise = 0;
    p.revPerSecond = 2.0;
    MagnetModel counted(p);
    const XyzSample start = counted.fieldAtPhase(0.0);
    int passes = 0;
    bool near = true;
    for (int i = 1; i <= 400 * 5; ++i) {
        const XyzSample s = counted.sampleAt(i / 400.0);
        const double d = std::hypot(std::hypot(s.x - start.x, s.y - start.y), s.z - start.z);
        if (!near && d < 100)
            ++passes;
        near = d < 100 ? true : (d > 500 ? false : near);
    }
    EXPECT_EQ(passes, 10);
    EXPECT_NEAR(counted.revolutions(), 10.0, 1e-6);

    // Samples taken late (a FIFO drained after the device's thread stalled) measure the field
    // at their own times, exactly as if they had been taken on time.
    MagnetModel onTime(p), late(p);
    late.advanceTo(1.0);
    for (int i = 0; i < 100; ++i) {
        const double at = 0.8 + i * 0.0025;  // 0.8 .. 1.0475 s, the first 80 in the past
        EXPECT_TRUE(late.sampleAt(at) == onTime.sampleAt(at)) << at;
    }
    EXPECT_NEAR(late.revolutions(), onTime.revolutions(), 1e-9);
}

TEST(MagnetModel, NoiseIsSeededAndOfTheGivenSize)
{
    MagnetParameters p;
    p.revPerSecond = 0;
    p.noise = 20;
    MagnetModel a(p, 3), b(p, 3), c(p, 4);
    const XyzSample clean = a.fieldAtPhase(0);
    double sum2 = 0;
    bool differs = false;
    for (int i = 0; i < 2000; ++i) {
        const XyzSample sa = a.sampleAt(i), sb = b.sampleAt(i), sc = c.sampleAt(i);
        EXPECT_TRUE(sa == sb);
        differs = differs || !(sa == sc);
        sum2 += double(sa.x - clean.x) * (sa.x - clean.x);
    }
    EXPECT_TRUE(differs);
    EXPECT_NEAR(std::sqrt(sum2 / 2000), 20.0, 2.0);
}

TEST(MagnetModel, SampleBlockDecodesToTheSamplesWithinOneTick)
{
    MagnetModel m;
    std::vector<XyzSampleTimestamped> samples;
    const int64_t base = 1772323200000000000;
    for (int i = 0; i < 57; ++i) {
        XyzSampleTimestamped s;
        const XyzSample f = m.sampleAt(i / 400.0);
        s.x = f.x;
        s.y = f.y;
        s.z = f.z;
        s.timestamp = base + int64_t(i) * 2500000 + (i > 0 ? 1000000 : 0);  // first step is bigger
        samples.push_back(s);
    }
    const QByteArray block = MagnetModel::encodeSampleBlock(base, samples);
    const auto decoded = decodeBlock(block);
    ASSERT_EQ(decoded.size(), 57u);
    for (size_t i = 0; i < 57; ++i) {
        EXPECT_TRUE(decoded[i].sample() == samples[i].sample()) << i;
        // Steps are 1/1024 s, and errors must not add up along the block.
        const int64_t got = decoded[i].timestamp, wanted = samples[i].timestamp;  // packed fields
        EXPECT_LE(std::llabs(got - wanted), 488282) << i;
    }

    // A short block repeats its last sample with zero steps.
    const auto shortBlock = decodeBlock(MagnetModel::encodeSampleBlock(base, {samples[0], samples[1]}));
    ASSERT_EQ(shortBlock.size(), 57u);
    EXPECT_TRUE(shortBlock[56].sample() == samples[1].sample());
    const int64_t last = shortBlock[56].timestamp, second = shortBlock[1].timestamp;
    EXPECT_EQ(last, second);
}
