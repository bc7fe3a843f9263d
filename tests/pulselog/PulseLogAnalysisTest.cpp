#include "pulselog/PulseLog.h"
#include "PulseLogTestSupport.h"

#include <QPointF>

#include <gtest/gtest.h>

using TestSupport::localDate;
using TestSupport::localNs;

namespace {
constexpr int64_t kMs = 1000000;
constexpr int64_t kSecond = 1000000000;
constexpr uint32_t kMinute = 60000;

std::vector<double> bins(const PulseLog &log, uint32_t m, const QDateTime &from, const QDateTime &to)
{
    const DataSeriesVectorPtr v = log.asTimeBinsQml(m, from, to);
    return v ? *v : std::vector<double>{};
}

std::vector<QPointF> points(const QVariantList &list)
{
    std::vector<QPointF> out;
    for (const QVariant &v : list)
        out.push_back(v.toPointF());
    return out;
}

// 10:00:00.0 (2 pulses), 10:00:30.5 (1), 10:01:10.0 (4), 10:03:00.0 (3) on 2026-06-01
void fillMinutes(PulseLog &log)
{
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 0), 2);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 30, 500), 1);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 1, 10), 4);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 3, 0), 3);
}
}  // namespace

TEST(PulseLogAnalysis, BinCountFollowsAlignedBins)
{
    PulseLog log;
    EXPECT_EQ(log.timeBinCount(kMinute), 0);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 0), 1);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 59, 900), 1);
    EXPECT_EQ(log.timeBinCount(kMinute), 1);
    EXPECT_EQ(log.timeBinCount(0), 0);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 1, 0), 1);
    EXPECT_EQ(log.timeBinCount(kMinute), 2);

    PulseLog shifted;  // 10:00:30 .. 10:01:29.9 spans two aligned minutes
    shifted.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 30), 1);
    shifted.addPulsesNoSignal(localNs(2026, 6, 1, 10, 1, 29, 900), 1);
    EXPECT_EQ(shifted.timeBinCount(kMinute), 2);
}

TEST(PulseLogAnalysis, WholeLogBinsKeepTheLastEntry)
{
    PulseLog log;
    fillMinutes(log);
    const QDateTime wide0 = localDate(2026, 6, 1, 9, 0, 0);
    const QDateTime wide1 = localDate(2026, 6, 1, 11, 0, 0);
    EXPECT_EQ(bins(log, kMinute, wide0, wide1), (std::vector<double>{3, 4, 0, 3}));
    // swapped dates mean the same range; invalid dates leave the range open
    EXPECT_EQ(bins(log, kMinute, wide1, wide0), (std::vector<double>{3, 4, 0, 3}));
    EXPECT_EQ(bins(log, kMinute, QDateTime(), QDateTime()), (std::vector<double>{3, 4, 0, 3}));
    EXPECT_EQ(log.pulseCountInRange(wide0, wide1), 10);
    EXPECT_EQ(log.timeBinMaximumPulseCount(kMinute), 4u);
    EXPECT_EQ(log.timeBinMaximumPulseCount(3 * kMinute), 7u);  // 10:00-10:03 | 10:03-10:06

    PulseLog lastHeavy;
    lastHeavy.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 0), 1);
    lastHeavy.addPulsesNoSignal(localNs(2026, 6, 1, 10, 5, 0), 9);
    EXPECT_EQ(lastHeavy.timeBinMaximumPulseCount(kMinute), 9u);
    // The answer follows the log as it grows (a download) and the interval, never a stale one.
    lastHeavy.addPulsesNoSignal(localNs(2026, 6, 1, 10, 5, 0), 2);
    EXPECT_EQ(lastHeavy.timeBinMaximumPulseCount(kMinute), 11u);
    lastHeavy.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 30), 20);
    EXPECT_EQ(lastHeavy.timeBinMaximumPulseCount(kMinute), 21u);
    EXPECT_EQ(lastHeavy.timeBinMaximumPulseCount(10 * kMinute), 32u);
    EXPECT_EQ(lastHeavy.timeBinMaximumPulseCount(kMinute), 21u);
}

