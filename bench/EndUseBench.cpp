// Where the water went, judged against the virtual households' ground truth: 50 homes of 14 days
// each (different seeds; every tenth home with a constant drip, every tenth with a leaking
// flapper), at the logger's own resolution and with every flow averaged over whole minutes (the
// pulses of each minute spread evenly over it), as homes known only per minute look.
//
// Per use: event precision, recall and F1 (a true use is found when a found event of the same
// use overlaps it by half its duration or more; a found event is right when it finds one), the
// share of all the water put into the right use within the right minute, and the contribution
// accuracy (100 - |true - found| / total * 100 of each home, averaged over the homes).
//
// Then the speed: a 30-day log of 10 million pulses classified, next to a plain pass over the same
// entries.
#include "enduse/EndUseEngine.h"
#include "sim/WaterUseProfile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <vector>

namespace {
using Entries = std::vector<PulseLogTypes::TimestampedEntry>;
using EndUse::Use;
constexpr int64_t kTenthNs = 100'000'000;
constexpr int64_t kStartTenths = 17723232000;  // 2026-03-01 00:00 UTC
constexpr int kHomes = 50;
constexpr int kDays = 14;
constexpr double kLitresPerPulse = 0.025;
constexpr size_t kUses = size_t(EndUse::kUseCount);

WaterUseProfile profile(uint32_t seed, double litresPerPulse)
{
    WaterUseProfile::Options o;
    o.seed = seed;
    o.leak = seed % 10 == 3;
    o.flapper = seed % 10 == 7;
    o.litresPerPulse = litresPerPulse;
    return WaterUseProfile(o);
}

Entries entriesOf(const WaterUseProfile &p, int64_t startTenths, int64_t endTenths)
{
    Entries out;
    for (const auto &pulse : p.pulses(startTenths, endTenths))
        out.push_back({pulse.tenths * kTenthNs, pulse.count});
    return out;
}

// The same pulses with each minute's spread evenly over it.
Entries minuteAveraged(const Entries &native)
{
    Entries out;
    constexpr int64_t minute = 600 * kTenthNs;
    for (size_t i = 0; i < native.size();) {
        const int64_t m = native[i].time - native[i].time % minute;
        uint64_t n = 0;
        for (; i < native.size() && native[i].time < m + minute; ++i)
            n += native[i].count;
        for (uint64_t k = 0; k < n; ++k) {
            const int64_t t = m + int64_t((2 * k + 1) * 600 / (2 * n)) * kTenthNs;
            if (!out.empty() && out.back().time == t)
                out.back().count += 1;
            else
                out.push_back({t, 1});
        }
    }
    return out;
}

struct Span {
    int64_t start = 0, end = 0;  // ns
    size_t use = 0;
};

// Water of each use in each minute of the home's fortnight.
using Minutes = std::vector<std::array<double, kUses>>;

void spread(Minutes &minutes, int64_t origin, int64_t start, int64_t end, double litres, size_t use)
{
    constexpr int64_t minute = 600 * kTenthNs;
    if (end <= start) {
        const int64_t m = (start - origin) / minute;
        if (m >= 0 && m < int64_t(minutes.size()))
            minutes[size_t(m)][use] += litres;
        return;
    }
    for (int64_t t = start; t < end;) {
        const int64_t m = (t - origin) / minute;
        const int64_t next = std::min(end, origin + (m + 1) * minute);
        if (m >= 0 && m < int64_t(minutes.size()))
            minutes[size_t(m)][use] += litres * double(next - t) / double(end - start);
        t = next;
    }
}

struct Tally {
    std::array<double, kUses> trueEvents{}, foundEvents{}, truePositives{}, rightFound{}, accuracy{};
    std::array<int, kUses> homesWithUse{};
    // water of each true use (row) found in each use (column), minute by minute
    std::array<std::array<double, kUses>, kUses> confusion{};
    double rightMinuteWater = 0, water = 0, accuracySum = 0;
    int accuracyCount = 0;
};

bool finds(const Span &found, const Span &truth)
{
    if (found.use != truth.use)
        return false;
    const int64_t overlap = std::min(found.end, truth.end) - std::max(found.start, truth.start);
    const int64_t duration = truth.end - truth.start;
    return duration <= 0 ? found.start <= truth.start && truth.start <= found.end : 2 * overlap >= duration;
}

void judge(const WaterUseProfile &p, const Entries &entries, Tally &tally)
{
    const int64_t start = kStartTenths, end = kStartTenths + kDays * WaterUseProfile::kTenthsPerDay;
    const auto result = EndUseEngine::analyse(entries.data(), entries.data() + entries.size(), kLitresPerPulse);
    std::vector<Span> truth, found;
    std::array<double, kUses> trueLitres{}, foundLitres{};
    Minutes trueMinutes(size_t(kDays * 1440)), foundMinutes(size_t(kDays * 1440));
    const int64_t origin = start * kTenthNs;
    for (const auto &u : p.uses(start, end)) {
        truth.push_back({u.startTenths * kTenthNs, u.endTenths * kTenthNs, size_t(u.use)});
        trueLitres[size_t(u.use)] += u.litres;
    }
    for (const auto &f : p.flows(start, end))
        spread(trueMinutes, origin, f.startTenths * kTenthNs, f.endTenths * kTenthNs,
               f.litresPerMinute * double(f.endTenths - f.startTenths) / 600.0, size_t(f.use));
    for (const auto &e : result.events) {
        found.push_back({e.start, e.end, size_t(e.use)});
        foundLitres[size_t(e.use)] += e.litres;
        if (e.parts.empty())
            spread(foundMinutes, origin, e.start, e.end, e.litres, size_t(e.use));
        for (const auto &part : e.parts)
            spread(foundMinutes, origin, part.start, part.end, part.litres, size_t(e.use));
    }
    for (const Span &t : truth) {
        tally.trueEvents[t.use] += 1;
        tally.truePositives[t.use] +=
            std::any_of(found.begin(), found.end(), [&](const Span &f) { return finds(f, t); });
    }
    for (const Span &f : found) {
        tally.foundEvents[f.use] += 1;
        tally.rightFound[f.use] += std::any_of(truth.begin(), truth.end(), [&](const Span &t) { return finds(f, t); });
    }
    double total = 0;
    for (size_t m = 0; m < trueMinutes.size(); ++m) {
        const auto &tm = trueMinutes[m], &fm = foundMinutes[m];
        const double trueSum = std::accumulate(tm.begin(), tm.end(), 0.0);
        const double foundSum = std::accumulate(fm.begin(), fm.end(), 0.0);
        for (size_t u = 0; u < kUses && trueSum > 0 && foundSum > 0; ++u) {
            for (size_t v = 0; v < kUses; ++v)
                tally.confusion[u][v] += tm[u] * fm[v] / foundSum;
        }
        for (size_t u = 0; u < kUses; ++u) {
            tally.rightMinuteWater += std::min(trueMinutes[m][u], foundMinutes[m][u]);
            total += trueMinutes[m][u];
        }
    }
    tally.water += total;
    for (size_t u = 0; u < kUses; ++u) {
        if (trueLitres[u] <= 0 && foundLitres[u] <= 0)
            continue;
        const double a = 100 - std::fabs(trueLitres[u] - foundLitres[u]) / total * 100;
        tally.accuracy[u] += a;
        tally.homesWithUse[u] += 1;
        tally.accuracySum += a;
        tally.accuracyCount += 1;
    }
}

void printTable(const char *title, const Tally &t)
{
    std::printf("\n%s\n%-14s %7s %7s %9s %9s %7s %12s\n", title, "use", "true", "found", "precision", "recall", "F1",
                "contribution");
    for (Use u : EndUse::kUses) {
        const size_t i = size_t(u);
        const double precision = t.foundEvents[i] ? t.rightFound[i] / t.foundEvents[i] : 0;
        const double recall = t.trueEvents[i] ? t.truePositives[i] / t.trueEvents[i] : 0;
        const double f1 = precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0;
        std::printf("%-14s %7.0f %7.0f %9.3f %9.3f %7.3f %12.1f\n", EndUse::key(u).toLatin1().constData(),
                    t.trueEvents[i], t.foundEvents[i], precision, recall, f1,
                    t.homesWithUse[i] ? t.accuracy[i] / t.homesWithUse[i] : 100.0);
    }
    std::printf("\nwhere each use's water went (%% of its water, by minute):\n%-14s", "");
    for (Use u : EndUse::kUses)
        std::printf(" %6.6s", EndUse::key(u).toLatin1().constData());
    for (Use u : EndUse::kUses) {
        const auto &row = t.confusion[size_t(u)];
        const double sum = std::accumulate(row.begin(), row.end(), 0.0);
        std::printf("\n%-14s", EndUse::key(u).toLatin1().constData());
        for (double v : row)
            std::printf(" %6.1f", sum > 0 ? 100 * v / sum : 0.0);
    }
    std::printf("\nwater in the right use within the right minute: %.1f %%; mean contribution accuracy: %.1f\n",
                100 * t.rightMinuteWater / t.water, t.accuracySum / std::max(1, t.accuracyCount));
}

void accuracy()
{
    Tally native, minute;
    const int64_t start = kStartTenths, end = kStartTenths + kDays * WaterUseProfile::kTenthsPerDay;
    for (int home = 1; home <= kHomes; ++home) {
        const WaterUseProfile p = profile(uint32_t(home), kLitresPerPulse);
        const Entries entries = entriesOf(p, start, end);
        judge(p, entries, native);
        judge(p, minuteAveraged(entries), minute);
    }
    std::printf("End uses of %d virtual homes x %d days (%.0f litres)\n", kHomes, kDays, native.water);
    printTable("At the logger's resolution (0.1 s)", native);
    printTable("Flows averaged over whole minutes", minute);
    std::printf("\n");
    std::fflush(stdout);
}

// A month of a home at a meter fine enough to count 10 million pulses.
struct Month {
    Entries entries;
    double litresPerPulse = 0;
};

const Month &month()
{
    static const Month m = [] {
        const int64_t end = kStartTenths + 30 * WaterUseProfile::kTenthsPerDay;
        double litres = 0;
        for (const auto &f : profile(8, 1).flows(kStartTenths, end))
            litres += f.litresPerMinute * double(f.endTenths - f.startTenths) / 600.0;
        return Month{entriesOf(profile(8, litres / 1e7), kStartTenths, end), litres / 1e7};
    }();
    return m;
}

uint64_t pulsesOf(const Entries &e)
{
    uint64_t n = 0;
    for (const auto &x : e)
        n += x.count;
    return n;
}

void BM_EndUse30Days(benchmark::State &state)
{
    const Entries &e = month().entries;
    const double litresPerPulse = month().litresPerPulse;
    size_t events = 0;
    for (auto _ : state) {
        const auto r = EndUseEngine::analyse(e.data(), e.data() + e.size(), litresPerPulse);
        events = r.events.size();
        benchmark::DoNotOptimize(r.events.data());
    }
    state.counters["entries"] = double(e.size());
    state.counters["pulses"] = double(pulsesOf(e));
    state.counters["events"] = double(events);
}
BENCHMARK(BM_EndUse30Days)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// The same month with water running nearly all the time (a meter turning through a burst pipe
// for weeks): ten million entries of one pulse, a tenth to four tenths apart.
const Entries &burst()
{
    static const Entries e = [] {
        Entries out;
        out.reserve(10'000'000);
        uint64_t x = 88172645463325252ull;  // xorshift: the same trace on every run
        for (int64_t t = kStartTenths; out.size() < 10'000'000; t += 1 + int64_t(x % 4)) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            out.push_back({t * kTenthNs, 1});
        }
        return out;
    }();
    return e;
}

void BM_EndUseBurst10M(benchmark::State &state)
{
    const Entries &e = burst();
    for (auto _ : state) {
        const auto r = EndUseEngine::analyse(e.data(), e.data() + e.size(), kLitresPerPulse);
        benchmark::DoNotOptimize(r.events.data());
    }
    state.counters["entries"] = double(e.size());
    state.counters["days"] = double(e.back().time - e.front().time) / 864e11;
}
BENCHMARK(BM_EndUseBurst10M)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// The least any analysis pays: one pass over the entries, adding up the pulses of each 10 s.
void BM_PlainPassOverEntries(benchmark::State &state)
{
    const Entries &e = state.range(0) ? burst() : month().entries;
    for (auto _ : state) {
        double sum = 0, peak = 0;
        int64_t bin = INT64_MIN;
        for (const auto &x : e) {
            const int64_t b = x.time / 10'000'000'000LL;
            if (b != bin) {
                peak = std::max(peak, sum);
                sum = 0;
                bin = b;
            }
            sum += x.count;
        }
        benchmark::DoNotOptimize(peak);
    }
}
BENCHMARK(BM_PlainPassOverEntries)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    accuracy();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
