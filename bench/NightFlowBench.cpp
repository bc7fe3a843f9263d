// Night flow and leak analysis of a log of about 10 million pulses over 90 days (a leaking
// household: flow in every hour), as the viewer runs it on every change of the log: the pass over
// the entries, the local-time hours on top of it, and for scale the viewer's own whole-log
// binning (10 s bins) that runs at the same moments.
#include "pulselog/NightFlowAnalysis.h"
#include "pulselog/PulseLogAnalysis.h"

#include <QDateTime>

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {
constexpr int64_t kTenth = 100000000;
constexpr int64_t kDays = 90;
constexpr int64_t kTargetPulses = 10000000;

const NightFlowAnalysis::Entries &entries()
{
    static const NightFlowAnalysis::Entries e = [] {
        NightFlowAnalysis::Entries out;
        std::mt19937_64 rng(7);
        const int64_t start = QDateTime(QDate(2026, 2, 1), QTime(9, 13)).toMSecsSinceEpoch() / 100;
        const int64_t tenths = kDays * 864000;
        // About one tenth in sixteen has pulses, 1 to 3 of them: ~10 M pulses in ~5 M entries.
        std::uniform_int_distribution<int> gap(1, 30), count(1, 3);
        int64_t pulses = 0;
        for (int64_t t = start; t < start + tenths && pulses < kTargetPulses; t += gap(rng)) {
            const uint32_t c = uint32_t(count(rng));
            out.push_back({t * kTenth, c});
            pulses += c;
        }
        return out;
    }();
    return e;
}

void BM_NightFlowWhole(benchmark::State &state)
{
    const auto &e = entries();
    for (auto _ : state) {
        const auto r = NightFlowAnalysis::analyse(e);
        benchmark::DoNotOptimize(r.nights.data());
    }
    state.counters["entries"] = double(e.size());
    state.counters["nights"] = double(NightFlowAnalysis::analyse(e).nights.size());
}
BENCHMARK(BM_NightFlowWhole)->Unit(benchmark::kMillisecond);

void BM_NightFlowQuarterSumsOnly(benchmark::State &state)
{
    const auto &e = entries();
    for (auto _ : state) {
        const auto q = NightFlowAnalysis::quarterSums(e);
        benchmark::DoNotOptimize(q.sums.data());
    }
}
BENCHMARK(BM_NightFlowQuarterSumsOnly)->Unit(benchmark::kMillisecond);

void BM_NightFlowLocalHoursOnly(benchmark::State &state)
{
    const auto q = NightFlowAnalysis::quarterSums(entries());
    for (auto _ : state) {
        const auto r = NightFlowAnalysis::analyse(q);
        benchmark::DoNotOptimize(r.hours.data());
    }
}
BENCHMARK(BM_NightFlowLocalHoursOnly)->Unit(benchmark::kMillisecond);

void BM_BaselineViewerBins10s(benchmark::State &state)
{
    const auto &e = entries();
    for (auto _ : state) {
        std::vector<double> sums;
        const auto range = PulseLogAnalysis::clampRange(e, QDateTime(), QDateTime());
        PulseLogAnalysis::binSums(e, range, 10000, &sums);
        benchmark::DoNotOptimize(sums.data());
    }
}
BENCHMARK(BM_BaselineViewerBins10s)->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
