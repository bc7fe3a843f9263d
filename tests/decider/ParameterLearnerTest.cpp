#include "decider/ParameterLearner.h"
#include "MessageCapture.h"
#include "SyntheticMagnet.h"

#include <gtest/gtest.h>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cmath>
#include <cstring>
#include <vector>

namespace {
using Learner = ParameterLearner;

Learner::Sample toSample(float x, float y, float z)
{
    Learner::Sample s;
    s.x = x;
    s.y = y;
    s.z = z;
    return s;
}

// Smoothing aside, what the wrapper hands the learner: raw counts times 0.1.
std::vector<Learner::Sample> magnetSamples(SyntheticMagnet m, int count)
{
    std::vector<Learner::Sample> out;
    for (int i = 0; i < count; ++i) {
        const auto s = m.next();
        out.push_back(toSample(s.x * 0.1f, s.y * 0.1f, s.z * 0.1f));
    }
    return out;
}

// Feeds samples until the learner finishes; returns how many were consumed (-1: never).
int runToEnd(Learner &l, const std::vector<Learner::Sample> &samples, uint8_t abortFlag = 0)
{
    for (size_t i = 0; i < samples.size(); ++i) {
        auto r = l.step(samples[i], abortFlag);
        while (r == Learner::LearnerStep_Continue)
            r = l.step(samples[i], abortFlag);
        if (r == Learner::LearnerStep_Finished)
            return int(i) + 1;
    }
    return -1;
}

// Samples alternating between two points 2r apart: every sphere candidate has radius r.
std::vector<Learner::Sample> twoPoints(float r)
{
    std::vector<Learner::Sample> out;
    for (int i = 0; i < 512; ++i)
        out.push_back(toSample(i % 2 ? r : -r, 0.f, 0.f));
    return out;
}

bool sameBytes(const EllipticalParameters &a, const EllipticalParameters &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}
}  // namespace

TEST(ParameterLearner, StartsIdleAndCollectsOnlyMovingSamples)
{
    Learner l;
    EXPECT_EQ(l.stage(), Learner::Stage_Rejected);
    l.beginLearning(nullptr);
    EXPECT_EQ(l.stage(), Learner::Stage_Collect);
    const uint8_t noAbort = 0;

    // The first sample is always stored; a near one is ignored as still.
    EXPECT_EQ(l.step(toSample(0, 0, 0), noAbort), Learner::LearnerStep_NeedSample);
    EXPECT_EQ(l.lastCollectResult(), 1);
    EXPECT_EQ(l.step(toSample(10.f, 0, 0), noAbort), Learner::LearnerStep_NeedSample);
    EXPECT_EQ(l.storedCount(), 2);
    EXPECT_EQ(l.step(toSample(15.7f, 0, 0), noAbort), Learner::LearnerStep_NeedSample);
    EXPECT_EQ(l.lastCollectResult(), 2);  // 5.7 from the last stored sample: still
    EXPECT_EQ(l.storedCount(), 2);
    // One still sample after a stored run: the next moving sample is stored.
    l.step(toSample(20.f, 0, 0), noAbort);
    EXPECT_EQ(l.storedCount(), 3);
    // Two still samples in a row: the first moving one is dropped, the second stored.
    l.step(toSample(21.f, 1, 0), noAbort);
    l.step(toSample(21.f, 2, 0), noAbort);
    l.step(toSample(40.f, 0, 0), noAbort);
    EXPECT_EQ(l.lastCollectResult(), 1);
    EXPECT_EQ(l.storedCount(), 3);
    l.step(toSample(60.f, 0, 0), noAbort);
    EXPECT_EQ(l.storedCount(), 4);
    // A lone still sample right after the first stored one also drops the next mover.
    Learner fresh;
    fresh.beginLearning(nullptr);
    fresh.step(toSample(0, 0, 0), noAbort);
    fresh.step(toSample(1, 0, 0), noAbort);
    fresh.step(toSample(10, 0, 0), noAbort);
    EXPECT_EQ(fresh.storedCount(), 1);
    // Invalid samples are skipped entirely.
    Learner::Sample invalid = toSample(90.f, 0, 0);
    invalid.valid = 0;
    l.step(invalid, noAbort);
    EXPECT_EQ(l.storedCount(), 4);
    EXPECT_EQ(l.lastCollectResult(), 0);
}

TEST(ParameterLearner, StillSensorNeverFinishesCollection)
{
    Learner l;
    l.beginLearning(nullptr);
    SyntheticMagnet m;
    m.revPerSecond = 0.0;
    m.noise = 15.0;  // 1.5 units of noise: well within sqrt(33) of each other
    EXPECT_EQ(runToEnd(l, magnetSamples(m, 20000)), -1);
    EXPECT_EQ(l.stage(), Learner::Stage_Collect);
    EXPECT_LT(l.storedCount(), 512);
}

