#include "decider/WrappedEllipticalDecider.h"
#include "decider/SampleSmoother.h"
#include "decider/SignalStrengthMeter.h"
#include "SyntheticMagnet.h"

#include <gtest/gtest.h>
#include <QSignalSpy>

#include <cmath>
#include <cstring>

namespace {
using W = WrappedEllipticalDecider;

// Runs the magnet until the wrapper installs learned parameters; returns the samples used.
int learn(W &w, SyntheticMagnet &m, int limit = 40000)
{
    QSignalSpy installed(&w, &W::parametersChanged);
    for (int i = 0; i < limit; ++i) {
        w.addSample(m.next());
        if (installed.count() > 0)
            return i + 1;
    }
    return -1;
}

// Turns the magnet by `turns` revolutions; returns the pulses counted meanwhile.
int turn(W &w, SyntheticMagnet &m, double turns)
{
    const int before = w.pulseCount();
    const double target = m.phase + turns * 2.0 * M_PI * (m.revPerSecond < 0 ? -1 : 1);
    while (m.revPerSecond > 0 ? m.phase < target : m.phase > target)
        w.addSample(m.next());
    return w.pulseCount() - before;
}

// Advances until the decider's angle is near 0 rad on its own (-pi, pi] scale, i.e. as far as
// possible from the wrap line, so that the next segment starts and ends away from it.
void settleAwayFromWrapLine(W &w, SyntheticMagnet &m)
{
    for (int i = 0; i < 4000; ++i) {
        w.addSample(m.next());
        if (std::fabs(w.angleRadians() - float(M_PI)) < 0.2f)
            return;
    }
    FAIL() << "angle never came near the positive axis";
}

}  // namespace

TEST(WrappedEllipticalDecider, WarmUpEndsWithThe196thSample)
{
    W w;
    QSignalSpy updated(&w, &W::deciderUpdated);
    SyntheticMagnet m;
    for (int i = 0; i < 195; ++i)
        w.addSample(m.next());
    EXPECT_EQ(updated.count(), 0);
    {
        std::lock_guard<std::mutex> lock(w.mutex());
        EXPECT_EQ(w.displayPoints().size(), 195);
        EXPECT_EQ(w.pointQuality().newest(), 1.0f);
    }
    w.addSample(m.next());
    EXPECT_EQ(updated.count(), 1);
    for (int i = 0; i < 400; ++i)
        w.addSample(m.next());
    std::lock_guard<std::mutex> lock(w.mutex());
    EXPECT_EQ(w.filteredSamples().size(), 512);
    EXPECT_EQ(w.displayPoints().size(), 512);
    EXPECT_EQ(w.status(), W::DeciderStatus_NotReady);
}

TEST(WrappedEllipticalDecider, PulseCountSetterEmitsOnlyOnChange)
{
    W w;
    QSignalSpy changed(&w, &W::pulseCountChanged);
    w.setPulseCount(0);
    EXPECT_EQ(changed.count(), 0);
    w.setPulseCount(5);
    w.setPulseCount(5);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(w.pulseCount(), 5);
    EXPECT_EQ(w.algorithm(), Network::Algorithm::Elliptical);
    EXPECT_EQ(w.learningPercent(), 0.f);
    EXPECT_TRUE(w.error().isEmpty());
}