TEST(PulseLogAnalysis, RangeEndingOnAnEntryLeavesItOut)
{
    PulseLog log;
    fillMinutes(log);
    const QDateTime start = localDate(2026, 6, 1, 10, 0, 0);
    EXPECT_EQ(bins(log, kMinute, start, localDate(2026, 6, 1, 10, 1, 10)), (std::vector<double>{3, 0}));
    EXPECT_EQ(log.pulseCountInRange(start, localDate(2026, 6, 1, 10, 1, 10)), 3);
    EXPECT_EQ(log.pulseCountInRange(start, localDate(2026, 6, 1, 10, 3, 0)), 7);
    EXPECT_EQ(log.pulseCountInRange(start, localDate(2026, 6, 1, 10, 3, 0, 1)), 10);
    // a range starting mid-log is binned from its own aligned start
    EXPECT_EQ(bins(log, 30000, localDate(2026, 6, 1, 10, 0, 45), localDate(2026, 6, 1, 10, 2, 0)),
              (std::vector<double>{0, 4, 0, 0}));
    // ranges outside the log collapse onto its ends
    EXPECT_EQ(bins(log, kMinute, localDate(2026, 6, 1, 12, 0, 0), localDate(2026, 6, 1, 13, 0, 0)),
              (std::vector<double>{0}));
    EXPECT_EQ(log.pulseCountInRange(localDate(2026, 6, 1, 12, 0, 0), localDate(2026, 6, 1, 13, 0, 0)), 0);
    EXPECT_EQ(log.pulseCountInRange(localDate(2026, 6, 1, 8, 0, 0), localDate(2026, 6, 1, 9, 0, 0)), 0);
    EXPECT_TRUE(bins(log, 0, start, start).empty());
    PulseLog empty;
    EXPECT_TRUE(bins(empty, kMinute, start, start).empty());
    EXPECT_EQ(empty.pulseCountInRange(start, start), 0);
}

TEST(PulseLogAnalysis, TimesBefore1970BinByFloor)
{
    PulseLog log;  // a clock that was never set counts from before 1970
    log.addPulsesNoSignal(-1500 * kMs, 1);
    log.addPulsesNoSignal(500 * kMs, 2);
    EXPECT_EQ(log.timeBinCount(1000), 3);
    EXPECT_EQ(bins(log, 1000, QDateTime(), QDateTime()), (std::vector<double>{1, 0, 2}));
    EXPECT_EQ(log.binToDate(0, 1000).toMSecsSinceEpoch(), -2000);
    EXPECT_EQ(log.dateToBin(QDateTime::fromMSecsSinceEpoch(0), 1000), 2);
}

TEST(PulseLogAnalysis, BinsAndDatesConvertBothWays)
{
    PulseLog log;
    EXPECT_FALSE(log.binToDate(0, kMinute).isValid());
    EXPECT_EQ(log.dateToBin(localDate(2026, 6, 1, 10, 0, 0), kMinute), 0);
    EXPECT_EQ(log.dateToBinF(localDate(2026, 6, 1, 10, 0, 0), kMinute), 0.0);

    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 20), 1);
    log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 9, 0), 1);
    EXPECT_EQ(log.binToDate(0, kMinute), localDate(2026, 6, 1, 10, 0, 0));
    EXPECT_EQ(log.binToDate(3, kMinute), localDate(2026, 6, 1, 10, 3, 0));
    EXPECT_EQ(log.binToDate(-1, kMinute), localDate(2026, 6, 1, 9, 59, 0));
    EXPECT_FALSE(log.binToDate(1, 0).isValid());
    EXPECT_EQ(log.dateToBin(localDate(2026, 6, 1, 10, 0, 0), kMinute), 0);
    EXPECT_EQ(log.dateToBin(localDate(2026, 6, 1, 9, 59, 59, 999), kMinute), -1);
    EXPECT_EQ(log.dateToBin(localDate(2026, 6, 1, 9, 59, 0), kMinute), -1);  // start of bin -1
    EXPECT_EQ(log.dateToBin(localDate(2026, 6, 1, 9, 58, 59, 999), kMinute), -2);
    EXPECT_EQ(log.dateToBin(localDate(2026, 6, 1, 10, 4, 59, 999), kMinute), 4);
    EXPECT_DOUBLE_EQ(log.dateToBinF(localDate(2026, 6, 1, 10, 2, 15), kMinute), 2.25);
    EXPECT_DOUBLE_EQ(log.dateToBinF(localDate(2026, 6, 1, 9, 59, 30), kMinute), -0.5);
    for (int64_t i : {-5, 0, 7, 100000})
        EXPECT_EQ(log.dateToBin(log.binToDate(i, 15 * kMinute), 15 * kMinute), i);
    // dates at the ends of what QDateTime holds do not overflow
    EXPECT_LT(log.dateToBin(QDateTime::fromMSecsSinceEpoch(-8000000000000000LL), kMinute), 0);
    EXPECT_GT(log.dateToBin(QDateTime::fromMSecsSinceEpoch(8000000000000000LL), kMinute), 0);
}