TEST(ParameterLearner, SphereRadiusLimit)
{
    for (float r : {7.03f, 7.04f}) {
        Learner l;
        l.beginLearning(nullptr);
        const uint8_t abortFlag = 1;  // one piece per call, so the stage after the fit shows
        const auto samples = twoPoints(r);
        Learner::LearnerStepResult res = Learner::LearnerStep_NeedSample;
        for (const auto &s : samples)
            res = l.step(s, abortFlag);
        ASSERT_EQ(res, Learner::LearnerStep_Continue);
        ASSERT_EQ(l.stage(), Learner::Stage_SphereFit);
        while (l.stage() == Learner::Stage_SphereFit)
            res = l.step(samples[0], abortFlag);
        if (r < 7.04f) {
            EXPECT_EQ(l.stage(), Learner::Stage_Rejected) << r;
            EXPECT_EQ(res, Learner::LearnerStep_Finished);
        } else {
            EXPECT_EQ(l.stage(), Learner::Stage_PlaneFit) << r;
            EXPECT_FLOAT_EQ(l.sphereRadius(), 7.04f);
            // Two points make no loop: the run finds no revolution and is rejected.
            MessageCapture log;
            while (l.busy())
                l.step(samples[0], abortFlag);
            EXPECT_EQ(l.stage(), Learner::Stage_Rejected);
            EXPECT_TRUE(log.contains("AutoCal rejection due to no detected cycles"));
        }
    }
}

TEST(ParameterLearner, LearnsTheModelledEllipse)
{
    SyntheticMagnet m;
    Learner l;
    l.beginLearning(nullptr);
    const int used = runToEnd(l, magnetSamples(m, 20000));
    ASSERT_GT(used, 0);
    ASSERT_EQ(l.stage(), Learner::Stage_Accepted);
    const EllipticalParameters p = l.buildParameters();

    // Normal parallel to the modelled one (sign chosen so the components sum >= 0).
    const double len = std::sqrt(0.3 * 0.3 + 0.5 * 0.5 + 0.81 * 0.81);
    const double dotN = (p.normalX * 0.3 - p.normalY * 0.5 + p.normalZ * 0.81) / len;
    EXPECT_GT(std::fabs(dotN), 0.995);
    EXPECT_GE(p.normalX + p.normalY + p.normalZ, 0.f);
    // Center near the offset (units of 0.1 count), radii bracket the semi-axes (25 and 40).
    EXPECT_NEAR(p.centerX, -30.f, 2.5f);
    EXPECT_NEAR(p.centerY, 15.f, 2.5f);
    EXPECT_NEAR(p.centerZ, 80.f, 2.5f);
    EXPECT_GT(p.innerRadius, 15.f);
    EXPECT_LT(p.innerRadius, 25.f);
    EXPECT_GT(p.outerRadius, 39.f);
    EXPECT_LT(p.outerRadius, 45.f);
    // Orthonormal right-handed basis with w = -normal.
    const float *b = p.basis;
    for (int c = 0; c < 3; ++c) {
        const float n2 = b[c] * b[c] + b[3 + c] * b[3 + c] + b[6 + c] * b[6 + c];
        EXPECT_NEAR(n2, 1.f, 1e-5f);
    }
    EXPECT_NEAR(b[0] * b[1] + b[3] * b[4] + b[6] * b[7], 0.f, 1e-5f);
    EXPECT_FLOAT_EQ(b[2], -p.normalX);
    EXPECT_FLOAT_EQ(b[5], -p.normalY);
    EXPECT_FLOAT_EQ(b[8], -p.normalZ);
    EXPECT_GT(l.hullPointCount(), 8);
}

TEST(ParameterLearner, DeterministicAndResumableInPieces)
{
    SyntheticMagnet m;
    m.revPerSecond = -1.3;
    const auto samples = magnetSamples(m, 20000);

    Learner a;
    a.beginLearning(nullptr);
    ASSERT_GT(runToEnd(a, samples), 0);
    Learner b;
    b.beginLearning(nullptr);
    ASSERT_GT(runToEnd(b, samples), 0);
    EXPECT_TRUE(sameBytes(a.buildParameters(), b.buildParameters()));

    // Aborted after every piece and resumed: the same block, bit for bit.
    Learner c;
    c.beginLearning(nullptr);
    const uint8_t abortFlag = 1;
    int pieces = 0;
    for (size_t i = 0; i < samples.size() && c.busy(); ++i) {
        auto r = c.step(samples[i], abortFlag);
        while (r == Learner::LearnerStep_Continue) {
            ++pieces;
            r = c.step(samples[i], abortFlag);
        }
    }
    EXPECT_EQ(c.stage(), a.stage());
    EXPECT_TRUE(sameBytes(a.buildParameters(), c.buildParameters()));
    EXPECT_GT(pieces, 2000);  // far more than one piece per stage

    // A stopped run is idle at once and can be restarted from scratch.
    Learner d;
    d.beginLearning(nullptr);
    for (int i = 0; i < 600; ++i)
        d.step(samples[size_t(i)], abortFlag);
    d.stop();
    EXPECT_EQ(d.stage(), Learner::Stage_Rejected);
    d.beginLearning(nullptr);
    ASSERT_GT(runToEnd(d, samples), 0);
    EXPECT_TRUE(sameBytes(a.buildParameters(), d.buildParameters()));
}