TEST(WrappedEllipticalDecider, AutoCalibrationCountsTrueRevolutions)
{
    for (double speed : {2.0, -1.5}) {
        SCOPED_TRACE(speed);
        W w;
        SyntheticMagnet m;
        m.revPerSecond = speed;
        QSignalSpy pulsed(&w, &W::pulsed);
        w.setAutoCalibrate(true);
        EXPECT_EQ(w.status(), W::DeciderStatus_LearningParameters);
        ASSERT_GT(learn(w, m), 0);
        EXPECT_EQ(w.status(), W::DeciderStatus_Running);
        EXPECT_EQ(w.pulseCount(), 0);
        EXPECT_GT(w.innerRadius(), 10.f);
        EXPECT_GT(w.outerRadius(), w.innerRadius());

        // First revolutions after learning: the tracker may have to record the direction first,
        // so one wrap can go uncounted (never an extra one).
        const int first = turn(w, m, 3.0);
        EXPECT_GE(first, 2);
        EXPECT_LE(first, 3);
        // From then on every revolution counts, exactly.
        settleAwayFromWrapLine(w, m);
        EXPECT_EQ(turn(w, m, 10.0), 10);
        EXPECT_EQ(turn(w, m, 7.0), 7);
        EXPECT_EQ(pulsed.count(), w.pulseCount());
        // Pulses carry the sample's own timestamp.
        EXPECT_EQ(pulsed.last().at(0).value<int64_t>() % 2500000, 0);
        EXPECT_EQ(w.status(), W::DeciderStatus_Running);
    }
}

TEST(WrappedEllipticalDecider, ReversalsNeverDoubleCount)
{
    W w;
    SyntheticMagnet m;
    m.noise = 20.0;
    w.setAutoCalibrate(true);
    ASSERT_GT(learn(w, m), 0);
    turn(w, m, 2.0);
    settleAwayFromWrapLine(w, m);
    // Forward 5, back 3 (the first backward wrap only records the new direction), forward 4
    // (likewise); every turnaround is half a revolution from the wrap line.
    EXPECT_EQ(turn(w, m, 5.0), 5);
    m.revPerSecond = -m.revPerSecond;
    EXPECT_EQ(turn(w, m, 3.0), 2);
    m.revPerSecond = -m.revPerSecond;
    EXPECT_EQ(turn(w, m, 4.0), 3);
    // Rocking back and forth by less than a revolution around the wrap line adds nothing after
    // the first crossing.
    turn(w, m, 0.5);
    const int before = w.pulseCount();
    for (int i = 0; i < 6; ++i) {
        m.revPerSecond = -m.revPerSecond;
        turn(w, m, 0.3);
    }
    EXPECT_LE(w.pulseCount() - before, 1);
}

TEST(WrappedEllipticalDecider, StillSensorKeepsLearning)
{
    W w;
    SyntheticMagnet m;
    m.revPerSecond = 0.0;
    m.noise = 20.0;
    QSignalSpy installed(&w, &W::parametersChanged);
    w.setAutoCalibrate(true);
    for (int i = 0; i < 20000; ++i)
        w.addSample(m.next());
    EXPECT_EQ(installed.count(), 0);
    EXPECT_EQ(w.status(), W::DeciderStatus_LearningParameters);
    EXPECT_EQ(w.pulseCount(), 0);
}

TEST(WrappedEllipticalDecider, TooSmallSignalIsRejected)
{
    W w;
    SyntheticMagnet m;
    // 6.5 units across in the plane: enough spread to collect, too small a sphere to learn.
    m.semiA = 65.0;
    m.semiB = 60.0;
    m.noise = 0.0;
    m.revPerSecond = 20.0;
    QSignalSpy installed(&w, &W::parametersChanged);
    w.setAutoCalibrate(true);
    for (int i = 0; i < 30000; ++i)
        w.addSample(m.next());
    EXPECT_EQ(installed.count(), 0);
    EXPECT_EQ(w.liveDecider().status(), 0);
}

