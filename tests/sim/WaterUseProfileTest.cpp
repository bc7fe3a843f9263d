#include "sim/WaterUseProfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

namespace {

constexpr int64_t kDay = WaterUseProfile::kTenthsPerDay;
constexpr int64_t kHour = 36000;
// 2026-03-02 00:00 local (UTC+1) in tenths since 1970.
constexpr int64_t kLocalMidnight = 17724096000LL - kHour;

WaterUseProfile profile(uint32_t seed, bool leak = false, bool flapper = false)
{
    WaterUseProfile::Options o;
    o.seed = seed;
    o.leak = leak;
    o.flapper = flapper;
    o.litresPerPulse = 0.025;
    o.utcOffsetMinutes = 60;
    return WaterUseProfile(o);
}

uint64_t pulseTotal(const std::vector<PulseBlockEncoder::Pulse> &pulses, int64_t from, int64_t to)
{
    uint64_t n = 0;
    for (const auto &p : pulses) {
        if (p.tenths >= from && p.tenths < to)
            n += p.count;
    }
    return n;
}

}  // namespace

TEST(WaterUseProfile, SameSeedSameHouseholdOtherSeedOtherDays)
{
    const auto a = profile(11).pulses(kLocalMidnight, kLocalMidnight + 3 * kDay);
    const auto b = profile(11).pulses(kLocalMidnight, kLocalMidnight + 3 * kDay);
    const auto c = profile(12).pulses(kLocalMidnight, kLocalMidnight + 3 * kDay);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(WaterUseProfile, PulsesAreOrderedOnePerTenthAndInsideTheRange)
{
    const int64_t from = kLocalMidnight + 5 * kHour + 123;
    const int64_t to = from + 2 * kDay;
    const auto pulses = profile(3).pulses(from, to);
    ASSERT_GT(pulses.size(), 1000u);
    for (size_t i = 0; i < pulses.size(); ++i) {
        EXPECT_GE(pulses[i].tenths, from);
        EXPECT_LT(pulses[i].tenths, to);
        EXPECT_GE(pulses[i].count, 1u);
        if (i > 0) {
            EXPECT_GT(pulses[i].tenths, pulses[i - 1].tenths);
        }
    }
}

TEST(WaterUseProfile, PulsesAndUsesAccountForTheWaterThatFlowed)
{
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        const WaterUseProfile p = profile(seed, seed % 2 == 0, seed == 3);
        const int64_t from = kLocalMidnight + 7 * kHour + 5;  // inside uses: they are cut, not lost
        const int64_t to = from + 2 * kDay;
        double litres = 0;
        for (const auto &f : p.flows(from, to)) {
            EXPECT_GE(f.startTenths, from);
            EXPECT_LE(f.endTenths, to);
            EXPECT_GT(f.litresPerMinute, 0.0);
            litres += f.litresPerMinute * double(f.endTenths - f.startTenths) / 600.0;
        }
        double used = 0;
        for (const auto &u : p.uses(from, to)) {
            EXPECT_GE(u.startTenths, from);
            EXPECT_LE(u.endTenths, to);
            used += u.litres;
        }
        EXPECT_NEAR(used, litres, 1e-6);
        const double metered = double(pulseTotal(p.pulses(from, to), from, to)) * 0.025;
        // The meter only loses the part-turn left over at the end of the range.
        EXPECT_LE(metered, litres + 1e-6);
        EXPECT_GT(metered, litres - 0.025 - 1e-6);
        // A household's day: a few hundred litres, some thousands when the garden is watered.
        EXPECT_GT(litres / 2, 100.0);
        EXPECT_LT(litres / 2, 6000.0);
    }
}

