// The customer report of a 30-day log of about 10 million pulses, as `tarrowind-cli report` and
// the viewer's export write it: the snapshot (the one pass over the period's entries), the
// summary, and the two PDF pages. For scale, the viewer's own whole-log binning (10 s bins) and
// a copy of the entries, measured in the same run.
#include "pulselog/PulseLog.h"
#include "pulselog/PulseLogAnalysis.h"
#include "report/CustomerReport.h"
#include "report/CustomerReportPdf.h"

#include <QBuffer>
#include <QDateTime>
#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <random>

namespace {
constexpr int64_t kTenth = 100000000;
constexpr int64_t kDays = 30;
constexpr int64_t kTargetPulses = 10000000;

const PulseLog &log()
{
    static PulseLog *l = [] {
        auto *out = new PulseLog;
        std::mt19937_64 rng(11);
        const int64_t start = QDateTime(QDate(2026, 3, 1), QTime(9, 13)).toMSecsSinceEpoch() / 100;
        const int64_t tenths = kDays * 864000;
        // Pulses in about two tenths in five, 1 to 7 of them: ~10 M pulses over the 30 days.
        std::uniform_int_distribution<int> gap(1, 5), count(1, 7);
        int64_t pulses = 0;
        for (int64_t t = start; t < start + tenths && pulses < kTargetPulses; t += gap(rng)) {
            const uint32_t c = uint32_t(count(rng));
            out->addPulsesNoSignal(t * kTenth, c);
            pulses += c;
        }
        out->setMetaData({{"Logger Serial", "TW-BENCH"},
                          {"Meter Reading Unit", "Gallons"},
                          {"Meter Reading Start", "1000"},
                          {"Meter Reading End", "76000"}});
        return out;
    }();
    return *l;
}

void BM_ReportWhole(benchmark::State &state)
{
    const PulseLog &l = log();
    size_t bytes = 0;
    for (auto _ : state) {
        const auto summary =
            CustomerReport::summarise(CustomerReport::snapshot(l, QDateTime(), QDateTime()), QStringLiteral("Gallons"));
        QBuffer pdf;
        pdf.open(QIODevice::WriteOnly);
        CustomerReportPdf::render(summary, &pdf, CustomerReportPdf::Page::Letter);
        bytes = size_t(pdf.size());
    }
    state.counters["entries"] = double(l.entries().size());
    state.counters["pulses"] = double(l.totalPulseCount());
    state.counters["pdfBytes"] = double(bytes);
}
BENCHMARK(BM_ReportWhole)->Unit(benchmark::kMillisecond);

void BM_ReportSnapshotOnly(benchmark::State &state)
{
    for (auto _ : state) {
        const auto snap = CustomerReport::snapshot(log(), QDateTime(), QDateTime());
        benchmark::DoNotOptimize(snap.sums.sums.data());
    }
}
BENCHMARK(BM_ReportSnapshotOnly)->Unit(benchmark::kMillisecond);

void BM_ReportPagesOnly(benchmark::State &state)
{
    const auto summary =
        CustomerReport::summarise(CustomerReport::snapshot(log(), QDateTime(), QDateTime()), QStringLiteral("Gallons"));
    for (auto _ : state) {
        QBuffer pdf;
        pdf.open(QIODevice::WriteOnly);
        CustomerReportPdf::render(summary, &pdf, CustomerReportPdf::Page::Letter);
        benchmark::DoNotOptimize(pdf.data().data());
    }
}
BENCHMARK(BM_ReportPagesOnly)->Unit(benchmark::kMillisecond);

void BM_BaselineViewerBins10s(benchmark::State &state)
{
    const auto &e = log().entries();
    for (auto _ : state) {
        std::vector<double> sums;
        PulseLogAnalysis::binSums(e, PulseLogAnalysis::clampRange(e, QDateTime(), QDateTime()), 10000, &sums);
        benchmark::DoNotOptimize(sums.data());
    }
}
BENCHMARK(BM_BaselineViewerBins10s)->Unit(benchmark::kMillisecond);

void BM_BaselineCopyEntries(benchmark::State &state)
{
    for (auto _ : state) {
        PulseLog::Entries copy = log().entries();
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_BaselineCopyEntries)->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char **argv)
{
    // Fonts and the PDF engine need a GUI application; the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
