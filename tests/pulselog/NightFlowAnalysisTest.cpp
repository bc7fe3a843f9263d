// Night flows and leak stretches against the virtual logger's household (with and without its
// leak, and a leak that starts mid-log), and the clock-change and log-boundary cases.
#include "pulselog/NightFlowAnalysis.h"
#include "pulselog/PulseLog.h"
#include "sim/WaterUseProfile.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>

namespace {
using Result = NightFlowAnalysis::Result;
constexpr int64_t kTenth = 100000000;
constexpr int64_t kHourTenths = 36000;

int64_t localTenths(int y, int mo, int d, int h, int mi)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi)).toMSecsSinceEpoch() / 100;
}

void addRange(PulseLog &log, uint32_t seed, bool leak, int64_t from, int64_t to)
{
    WaterUseProfile::Options o;
    o.seed = seed;
    o.leak = leak;
    o.utcOffsetMinutes = 60;  // the tests' zone in winter
    for (const auto &p : WaterUseProfile(o).pulses(from, to))
        log.addPulsesNoSignal(p.tenths * kTenth, p.count);
}

// Brute force from the pulses, hour by hour in local time: the minimum of the hours 0 to 4 of
// every date whose night lies inside [from, to), and the end of the last quiet hour before
// `before`.
std::map<QDate, uint64_t> bruteNightMinima(const PulseLog &log, int64_t from, int64_t to, int64_t before,
                                           int64_t *lastQuietEnd)
{
    std::map<std::pair<QDate, int>, uint64_t> hourly;
    for (const auto &e : log.entries()) {
        const QDateTime t = QDateTime::fromMSecsSinceEpoch(e.time / 1000000);
        hourly[{t.date(), t.time().hour()}] += e.count;
    }
    const auto sum = [&hourly](const QDateTime &t) {
        auto it = hourly.find({t.date(), t.time().hour()});
        return it == hourly.end() ? uint64_t(0) : it->second;
    };
    const int64_t firstHour = (from + kHourTenths - 1) / kHourTenths * kHourTenths;  // whole-hour offset
    *lastQuietEnd = firstHour;
    for (int64_t h = firstHour; h + kHourTenths <= before; h += kHourTenths) {
        if (sum(QDateTime::fromMSecsSinceEpoch(h * 100)) == 0)
            *lastQuietEnd = h + kHourTenths;
    }
    std::map<QDate, uint64_t> minima;
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(from * 100), last = QDateTime::fromMSecsSinceEpoch(to * 100);
    for (QDate d = first.date(); d <= last.date(); d = d.addDays(1)) {
        if (QDateTime(d, QTime(0, 0)) < first || QDateTime(d, QTime(5, 0)) > last)
            continue;
        minima[d] = UINT64_MAX;
        for (int h = 0; h < 5; ++h)
            minima[d] = std::min(minima[d], sum(QDateTime(d, QTime(h, 0))));
    }
    return minima;
}
}  // namespace

