// The decider's hot paths next to baselines measured in the same run: a plain loop over the same
// samples (per-sample cost), and Python's csv module reading the same file (recording load).

#include "decider/EllipticalDecider.h"
#include "decider/FileRecording.h"
#include "decider/ParameterLearner.h"
#include "decider/WrappedEllipticalDecider.h"

#include <benchmark/benchmark.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {
// A modelled magnet: an ellipse in a tilted plane with an offset and noise, 2 rev/s at 400 Hz.
std::vector<XyzSampleTimestamped> magnetSamples(size_t count, uint32_t seed = 7)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 8.0);
    const double u[3] = {0.0, 0.85, 0.5}, v[3] = {0.95, -0.15, 0.25};
    std::vector<XyzSampleTimestamped> out(count);
    int64_t t = 1700000000LL * 1000000000LL;
    for (size_t i = 0; i < count; ++i) {
        const double ph = 2.0 * M_PI * 2.0 * double(i) / 400.0;
        double p[3];
        for (int k = 0; k < 3; ++k)
            p[k] = (k == 2 ? 800.0 : -300.0) + 400.0 * std::cos(ph) * u[k] + 250.0 * std::sin(ph) * v[k] + noise(rng);
        out[i].x = int16_t(std::lround(p[0]));
        out[i].y = int16_t(std::lround(p[1]));
        out[i].z = int16_t(std::lround(p[2]));
        out[i].timestamp = t;
        t += 2500000;
    }
    return out;
}

const std::vector<XyzSampleTimestamped> &samples()
{
    static const auto s = magnetSamples(1 << 16);
    return s;
}