// Many households over a week: every kind of use occurs, in the order of frequency the studies
// report (faucet draws most, flushes next, showers far fewer), and a flush's refill only ever
// tapers as the float valve closes.
TEST(WaterUseProfile, HouseholdsUseWaterAsHomesDo)
{
    using Use = WaterUseProfile::Use;
    std::map<Use, int> counts;
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        const WaterUseProfile p = profile(seed, false, seed % 4 == 0);
        const int64_t from = kLocalMidnight, to = kLocalMidnight + 7 * kDay;
        std::map<uint64_t, double> previous;
        for (const auto &f : p.flows(from, to)) {
            if (f.use == Use::Toilet) {
                auto it = previous.emplace(f.instance, 1e9).first;
                EXPECT_LE(f.litresPerMinute, it->second) << "household " << seed;
                it->second = f.litresPerMinute;
            }
        }
        for (const auto &u : p.uses(from, to))
            ++counts[u.use];
    }
    EXPECT_EQ(counts.size(), size_t(WaterUseProfile::kUseCount)) << "every use occurs";
    EXPECT_GT(counts[Use::Faucet], counts[Use::Toilet]);
    EXPECT_GT(counts[Use::Toilet], 3 * counts[Use::Shower]);
}

TEST(WaterUseProfile, NightsAreQuietUnlessThereIsALeak)
{
    const int days = 6;
    const auto dry = profile(5).pulses(kLocalMidnight, kLocalMidnight + days * kDay);
    const auto leaky = profile(5, true).pulses(kLocalMidnight, kLocalMidnight + days * kDay);
    for (int d = 0; d < days; ++d) {
        const int64_t midnight = kLocalMidnight + d * kDay;
        int quietHours = 0, leakyHours = 0;
        for (int h = 0; h < 5; ++h) {
            quietHours += pulseTotal(dry, midnight + h * kHour, midnight + (h + 1) * kHour) == 0 ? 1 : 0;
            leakyHours += pulseTotal(leaky, midnight + h * kHour, midnight + (h + 1) * kHour) > 0 ? 1 : 0;
        }
        // Between 00:00 and 05:00 a flush or two at most; a leak keeps the meter turning.
        EXPECT_GE(quietHours, 3) << "day " << d;
        EXPECT_EQ(leakyHours, 5) << "day " << d;
        for (const auto &u : profile(5).uses(midnight, midnight + 5 * kHour))
            EXPECT_EQ(u.use, WaterUseProfile::Use::Toilet);
    }
}

TEST(WaterUseProfile, ADayIsTheSameWhicheverRangeItIsAskedIn)
{
    const WaterUseProfile p = profile(9);
    const int64_t day = kLocalMidnight + 2 * kDay;
    const auto inDay = p.flows(day, day + kDay);
    const auto inWeek = p.flows(kLocalMidnight, kLocalMidnight + 7 * kDay);
    for (const auto &f : inDay) {
        if (f.startTenths == day || f.endTenths == day + kDay)
            continue;  // clipped at the range's edges
        bool found = false;
        for (const auto &g : inWeek)
            found = found || (g.startTenths == f.startTenths && g.endTenths == f.endTenths && g.use == f.use &&
                              g.instance == f.instance);
        EXPECT_TRUE(found);
    }
    EXPECT_GT(inDay.size(), 10u);
}

TEST(WaterUseProfile, EnvironmentIsPlausibleAndFollowsTheDay)
{
    const WaterUseProfile p = profile(4);
    double coldest = 100, warmest = -100, nightSum = 0, afternoonSum = 0;
    for (int d = 0; d < 7; ++d) {
        for (int h = 0; h < 24; ++h) {
            const int64_t ns = (kLocalMidnight + d * kDay + h * kHour) * 100000000LL;
            const auto e = p.environmentAt(ns);
            EXPECT_GT(e.volts, 3.3);
            EXPECT_LT(e.volts, 3.7);
            coldest = std::min(coldest, e.celsius);
            warmest = std::max(warmest, e.celsius);
            if (h >= 2 && h < 6)
                nightSum += e.celsius;
            if (h >= 13 && h < 17)
                afternoonSum += e.celsius;
            EXPECT_EQ(p.environmentAt(ns).celsius, e.celsius);  // deterministic
        }
    }
    EXPECT_GT(coldest, 0.0);
    EXPECT_LT(warmest, 25.0);
    EXPECT_GT(afternoonSum, nightSum + 7 * 4 * 3.0);  // afternoons several degrees warmer
}