TEST(NightFlowAnalysis, LeakFlagsFollowTheHouseholdsLeak)
{
    // Mid-afternoon to mid-morning, so that both ends cut an hour and a night.
    const int64_t from = localTenths(2026, 1, 5, 13, 20) + 7;
    const int64_t leakStart = localTenths(2026, 1, 8, 12, 0);
    const int64_t to = localTenths(2026, 1, 12, 9, 40) + 3;
    const int64_t firstHour = localTenths(2026, 1, 5, 14, 0), lastHourEnd = localTenths(2026, 1, 12, 9, 0);
    for (uint32_t seed : {3u, 8u}) {
        SCOPED_TRACE(seed);
        for (int kind = 0; kind < 3; ++kind) {  // quiet, leaking throughout, leak from leakStart
            SCOPED_TRACE(kind);
            PulseLog log;
            log.addPulsesNoSignal(from * kTenth, 0);
            log.addPulsesNoSignal(to * kTenth, 0);
            const int64_t split = kind == 0 ? to : kind == 1 ? from : leakStart;
            addRange(log, seed, false, from, split);
            addRange(log, seed, true, split, to);
            const Result r = NightFlowAnalysis::analyse(log.entries());
            ASSERT_FALSE(r.tooLong);
            ASSERT_FALSE(r.hours.empty());
            EXPECT_EQ(r.hours.front().start, firstHour * kTenth);
            EXPECT_EQ(r.hours.back().end, lastHourEnd * kTenth);
            int64_t quietEnd = 0;
            auto minima = bruteNightMinima(log, from, to, leakStart, &quietEnd);
            ASSERT_EQ(r.nights.size(), 7u);  // the 6th to the 12th; the 5th is cut
            ASSERT_EQ(minima.size(), 7u);
            for (const auto &n : r.nights) {
                EXPECT_EQ(n.minimumPulses, minima[n.date]) << n.date.toString(Qt::ISODate).toStdString();
                EXPECT_EQ(n.hours, 5);
            }

            if (kind == 0) {
                EXPECT_TRUE(r.leaks.empty());
                for (const auto &n : r.nights)
                    EXPECT_FALSE(n.leak);
                continue;
            }
            ASSERT_EQ(r.leaks.size(), 1u);
            EXPECT_EQ(r.leaks[0].end, lastHourEnd * kTenth);
            EXPECT_EQ(r.leaks[0].start, (kind == 1 ? firstHour : quietEnd) * kTenth);
            // The household's nights are quiet: the leak cannot have been running unnoticed
            // through a night before it began.
            if (kind == 2) {
                EXPECT_GT(r.leaks[0].start, (leakStart - 24 * kHourTenths) * kTenth);
            }
            for (const auto &n : r.nights) {
                const bool leaking = n.end > r.leaks[0].start;
                EXPECT_EQ(n.leak, leaking) << n.date.toString(Qt::ISODate).toStdString();
                // 0.03 litres a minute or more at 0.1 litre a pulse: 18 pulses an hour at least,
                // less one for where the hour cuts the meter's turn.
                if (n.start >= leakStart * kTenth) {
                    EXPECT_GE(n.minimumPulses, 17u);
                }
            }
        }
    }
}

namespace {
struct Flow {
    const char *from, *to;
    int pulsesPerHour;
};
// Without logFrom/logTo (recording marks) only the first pulse of the first flow is logged.
// nights: "date minimum@hour-start hours[ leak]", leaks: "start/end", each joined by ";".
struct Case {
    const char *name, *zone, *logFrom, *logTo;
    std::vector<Flow> flows;
    const char *nights, *leaks;
};

// Local time in the case's zone, or the given offset when the text carries one.
QDateTime at(const char *text, const QTimeZone &zone)
{
    const QString s = QString::fromLatin1(text);
    if (s.size() > 16)
        return QDateTime::fromString(s, Qt::ISODate);
    const QDateTime local = QDateTime::fromString(s, QStringLiteral("yyyy-MM-ddTHH:mm"));
    return QDateTime(local.date(), local.time(), zone);
}

QString stamp(NightFlowAnalysis::NanosI64 ns, const QTimeZone &zone)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ns / 1000000, zone);
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate);
}
}  // namespace