// Baseline: touch every sample with a little float arithmetic, as any per-sample loop must.
void BM_PlainReferenceLoop(benchmark::State &state)
{
    const auto &s = samples();
    size_t i = 0;
    float acc = 0.f;
    for (auto _ : state) {
        const auto &e = s[i++ & (s.size() - 1)];
        acc += std::atan2(e.y * 0.1f, e.x * 0.1f) + e.z * 0.1f;
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainReferenceLoop);

void BM_EllipticalDeciderAddSample(benchmark::State &state)
{
    WrappedEllipticalDecider learner;
    learner.setAutoCalibrate(true);
    const auto &s = samples();
    for (const auto &e : s)
        learner.addSample(e);
    EllipticalDecider d;
    d.setParameters(learner.liveDecider().parameters());
    std::vector<float3> f;
    for (const auto &e : s)
        f.push_back({e.x * 0.1f, e.y * 0.1f, e.z * 0.1f});
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(d.addSample(f[i++ & (f.size() - 1)]));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EllipticalDeciderAddSample);

// The wrapper once running: smoother, signal strength, rings, live decider, signals.
void BM_WrappedAddSampleRunning(benchmark::State &state)
{
    WrappedEllipticalDecider w;
    w.setAutoCalibrate(true);
    const auto &s = samples();
    for (const auto &e : s)
        w.addSample(e);
    w.setAutoCalibrate(false);  // measure the steady state, not background relearning
    if (w.status() != WrappedDecider::DeciderStatus_Running)
        state.SkipWithError("decider did not learn");
    size_t i = 0;
    for (auto _ : state)
        w.addSample(s[i++ & (s.size() - 1)]);
    state.SetItemsProcessed(state.iterations());
    state.counters["pulses"] = w.pulseCount();
}
BENCHMARK(BM_WrappedAddSampleRunning);

// One complete learning run from the first collected sample through evaluation, and the
// longest single addSample call in it (the one that completes collection runs all stages).
void BM_LearningRun(benchmark::State &state)
{
    const auto &s = samples();
    std::vector<double> worstPerRun;
    int64_t samplesPerRun = 0;
    for (auto _ : state) {
        double worstUs = 0.0;
        state.PauseTiming();
        auto w = std::make_unique<WrappedEllipticalDecider>();
        for (int i = 0; i < 200; ++i)
            w->addSample(s[size_t(i)]);  // past the warm-up
        w->beginLearningParameters();
        state.ResumeTiming();
        size_t i = 200;
        while (w->status() != WrappedDecider::DeciderStatus_Running && i < s.size()) {
            const auto t0 = std::chrono::steady_clock::now();
            w->addSample(s[i++]);
            const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
            worstUs = std::max(worstUs, us);
        }
        samplesPerRun = int64_t(i - 200);
        worstPerRun.push_back(worstUs);
    }
    // The median over runs of each run's slowest call: the machine is shared, so the single
    // largest figure mostly measures preemption.
    std::sort(worstPerRun.begin(), worstPerRun.end());
    if (!worstPerRun.empty()) {
        state.counters["worst_addSample_us_median"] = worstPerRun[worstPerRun.size() / 2];
        state.counters["worst_addSample_us_max"] = worstPerRun.back();
    }
    state.counters["samples_per_run"] = double(samplesPerRun);
}
BENCHMARK(BM_LearningRun)->Unit(benchmark::kMillisecond);

// The learner alone on 512 stored samples: all stages after collection.
void BM_LearnerStagesAfterCollection(benchmark::State &state)
{
    const auto &s = samples();
    std::vector<ParameterLearner::Sample> in;
    for (const auto &e : s) {
        ParameterLearner::Sample x;
        x.x = e.x * 0.1f;
        x.y = e.y * 0.1f;
        x.z = e.z * 0.1f;
        in.push_back(x);
    }
    ParameterLearner l;
    const uint8_t noAbort = 0;
    for (auto _ : state) {
        l.beginLearning(nullptr);
        for (const auto &x : in)
            if (l.step(x, noAbort) == ParameterLearner::LearnerStep_Finished)
                break;
    }
    state.counters["accepted"] = l.stage() == ParameterLearner::Stage_Accepted ? 1 : 0;
}
BENCHMARK(BM_LearnerStagesAfterCollection)->Unit(benchmark::kMillisecond);

// FileRecording.load of a one-million-line CSV, with Python's csv module reading the same file
// in the same run as the yardstick.
QString bigCsv()
{
    static QTemporaryDir dir;
    static QString path;
    if (path.isEmpty()) {
        path = dir.filePath(QStringLiteral("million.csv"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return QString();
        const auto s = magnetSamples(1000000, 3);
        QByteArray text = "x,y,z,time\r\n";
        text.reserve(40 * 1000000);
        for (size_t i = 0; i < s.size(); ++i) {
            text += QByteArray::number(s[i].x * 0.1) + ',' + QByteArray::number(s[i].y * 0.1) + ',' +
                    QByteArray::number(s[i].z * 0.1) + ',' + QByteArray::number(double(i) / 400.0, 'f', 6) + "\r\n";
        }
        f.write(text);
    }
    return path;
}

double pythonCsvSeconds(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"),
                                        QStringLiteral("import csv,sys,time\n"
                                                       "t=time.perf_counter()\n"
                                                       "rows=[(float(a),float(b),float(c),float(d)) for a,b,c,d in "
                                                       "list(csv.reader(open(sys.argv[1],newline='')))[1:]]\n"
                                                       "print(time.perf_counter()-t, len(rows))"),
                                        path});
    if (!p.waitForFinished(300000))
        return -1.0;
    return p.readAllStandardOutput().split(' ').value(0).toDouble();
}

void BM_FileRecordingLoadMillionLines(benchmark::State &state)
{
    const QString path = bigCsv();
    if (path.isEmpty()) {
        state.SkipWithError("cannot write the CSV");
        return;
    }
    int count = 0;
    for (auto _ : state) {
        FileRecording r;
        r.load(path);
        count = r.sampleCount();
    }
    state.counters["samples"] = count;
    state.counters["python_csv_s"] = pythonCsvSeconds(path);
}
BENCHMARK(BM_FileRecordingLoadMillionLines)->Unit(benchmark::kMillisecond)->Iterations(2);
}  // namespace

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);  // calibration log lines would drown the table
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