TEST(WrappedEllipticalDecider, SerializeLayoutAndRoundTrip)
{
    W w;
    SyntheticMagnet m;
    w.setAutoCalibrate(true);
    ASSERT_GT(learn(w, m), 0);
    const QByteArray packet = w.serialize();
    ASSERT_EQ(packet.size(), 138);
    const auto *b = reinterpret_cast<const uint8_t *>(packet.constData());
    EXPECT_EQ(b[0] | (b[1] << 8), 20568);
    for (int i = 2; i < 10; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::memcmp(b + 10, &w.liveDecider().parameters(), 88), 0);
    EXPECT_EQ(b[98], 1);
    for (int i = 102; i < 106; ++i)
        EXPECT_EQ(b[i], 0xFF) << i;
    for (int i = 106; i < 138; ++i)
        EXPECT_EQ(b[i], 0) << i;

    W other;
    QSignalSpy changed(&other, &W::parametersChanged);
    ASSERT_TRUE(other.deserialize(packet));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(other.serialize(), packet);
    EXPECT_EQ(other.status(), W::DeciderStatus_Running);
    // The copy counts the same magnet.
    SyntheticMagnet copy = m;
    settleAwayFromWrapLine(w, m);
    settleAwayFromWrapLine(other, copy);
    turn(other, copy, 3.0);  // past the warm-up, direction settled
    settleAwayFromWrapLine(other, copy);
    EXPECT_EQ(turn(other, copy, 5.0), 5);
}

TEST(WrappedEllipticalDecider, DeserializeRefusesBadPackets)
{
    W w;
    EllipticalParameters p;
    p.centerX = 12.f;
    p.innerRadius = 20.f;
    p.outerRadius = 30.f;
    QByteArray packet(138, '\0');
    std::memcpy(packet.data() + 10, &p, 88);
    packet[98] = 1;

    // Result field non-zero: nothing changes.
    QByteArray failed = packet;
    failed[8] = 3;
    EXPECT_FALSE(w.deserialize(failed));
    EXPECT_EQ(w.liveDecider().status(), 0);
    EXPECT_EQ(w.center().x, 0.f);
    // Too short to hold block and status: nothing changes, nothing read past the end.
    EXPECT_FALSE(w.deserialize(packet.left(101)));
    EXPECT_FALSE(w.deserialize(QByteArray()));
    EXPECT_EQ(w.liveDecider().status(), 0);
    // 102 bytes are enough.
    EXPECT_TRUE(w.deserialize(packet.left(102)));
    EXPECT_EQ(w.center().x, 12.f);
    EXPECT_EQ(w.innerRadius(), 20.f);
    EXPECT_EQ(w.status(), W::DeciderStatus_Running);

    // A status word of 0 installs the parameters but reads as not ready (or learning).
    packet[98] = 0;
    p.centerX = 5.f;
    std::memcpy(packet.data() + 10, &p, 88);
    EXPECT_TRUE(w.deserialize(packet));
    EXPECT_EQ(w.center().x, 5.f);
    EXPECT_EQ(w.status(), W::DeciderStatus_NotReady);
    w.beginLearningParameters();
    EXPECT_EQ(w.status(), W::DeciderStatus_LearningParameters);

    // shiftCenter and reset act on the live decider only.
    packet[98] = 1;
    EXPECT_TRUE(w.deserialize(packet));
    EXPECT_EQ(w.status(), W::DeciderStatus_RunningBackgroundLearning);
    w.shiftCenter(1.f, 0.f, 0.f);
    EXPECT_FLOAT_EQ(w.center().x, 4.f);
    w.setPulseCount(3);
    w.reset();
    EXPECT_EQ(w.liveDecider().status(), 0);
    EXPECT_EQ(w.pulseCount(), 3);
}

TEST(WrappedEllipticalDecider, AutoCalibrateOffStopsLearningButKeepsParameters)
{
    W w;
    SyntheticMagnet m;
    QSignalSpy toggled(&w, &W::autoCalibrateChanged);
    w.setAutoCalibrate(true);
    w.setAutoCalibrate(true);
    EXPECT_EQ(toggled.count(), 1);
    ASSERT_GT(learn(w, m), 0);
    w.beginLearningParameters();
    EXPECT_EQ(w.status(), W::DeciderStatus_RunningBackgroundLearning);
    w.setAutoCalibrate(false);
    EXPECT_EQ(w.status(), W::DeciderStatus_Running);
    EXPECT_EQ(toggled.count(), 2);
    // Without auto-calibration an unhealthy decider is not relearned.
    w.reset();
    for (int i = 0; i < 3000; ++i)
        w.addSample(m.next());
    EXPECT_EQ(w.status(), W::DeciderStatus_NotReady);
}

