#include "decider/EllipticalDecider.h"
#include "decider/Matrix3.h"
#include "decider/RevolutionTracker.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
constexpr float kPi = 3.14159265f;

// Parameters for a circle of the given radius around the origin in the x-y plane, inner radius
// `inner`; the basis is the identity so x' = x and y' = y.
EllipticalParameters flatCircle(float inner, float outer)
{
    EllipticalParameters p;
    p.innerRadius = inner;
    p.outerRadius = outer;
    p.zMid = 0.f;
    p.zScale = 1.f / 5.f;  // |z| up to 5.25 is still on the plane
    return p;
}

float3 onCircle(float radius, float angle, float z = 0.f)
{
    return {radius * std::cos(angle), radius * std::sin(angle), z};
}
}  // namespace

TEST(RevolutionTracker, CountsWrapsInTheEstablishedDirection)
{
    // +pi -> -pi is direction 1, the initial one: the very first wrap counts.
    RevolutionTracker t;
    int count = 0;
    for (int rev = 0; rev < 3; ++rev)
        for (float a : {0.5f, 2.0f, 3.0f, -3.0f, -2.0f, -0.5f})
            count += t.update(a) ? 1 : 0;
    EXPECT_EQ(count, 3);

    // The other way round the first wrap only records the new direction.
    RevolutionTracker back;
    count = 0;
    for (int rev = 0; rev < 3; ++rev)
        for (float a : {-0.5f, -2.0f, -3.0f, 3.0f, 2.0f, 0.5f})
            count += back.update(a) ? 1 : 0;
    EXPECT_EQ(count, 2);
    EXPECT_EQ(back.direction(), 0);
}

TEST(RevolutionTracker, JitterAcrossTheWrapLineCountsAtMostOnce)
{
    RevolutionTracker t;
    int count = 0;
    for (int i = 0; i < 20; ++i) {
        count += t.update(3.1f) ? 1 : 0;
        count += t.update(-3.1f) ? 1 : 0;
    }
    // The first +pi -> -pi crossing matches the initial direction; every later back-and-forth
    // only flips the recorded direction.
    EXPECT_EQ(count, 1);

    RevolutionTracker startingBackwards;
    count = 0;
    for (int i = 0; i < 20; ++i) {
        count += startingBackwards.update(-3.1f) ? 1 : 0;
        count += startingBackwards.update(3.1f) ? 1 : 0;
    }
    EXPECT_EQ(count, 0);
}

TEST(RevolutionTracker, CrossingThePositiveAxisNeverCounts)
{
    RevolutionTracker t;
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(t.update(0.3f));
        EXPECT_FALSE(t.update(-0.3f));
        EXPECT_FALSE(t.update(1.5f));
        EXPECT_FALSE(t.update(-1.5f));
    }
    // Exactly pi/2 on one side is still the positive half.
    EXPECT_FALSE(t.update(1.5707964f));
    EXPECT_FALSE(t.update(-3.0f));
}

TEST(EllipticalDecider, InitialStateAndReset)
{
    EllipticalDecider d;
    EXPECT_EQ(d.status(), 0);
    EXPECT_EQ(d.deadZoneRadiusSq(), 9.f);
    EXPECT_EQ(d.innerLimitSq(), 0.f);
    EXPECT_EQ(d.outerLimitSq(), 3.4028235e38f);
    // Without parameters the sample is passed through unprojected and nothing counts.
    EXPECT_EQ(d.addSample({10.f, 20.f, 30.f}), Decider::AddResult_Processed);
    EXPECT_EQ(d.projected().x, 10.f);
    EXPECT_EQ(d.projected().z, 30.f);

    EllipticalParameters p = flatCircle(20.f, 30.f);
    p.zMid = 3.f;
    p.zScale = 0.25f;
    p.centerX = 7.f;
    d.setParameters(p);
    EXPECT_EQ(d.status(), 1);
    EXPECT_FLOAT_EQ(d.deadZoneRadiusSq(), (0.70710677f * 20.f) * (0.70710677f * 20.f));
    EXPECT_FLOAT_EQ(d.innerLimitSq(), 18.f * 18.f);
    EXPECT_FLOAT_EQ(d.outerLimitSq(), 33.f * 33.f);
    EXPECT_EQ(d.reset(), 1);
    EXPECT_EQ(d.status(), 0);
    EXPECT_EQ(d.parameters().centerX, 0.f);
    EXPECT_EQ(d.parameters().innerRadius, 1.f);
    // zMid and zScale survive a reset.
    EXPECT_EQ(d.parameters().zMid, 3.f);
    EXPECT_EQ(d.parameters().zScale, 0.25f);

    // A small inner radius keeps the dead zone at radius 3.
    d.setParameters(flatCircle(2.f, 30.f));
    EXPECT_EQ(d.deadZoneRadiusSq(), 9.f);
}