TEST(PulseLogAnalysis, SeriesStatsUseTheHalfOpenBinRange)
{
    PulseLog log;
    auto v = std::make_shared<std::vector<double>>(std::vector<double>{5, 1, 7, 3});
    auto stats = [&](size_t a, size_t b) {
        const QVariantMap m = log.dataSeriesStats(v, a, b);
        return std::make_pair(m.value("minCount").toDouble(), m.value("maxCount").toDouble());
    };
    EXPECT_EQ(stats(0, 3), std::make_pair(1.0, 7.0));
    EXPECT_EQ(stats(3, 1), std::make_pair(1.0, 7.0));
    EXPECT_EQ(stats(2, 3), std::make_pair(7.0, 7.0));
    EXPECT_EQ(stats(0, 4), std::make_pair(0.0, 0.0));  // high equal to the length
    EXPECT_EQ(stats(2, 2), std::make_pair(0.0, 0.0));
    const QVariantMap none = log.dataSeriesStats(DataSeriesVectorPtr(), 0, 1);
    EXPECT_EQ(none.value("maxCount").toDouble(), 0.0);
    EXPECT_TRUE(none.contains("minCount"));
}

TEST(PulseLogAnalysis, RateWindowsFromTheEnd)
{
    PulseLog one;
    one.addPulsesNoSignal(50 * kSecond, 1);
    EXPECT_EQ(points(one.buildWindowVL(30.0, 0.0)), (std::vector<QPointF>{{0, 0}, {30, 0}}));
    PulseLog empty;
    EXPECT_EQ(points(empty.buildWindowVL(10.0, 0.0)), (std::vector<QPointF>{{0, 0}, {10, 0}}));

    PulseLog log;  // entries at 0, 1, 3, 7, 8 s and one 0.05 ms after 8 s
    for (int64_t s : {0, 1, 3, 7, 8})
        log.addPulsesNoSignal(s * kSecond, 1);
    log.addPulsesNoSignal(8 * kSecond + 50000, 1);
    // newest first; the 0.05 ms pair gives no point; stops after the pair ending at or before D = 2 s
    EXPECT_EQ(points(log.buildWindowVL(6.0, 0.0)),
              (std::vector<QPointF>{{0.00005, 1.0}, {1.00005, 0.25}, {5.00005, 0.5}, {7.00005, 1.0}}));
    // explicit window [0.5 s, 7.5 s]: pairs ending after 7.5 s are skipped
    EXPECT_EQ(points(log.buildWindowVL(int64_t(500 * kMs), int64_t(7500 * kMs))),
              (std::vector<QPointF>{{0.5, 0.25}, {4.5, 0.5}, {6.5, 1.0}}));
    // a reversed window starts at 0
    EXPECT_EQ(points(log.buildWindowVL(int64_t(7500 * kMs), int64_t(500 * kMs))),
              (std::vector<QPointF>{{0, 0}, {0.5, 0}}));
    EXPECT_EQ(points(log.buildWindowVL(int64_t(-20 * kSecond), int64_t(-10 * kSecond))),
              (std::vector<QPointF>{{0, 0}, {10, 0}}));
}

TEST(PulseLogAnalysis, RatesByAgeDrawSteps)
{
    PulseLog log;
    for (int64_t s : {0, 2, 3, 7})
        log.addPulsesNoSignal(s * kSecond, 1);
    EXPECT_TRUE(log.dataAsTimeInvertedVL(0, 0, true).isEmpty());
    EXPECT_EQ(points(log.dataAsTimeInvertedVL(0, 2, false)),
              (std::vector<QPointF>{{0, 0.25}, {4, 0.25}, {4, 1.0}, {5, 1.0}}));
    EXPECT_EQ(points(log.dataAsTimeInvertedVL(1, 5, true)),
              (std::vector<QPointF>{
                  {4, 1.0}, {5, 1.0}, {5, 0.5}, {7, 0.5}, {0, 0.5}, {0, 0.5}, {0, 0.5}, {0, 0.5}, {0, 0.5}, {0, 0.5}}));
}

TEST(PulseLogAnalysis, EnvironmentSeriesFilterInvalidReadings)
{
    PulseLog log;
    EXPECT_TRUE(log.voltageDataVL().isEmpty());
    EXPECT_FALSE(log.enviroSecondsToDateTime(1.0f).isValid());
    const int64_t t0 = localNs(2026, 6, 1, 10, 0, 0);
    log.addEnvironmentReadingNoSignal(t0, {0.0f, -50.0f});
    log.addEnvironmentReadingNoSignal(t0 + 32 * kSecond, {3.3f, 20.0f});
    log.addEnvironmentReadingNoSignal(t0 + 64 * kSecond, {3.2f, -49.995f});
    EXPECT_EQ(points(log.voltageDataVL()), (std::vector<QPointF>{{32, 3.3f}, {64, 3.2f}}));
    EXPECT_EQ(points(log.temperatureDataVL()), (std::vector<QPointF>{{32, 20}}));
    EXPECT_EQ(points(log.temperatureFahrenheitDataVL()), (std::vector<QPointF>{{32, 68}}));
    EXPECT_EQ(log.enviroSecondsToDateTime(64.0f), localDate(2026, 6, 1, 10, 1, 4));
    EXPECT_EQ(log.enviroSecondsToDateTime(0.25f), localDate(2026, 6, 1, 10, 0, 0, 250));
}
