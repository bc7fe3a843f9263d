// The library at fleet scale. Adding 1,000 generated 30-day logs of the virtual household
// (a quarter of them leaking) to an empty library on one thread and on every core, with the
// resident memory after the first hundred and after the last file: it must not grow with the
// count. Listing the leaks and the window's filter (count and first page) over 100,000 rows.
// Baseline: a memory copy of the same bytes in the same run.
//
// TW_BENCH_LIBRARY_LOGS changes the number of logs (default 1000; about 1.5 MB each, written
// once under the temporary folder and kept for the next run).
#include "library/LibraryAdder.h"
#include "library/LibraryAnalysis.h"
#include "library/LibraryStore.h"
#include "sim/SimulatedRawLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {
int logCount()
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("TW_BENCH_LIBRARY_LOGS", &ok);
    return ok && n > 0 ? n : 1000;
}

double residentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

// CPU seconds of every thread of the process: on a loaded machine the wall clock says more about
// the other programs than about this one.
double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Fleet {
    QStringList files;
    qint64 bytes = 0;
};

const Fleet &fleet()
{
    static const Fleet f = [] {
        Fleet out;
        const QString folder = QDir::temp().filePath(QStringLiteral("tarrowind-library-bench-%1").arg(logCount()));
        QDir().mkpath(folder);
        for (int i = 0; i < logCount(); ++i) {
            const QString path = QStringLiteral("%1/log-%2.rlog").arg(folder).arg(i, 5, 10, QLatin1Char('0'));
            if (!QFile::exists(path)) {
                SimulatedRawLog::Options o;
                o.profile.seed = uint32_t(1000 + i);
                o.profile.leak = i % 4 == 0;
                o.days = 30;
                o.startMs += int64_t(i % 300) * 86400000;
                o.metaData = {{QStringLiteral("Logger Serial"), QString::number(10000 + i % 50)},
                              {QStringLiteral("Logger Device Name"), QStringLiteral("Site %1").arg(i)}};
                QFile file(path + QStringLiteral(".part"));
                if (!file.open(QIODevice::WriteOnly) || file.write(SimulatedRawLog::build(o)) < 0)
                    qFatal("cannot write %s", qPrintable(path));
                file.close();
                QFile::rename(file.fileName(), path);
            }
            out.files << path;
            out.bytes += QFileInfo(path).size();
        }
        return out;
    }();
    return f;
}

void BM_MemoryCopyBaseline(benchmark::State &state)
{
    const size_t size = size_t(64) << 20;
    std::vector<char> from(size, 1), to(size);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::DoNotOptimize(to.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_MemoryCopyBaseline)->Unit(benchmark::kMillisecond);

// threads 0: every core
void BM_LibraryAdd(benchmark::State &state)
{
    const Fleet &f = fleet();
    double afterHundred = 0, afterAll = 0, cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = processCpuSeconds();
        QTemporaryDir dir;
        LibraryStore store;
        QString error;
        if (!store.open(dir.filePath(QStringLiteral("library.sqlite")), &error)) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        LibraryAdder::Options options;
        options.threads = int(state.range(0));
        int done = 0, refused = 0;
        LibraryAdder::add(
            store, f.files, options,
            [&](const LibraryAdder::Item &item) {
                refused +=
                    item.outcome == LibraryAdder::Outcome::Refused || item.outcome == LibraryAdder::Outcome::Failed;
                if (++done == std::min(100, int(f.files.size())))
                    afterHundred = residentMegabytes();
            },
            &error);
        afterAll = residentMegabytes();
        cpu += processCpuSeconds() - cpuBefore;
        if (refused > 0)
            state.SkipWithError("a generated log was refused");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * f.bytes);
    state.counters["logs/s"] =
        benchmark::Counter(double(f.files.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["threads"] = state.range(0) > 0 ? double(state.range(0)) : double(QThread::idealThreadCount());
    state.counters["logsPerCpuSecond"] = double(f.files.size()) * double(state.iterations()) / std::max(cpu, 1e-9);
    state.counters["rssAfter100MB"] = afterHundred;
    state.counters["rssAfterAllMB"] = afterAll;
}
BENCHMARK(BM_LibraryAdd)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// 100,000 rows: records as the analysis gives them, with a few bytes standing in for the log.
LibraryStore &bigLibrary()
{
    static QTemporaryDir dir;
    static LibraryStore store;
    static const bool filled = [] {
        QString error;
        if (!store.open(dir.filePath(QStringLiteral("big.sqlite")), &error))
            qFatal("%s", qPrintable(error));
        for (int i = 0; i < 100000; ++i) {
            LibraryRecord r;
            const QByteArray raw = QByteArray::number(i);
            r.sha256 = LibraryAnalysis::sha256Hex(raw);
            r.size = raw.size();
            r.serial = QString::number(10000 + i % 3000);
            r.deviceName = QStringLiteral("Site %1").arg(i % 5000);
            r.jobName = QStringLiteral("log_%1").arg(i);
            r.hasPulses = true;
            r.firstPulseMs = 1772323200000 + int64_t(i) * 3600000;
            r.lastPulseMs = r.firstPulseMs + 30LL * 86400000;
            r.pulses = 150000 + i % 1000;
            r.nightMinimum = i % 20 == 0 ? 40 + i % 7 : i % 3;
            r.nightFlowUnit = QStringLiteral("Revolutions per Hour");
            r.leak = i % 20 == 0;
            r.longestFlowHours = r.leak ? 48 : 5;
            r.analysisVersion = LibraryAnalysis::kVersion;
            if (store.add(r, raw, QStringLiteral("/fleet/%1.rlog").arg(i), &error) == LibraryStore::AddResult::Failed)
                qFatal("%s", qPrintable(error));
        }
        return true;
    }();
    (void)filled;
    return store;
}

void BM_ListLeaks100k(benchmark::State &state)
{
    LibraryStore &store = bigLibrary();
    LibraryFilter f;
    f.leaksOnly = true;
    std::vector<LibraryRecord> rows;
    QString error;
    for (auto _ : state)
        store.list(f, &rows, &error);
    state.counters["rows"] = double(rows.size());
}
BENCHMARK(BM_ListLeaks100k)->Unit(benchmark::kMillisecond);

// What the window's table asks on each change of the filter text: the count and the first page.
void BM_WindowFilter100k(benchmark::State &state)
{
    LibraryStore &store = bigLibrary();
    LibraryFilter f;
    f.text = QStringLiteral("site 42");
    f.limit = 200;
    std::vector<LibraryRecord> rows;
    int count = 0;
    QString error;
    for (auto _ : state)
        store.page(f, &rows, &count, &error);
    state.counters["matches"] = count;
}
BENCHMARK(BM_WindowFilter100k)->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