TEST(NightFlowAnalysis, ClockChangesAndLogBoundaries)
{
    const std::vector<Case> cases = {
        {"empty log", "Europe/Berlin", nullptr, nullptr, {}, "", ""},
        {"a single pulse", "Europe/Berlin", nullptr, nullptr, {{"2026-01-10T03:10", "2026-01-10T04:10", 1}}, "", ""},
        {"a day less an hour of flow",
         "Europe/Berlin",
         "2026-01-09T20:00",
         "2026-01-10T19:00",
         {{"2026-01-09T20:00", "2026-01-10T02:00", 12},
          {"2026-01-10T02:00", "2026-01-10T03:00", 3},
          {"2026-01-10T03:00", "2026-01-10T19:00", 12}},
         "2026-01-10 3@2026-01-10T02:00:00+01:00 5",
         ""},
        {"exactly a day of flow",
         "Europe/Berlin",
         "2026-01-09T05:00",
         "2026-01-10T05:00",
         {{"2026-01-09T05:00", "2026-01-10T05:00", 6}},
         "2026-01-10 6@2026-01-10T00:00:00+01:00 5 leak",
         "2026-01-09T05:00:00+01:00/2026-01-10T05:00:00+01:00"},
        {"partial hours and nights at both ends",
         "Europe/Berlin",
         "2026-01-09T01:30",
         "2026-01-11T03:20",
         {{"2026-01-09T01:30", "2026-01-10T12:00", 6}, {"2026-01-10T13:00", "2026-01-11T03:20", 6}},
         "2026-01-10 6@2026-01-10T00:00:00+01:00 5 leak",
         "2026-01-09T02:00:00+01:00/2026-01-10T12:00:00+01:00"},
        {"spring forward: 4 night hours, 24 clock hours are 23 hours",
         "Europe/Berlin",
         "2026-03-28T12:00",
         "2026-03-29T12:00",
         {{"2026-03-28T12:00", "2026-03-29T03:00", 10},
          {"2026-03-29T03:00", "2026-03-29T04:00", 4},
          {"2026-03-29T04:00", "2026-03-29T12:00", 10}},
         "2026-03-29 4@2026-03-29T03:00:00+02:00 4",
         ""},
        {"fall back: 6 night hours, the repeated 02:00 lowest",
         "Europe/Berlin",
         "2026-10-24T12:00",
         "2026-10-25T11:00",
         {{"2026-10-24T12:00", "2026-10-25T02:00:00+01:00", 10},
          {"2026-10-25T02:00:00+01:00", "2026-10-25T03:00", 2},
          {"2026-10-25T03:00", "2026-10-25T11:00", 10}},
         "2026-10-25 2@2026-10-25T02:00:00+01:00 6 leak",
         "2026-10-24T12:00:00+02:00/2026-10-25T11:00:00+01:00"},
        {"half-hour zone offset",
         "Asia/Kolkata",
         "2026-01-09T22:00",
         "2026-01-10T06:00",
         {{"2026-01-09T22:00", "2026-01-10T03:00", 6},
          {"2026-01-10T03:00", "2026-01-10T04:00", 1},
          {"2026-01-10T04:00", "2026-01-10T06:00", 6}},
         "2026-01-10 1@2026-01-10T03:00:00+05:30 5",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QTimeZone zone(c.zone);
        ASSERT_TRUE(zone.isValid());
        NightFlowAnalysis::Entries entries;
        std::map<int64_t, uint32_t> pulses;
        if (c.logFrom) {
            pulses[at(c.logFrom, zone).toMSecsSinceEpoch() * 1000000] += 0;
            pulses[at(c.logTo, zone).toMSecsSinceEpoch() * 1000000] += 0;
        }
        for (const Flow &f : c.flows) {
            const int64_t a = at(f.from, zone).toMSecsSinceEpoch(), b = at(f.to, zone).toMSecsSinceEpoch();
            const int64_t step = 3600000 / f.pulsesPerHour;
            for (int64_t t = a + step / 2; t < b && (c.logFrom || pulses.empty()); t += step)
                pulses[t * 1000000] += 1;
        }
        for (const auto &p : pulses)
            entries.push_back({p.first, p.second});

        const auto describe = [&zone](const Result &r) {
            QStringList nights, leaks;
            for (const auto &n : r.nights) {
                nights << QStringLiteral("%1 %2@%3 %4%5")
                              .arg(n.date.toString(Qt::ISODate))
                              .arg(n.minimumPulses)
                              .arg(stamp(n.minimumHourStart, zone))
                              .arg(n.hours)
                              .arg(n.leak ? QStringLiteral(" leak") : QString());
            }
            for (const auto &s : r.leaks)
                leaks << stamp(s.start, zone) + QLatin1Char('/') + stamp(s.end, zone);
            return std::make_pair(nights.join(';').toStdString(), leaks.join(';').toStdString());
        };
        const auto described = describe(NightFlowAnalysis::analyse(entries, zone));
        EXPECT_EQ(described.first, c.nights);
        EXPECT_EQ(described.second, c.leaks);
        // The system's own local time (the zone the tests run in) takes another way to the
        // offsets; across the clock changes it must agree.
        if (zone == QTimeZone::systemTimeZone()) {
            EXPECT_EQ(describe(NightFlowAnalysis::analyse(entries)), described);
        }
    }
}