TEST(EllipticalDecider, CountsRevolutionsAndTracksMoves)
{
    EllipticalDecider d;
    d.setParameters(flatCircle(20.f, 30.f));
    int pulses = 0;
    const int steps = 36;
    for (int rev = 0; rev < 5; ++rev)
        for (int i = 1; i <= steps; ++i) {
            const auto r = d.addSample(onCircle(25.f, 2.f * kPi * float(i) / steps + 0.05f));
            pulses += r == Decider::AddResult_Pulse ? 1 : 0;
            const float a = d.angleRadians();
            EXPECT_GE(a, 0.f);
            EXPECT_LE(a, 2.f * kPi + 1e-6f);
        }
    EXPECT_EQ(pulses, 5);
    EXPECT_EQ(d.badPointCount(), 0u);
    // A pulse clears the move counter; samples since the last wrap are counted.
    EXPECT_LT(d.movesSinceLastPulse(), uint32_t(steps));
}

TEST(EllipticalDecider, DeadZoneChangesNothing)
{
    EllipticalDecider d;
    d.setParameters(flatCircle(2.f, 30.f));  // dead zone radius 3
    d.addSample(onCircle(25.f, 2.5f));
    const float angle = d.angleRadians();
    const uint32_t moves = d.movesSinceLastPulse();
    // Big jumps inside the dead zone: moving samples, yet neither the angle nor any counter.
    for (float a : {-2.5f, 0.f, 2.9f, -2.9f, 1.f}) {
        EXPECT_EQ(d.addSample(onCircle(2.9f, a, 40.f * a)), Decider::AddResult_Processed);
        EXPECT_TRUE(d.inDeadZone());
        EXPECT_FALSE(d.badPoint());
        EXPECT_EQ(d.angleRadians(), angle);
        EXPECT_EQ(d.movesSinceLastPulse(), moves);
        EXPECT_EQ(d.badPointCount(), 0u);
    }
    // Just outside radius 3 the sample is processed again.
    d.addSample(onCircle(3.1f, -2.5f));
    EXPECT_FALSE(d.inDeadZone());
    EXPECT_NE(d.angleRadians(), angle);
}

TEST(EllipticalDecider, StillSampleCompletingAWrapStillPulses)
{
    EllipticalDecider d;
    d.setParameters(flatCircle(20.f, 30.f));
    d.addSample(onCircle(25.f, 3.1f));  // moving (far from the origin), angle just below pi
    const uint32_t moves = d.movesSinceLastPulse();
    ASSERT_GT(moves, 0u);
    // 0.08 rad further at radius 25 is 2 units: within 4.33, so still, but across the wrap line.
    EXPECT_EQ(d.addSample(onCircle(25.f, 3.18f)), Decider::AddResult_Pulse);
    EXPECT_EQ(d.movesSinceLastPulse(), moves);
    // A still sample without a wrap reports Still.
    EXPECT_EQ(d.addSample(onCircle(25.f, 3.2f)), Decider::AddResult_Still);
}

