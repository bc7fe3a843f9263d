#include "decider/RecordingPlayback.h"

#include <gtest/gtest.h>
#include <QSignalSpy>

#include <cmath>

namespace {
XyzSampleTimestamped sample(int16_t x, int64_t t)
{
    XyzSampleTimestamped s;
    s.x = x;
    s.timestamp = t;
    return s;
}

std::vector<XyzSampleTimestamped> emitted(const QSignalSpy &spy)
{
    std::vector<XyzSampleTimestamped> out;
    for (const auto &args : spy)
        out.push_back(args.at(0).value<XyzSampleTimestamped>());
    return out;
}
}  // namespace

TEST(RecordingPlayback, RateIsClamped)
{
    RecordingPlayback p;
    QSignalSpy changed(&p, &RecordingPlayback::targetHzChanged);
    EXPECT_EQ(p.targetHz(), 400.0);
    p.setTargetHz(0);
    EXPECT_EQ(p.targetHz(), 1.0);
    p.setTargetHz(20000);
    EXPECT_EQ(p.targetHz(), 10000.0);
    p.setTargetHz(10000);
    EXPECT_EQ(changed.count(), 2);
    p.setTargetHz(std::nan(""));
    EXPECT_EQ(p.targetHz(), 1.0);
}

TEST(RecordingPlayback, OneSampleRecordingEmitsNothing)
{
    FileRecording r;
    r.addSample(sample(1, 0));
    RecordingPlayback p;
    QSignalSpy out(&p, &RecordingPlayback::sampleAvailable);
    p.setRecording(&r);
    EXPECT_TRUE(p.running());
    p.advanceTo(5000000000LL);
    EXPECT_EQ(out.count(), 0);

    RecordingPlayback none;
    QSignalSpy noneOut(&none, &RecordingPlayback::sampleAvailable);
    none.advanceTo(1000000000LL);
    EXPECT_EQ(noneOut.count(), 0);
    EXPECT_FALSE(none.running());
}

TEST(RecordingPlayback, FixedRateLoopsWithThePlaybackClock)
{
    FileRecording r;
    for (int i = 0; i < 3; ++i)
        r.addSample(sample(int16_t(10 + i), 0));  // untimestamped
    RecordingPlayback p;
    p.setTargetHz(100.0);  // 10 ms apart
    QSignalSpy out(&p, &RecordingPlayback::sampleAvailable);
    p.setRecording(&r);
    p.advanceTo(45000000);  // 45 ms: clock 0, 10, 20, 30, 40
    auto s = emitted(out);
    ASSERT_EQ(s.size(), 5u);
    for (size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(int64_t(s[i].timestamp), int64_t(i) * 10000000);
        EXPECT_EQ(s[i].x, 10 + int(i % 3));  // loops over the three samples
    }
    // The clock is ahead of "now": nothing more.
    p.advanceTo(45000000);
    EXPECT_EQ(out.count(), 5);
    // At most 50 samples per tick, however far behind.
    p.advanceTo(10000000000LL);
    EXPECT_EQ(out.count(), 55);
    // A change of the recording's sample count restarts from the beginning.
    r.addSample(sample(99, 0));
    p.advanceTo(1);
    EXPECT_EQ(int64_t(emitted(out).back().timestamp), 0);
    EXPECT_EQ(emitted(out).back().x, 10);
}

TEST(RecordingPlayback, RecordedSpacingIsReplayed)
{
    FileRecording r;
    // Irregular spacing: 0, 10 ms, 30 ms, 60 ms.
    for (int64_t t : {0LL, 10000000LL, 30000000LL, 60000000LL})
        r.addSample(sample(int16_t(t / 1000000), t));
    // addSample does not validate; a loaded file would be marked timestamped.
    RecordingPlayback p;
    QSignalSpy out(&p, &RecordingPlayback::sampleAvailable);
    p.setRecording(&r);
    p.advanceTo(1000000000LL);
    auto s = emitted(out);
    ASSERT_GE(s.size(), 8u);
    // Not timestamped: fixed 400 Hz.
    EXPECT_EQ(int64_t(s[1].timestamp), 2500000);

    out.clear();
    ASSERT_TRUE(r.loadFromData("0,0,0,1\n1,0,0,1.125\n3,0,0,1.375\n6,0,0,1.75\n"));
    ASSERT_TRUE(r.timestamped());
    p.advanceTo(1200000000LL);
    s = emitted(out);
    ASSERT_EQ(s.size(), 6u);
    // Recorded differences (125, 250, 375 ms); the wrap from the last sample back to the first
    // is negative and uses the source-rate period, 4 samples / 0.75 s = 187.5 ms.
    EXPECT_EQ(int64_t(s[0].timestamp), 0);
    EXPECT_EQ(int64_t(s[1].timestamp), 187500000);
    EXPECT_EQ(int64_t(s[2].timestamp), 312500000);
    EXPECT_EQ(int64_t(s[3].timestamp), 562500000);
    EXPECT_EQ(int64_t(s[4].timestamp), 937500000);
    EXPECT_EQ(int64_t(s[5].timestamp), 1125000000);
    EXPECT_EQ(s[4].x, 0);

    // Overriding the recorded rate plays at the target rate.
    out.clear();
    p.setOverrideRecordedRate(true);
    p.setTargetHz(1000.0);
    p.restart();
    p.advanceTo(5000000);
    s = emitted(out);
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(int64_t(s[4].timestamp), 4000000);
}

TEST(RecordingPlayback, EmptyRecordingStopsTheTimer)
{
    FileRecording r;
    RecordingPlayback p;
    QSignalSpy changed(&p, &RecordingPlayback::recordingChanged);
    p.setRecording(&r);
    EXPECT_FALSE(p.running());
    EXPECT_EQ(changed.count(), 1);
    r.addSample(sample(1, 0));
    EXPECT_TRUE(p.running());
    r.clear();
    EXPECT_FALSE(p.running());
    r.addSample(sample(1, 0));
    p.setRecording(nullptr);
    EXPECT_FALSE(p.running());
}