TEST(ParameterLearner, VotesAgainstOldParameters)
{
    SyntheticMagnet m;
    const auto samples = magnetSamples(m, 20000);
    Learner first;
    first.beginLearning(nullptr);
    ASSERT_GT(runToEnd(first, samples), 0);
    const EllipticalParameters learned = first.buildParameters();

    MessageCapture log;
    // Identical old parameters: z error and inner radius tie (two votes against), bad points
    // tie (one vote for): rejected.
    log.clear();
    Learner same;
    same.beginLearning(&learned);
    runToEnd(same, samples);
    EXPECT_EQ(same.stage(), Learner::Stage_Rejected);
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_TRUE(log.messages().first().startsWith("Unfavorable AutoCal calibration comparison: [ badPointsOld:"))
        << log.messages().first().toStdString();
    EXPECT_TRUE(log.messages().first().contains(" innerRadOld:")) << log.messages().first().toStdString();
    EXPECT_TRUE(log.messages().first().endsWith("]"));

    // The old inner radius a hair smaller: that vote turns and two of three accept.
    EllipticalParameters smaller = learned;
    smaller.innerRadius = std::nextafter(learned.innerRadius, 0.f);
    log.clear();
    Learner better;
    better.beginLearning(&smaller);
    runToEnd(better, samples);
    EXPECT_EQ(better.stage(), Learner::Stage_Accepted);
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_TRUE(log.messages().first().startsWith("Favorable AutoCal calibration comparison: ["));
}

TEST(ParameterLearner, NormalParallelToTheDiagonalGetsAUsableBasis)
{
    // A hexagon in the plane x + y + z = 0: every candidate normal is exactly (1, 1, 1)/sqrt(3),
    // where n x (1, 1, 1) vanishes.
    const float s = 64.f;
    const float hex[6][3] = {{s, -s, 0}, {s, 0, -s}, {0, s, -s}, {-s, s, 0}, {-s, 0, s}, {0, -s, s}};
    std::vector<Learner::Sample> samples;
    for (int i = 0; i < 2000; ++i)
        samples.push_back(toSample(hex[i % 6][0] + 100.f, hex[i % 6][1], hex[i % 6][2] - 50.f));
    Learner l;
    l.beginLearning(nullptr);
    ASSERT_GT(runToEnd(l, samples), 0);
    const EllipticalParameters p = l.buildParameters();
    EXPECT_EQ(p.normalX, p.normalY);
    EXPECT_EQ(p.normalY, p.normalZ);
    for (float v : p.basis)
        ASSERT_TRUE(std::isfinite(v));
    const float *b = p.basis;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(b[c] * b[c] + b[3 + c] * b[3 + c] + b[6 + c] * b[6 + c], 1.f, 1e-5f);
    EXPECT_NEAR(b[0] * b[1] + b[3] * b[4] + b[6] * b[7], 0.f, 1e-5f);
    EXPECT_NEAR(b[0] * b[2] + b[3] * b[5] + b[6] * b[8], 0.f, 1e-5f);
    ASSERT_EQ(l.stage(), Learner::Stage_Accepted);

    // And the result counts the hexagon's revolutions.
    EllipticalDecider d;
    d.setParameters(p);
    int pulses = 0;
    for (int i = 0; i < 60; ++i)
        pulses +=
            d.addSample({samples[size_t(i)].x, samples[size_t(i)].y, samples[size_t(i)].z}) == Decider::AddResult_Pulse
                ? 1
                : 0;
    EXPECT_GE(pulses, 9);
    EXPECT_LE(pulses, 10);
}

TEST(ParameterLearner, RejectsGarbageWithoutCrashing)
{
    Learner l;
    l.beginLearning(nullptr);
    std::vector<Learner::Sample> samples;
    for (int i = 0; i < 1200; ++i) {
        const float v = (i % 3 == 0) ? NAN : (i % 3 == 1 ? INFINITY : float(i * 37 % 1000));
        samples.push_back(toSample(v, float(i % 7) * 100.f, -v));
    }
    runToEnd(l, samples);
    EXPECT_FALSE(l.busy());
}