TEST(WrappedEllipticalDecider, RelearnsWhenTheMagnetMoves)
{
    W w;
    SyntheticMagnet m;
    w.setAutoCalibrate(true);
    ASSERT_GT(learn(w, m), 0);
    const float oldInner = w.innerRadius();
    // The meter is remounted: a bigger ellipse elsewhere. Samples stop pulsing or go bad, the
    // trigger fires and the new geometry wins the vote.
    m.offset[0] += 900.0;
    m.semiA = 700.0;
    m.semiB = 500.0;
    QSignalSpy installed(&w, &W::parametersChanged);
    for (int i = 0; i < 60000 && installed.count() == 0; ++i)
        w.addSample(m.next());
    ASSERT_EQ(installed.count(), 1);
    EXPECT_GT(w.innerRadius(), oldInner);
    settleAwayFromWrapLine(w, m);
    turn(w, m, 1.0);
    settleAwayFromWrapLine(w, m);
    EXPECT_EQ(turn(w, m, 6.0), 6);
}

TEST(SampleSmoother, FirstSampleIsPassedThroughAndBackwardsTimeUsesTheMinimumStep)
{
    SampleSmoother a;
    const float3 first = a.update({10.f, 20.f, 30.f}, 1000000000);
    EXPECT_EQ(first.x, 10.f);
    EXPECT_EQ(first.z, 30.f);
    const float3 back = a.update({20.f, 0.f, 30.f}, 1000000000 - 5000000000LL);
    SampleSmoother b;
    b.update({10.f, 20.f, 30.f}, 1000000000);
    const float3 tiny = b.update({20.f, 0.f, 30.f}, 1000000000 + 10000);  // exactly 1e-5 s
    EXPECT_EQ(back.x, tiny.x);
    EXPECT_EQ(back.y, tiny.y);
    // A step moves the estimate part of the way, towards the measurement.
    EXPECT_GT(back.x, 10.f);
    EXPECT_LT(back.x, 20.f);
    // Gaps above one second are treated as one second.
    SampleSmoother c, d;
    c.update({0.f, 0.f, 0.f}, 1);
    d.update({0.f, 0.f, 0.f}, 1);
    EXPECT_EQ(c.update({50.f, 0, 0}, 1 + 1000000000LL).x, d.update({50.f, 0, 0}, 1 + 3600 * 1000000000LL).x);
}

TEST(SignalStrengthMeter, ChangesEverySixteenthSampleAndStaysAtMostOne)
{
    // A small loop (radius 6 units) gives a middling strength that moves with the signal.
    SignalStrengthMeter meter;
    float last = meter.value();
    int changes = 0;
    for (int i = 0; i < 4000; ++i) {
        const float a = float(i) * 0.07f;
        const float r = i < 2000 ? 6.f : 3.f;
        const float v = meter.update({r * std::cos(a), r * std::sin(a), 0.f});
        if (v != last) {
            EXPECT_EQ(i % 16, 0) << i;
            ++changes;
        }
        EXPECT_GT(v, 0.f);
        EXPECT_LT(v, 1.0f);
        last = v;
    }
    EXPECT_GT(changes, 100);

    // A strong signal saturates at exactly 1.
    SignalStrengthMeter strong;
    for (int i = 0; i < 1000; ++i) {
        const float a = float(i) * 0.05f;
        EXPECT_LE(strong.update({500.f * std::cos(a), 500.f * std::sin(a), 0.f}), 1.0f);
    }
    EXPECT_EQ(strong.value(), 1.0f);

    // A constant signal decays towards the floor.
    SignalStrengthMeter still;
    for (int i = 0; i < 16 * 64; ++i)
        still.update({100.f, 100.f, 100.f});
    EXPECT_LT(still.value(), 0.01f);
}