TEST(EllipticalDecider, BadPointsOffThePlaneOrOutsideTheLimits)
{
    EllipticalDecider d;
    d.setParameters(flatCircle(20.f, 30.f));
    float angle = 0.f;
    auto feed = [&](float radius, float z) {
        angle += 0.5f;  // far enough to be moving
        d.addSample(onCircle(radius, angle, z));
        return d.badPoint();
    };
    EXPECT_FALSE(feed(25.f, 0.f));
    EXPECT_FALSE(feed(25.f, 5.2f));  // |z * 0.2| = 1.04
    EXPECT_TRUE(feed(25.f, 5.3f));   // 1.06 > 1.05
    EXPECT_TRUE(feed(17.f, 0.f));    // inside 0.9 x inner radius
    EXPECT_TRUE(feed(34.f, 0.f));    // outside 1.1 x outer radius
    EXPECT_FALSE(feed(32.f, 0.f));
    EXPECT_EQ(d.badPointCount(), 3u);
    // Installing parameters again clears the counters but keeps the tracker.
    const float a = d.angleRadians();
    d.setParameters(flatCircle(20.f, 30.f));
    EXPECT_EQ(d.badPointCount(), 0u);
    EXPECT_EQ(d.movesSinceLastPulse(), 0u);
    EXPECT_EQ(d.angleRadians(), a);
}

TEST(EllipticalDecider, ShiftCenterMovesAlongTheBasis)
{
    EllipticalDecider d;
    EllipticalParameters p;
    // u = (0, 1, 0), v = (0, 0, 1), w = (1, 0, 0) as columns.
    const float basis[9] = {0, 0, 1, 1, 0, 0, 0, 1, 0};
    std::copy(basis, basis + 9, p.basis);
    p.centerX = 1.f;
    p.centerY = 2.f;
    p.centerZ = 3.f;
    d.setParameters(p);
    d.shiftCenter(10.f, 20.f, 30.f);  // center - (10 u + 20 v + 30 w)
    EXPECT_FLOAT_EQ(d.parameters().centerX, 1.f - 30.f);
    EXPECT_FLOAT_EQ(d.parameters().centerY, 2.f - 10.f);
    EXPECT_FLOAT_EQ(d.parameters().centerZ, 3.f - 20.f);

    // A singular basis cannot be inverted: the center stays rather than turning into NaN.
    EllipticalParameters zero;
    std::fill(zero.basis, zero.basis + 9, 0.f);
    d.setParameters(zero);
    d.shiftCenter(1.f, 1.f, 1.f);
    EXPECT_EQ(d.parameters().centerX, 0.f);
}

TEST(EllipticalDecider, UnknownStatusStillCountsWithoutTouchingCounters)
{
    EllipticalDecider d;
    d.setParameters(flatCircle(20.f, 30.f));
    d.setStatus(7);  // as a logger packet may carry
    int pulses = 0;
    for (int i = 1; i <= 72; ++i)
        pulses += d.addSample(onCircle(25.f, 2.f * kPi * float(i) / 36.f + 0.05f)) == Decider::AddResult_Pulse ? 1 : 0;
    EXPECT_EQ(pulses, 2);
    EXPECT_EQ(d.movesSinceLastPulse(), 0u);
    EXPECT_EQ(d.badPointCount(), 0u);
}

TEST(Matrix3, InverseByCofactors)
{
    const float rows[9] = {2, 0, 1, 1, 3, 0, 0, 1, 4};
    const Matrix3 m = Matrix3::fromRows(rows);
    Matrix3 inv;
    ASSERT_TRUE(m.inverse(&inv));
    const float3 v{1.f, -2.f, 0.5f};
    const float3 back = inv.mul(m.mul(v));
    EXPECT_NEAR(back.x, v.x, 1e-5f);
    EXPECT_NEAR(back.y, v.y, 1e-5f);
    EXPECT_NEAR(back.z, v.z, 1e-5f);
    const float singular[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    EXPECT_FALSE(Matrix3::fromRows(singular).inverse(&inv));
}
