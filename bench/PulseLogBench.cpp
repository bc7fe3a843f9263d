// Pulse log hot paths on a synthetic log of 10 million pulses over 30 days: decoding raw
// blocks, binning, a zoom step of the viewer, and the CSV and XLSX exports. Each figure has a
// baseline from the same run (memory copy for decoding, a plain summing loop for binning,
// Python's csv module and python3-xlsxwriter writing the same rows for the exports).
//
// Loading raw log files is the cost of adding a fleet's logs to the library: what one core
// loads, alone and with a second core loading another log, with and without the row's analysis
// (pulse count and span, volume, night flows and leak), next to a memory copy of the same
// number of bytes per thread.
#include "pulselog/MeterUnits.h"
#include "pulselog/NightFlowAnalysis.h"
#include "pulselog/PulseLog.h"
#include "sim/PulseBlockEncoder.h"
#include "sim/WaterUseProfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <time.h>
#include <vector>

namespace {
constexpr int64_t kTenth = 100000000;
constexpr int64_t kTargetPulses = 10000000;
constexpr int64_t kDays = 30;
constexpr int kBlockSize = 520;
constexpr int kStreamStart = 20;  // kind 1 header

// --- a minimal encoder of kind-1 pulse blocks ---
struct BlockEncoder {
    std::vector<QByteArray> blocks;
    QByteArray current;
    int bit = 0;
    uint32_t entries = 0;
    int64_t blockTime = 0;  // decoder's current time inside the block (tenths)
    bool open = false;

    void start(int64_t tenths, int day)
    {
        current = QByteArray(kBlockSize, '\0');
        const uint32_t magic = 0xD3EC50EAu;
        const uint16_t mv = uint16_t(3300 - day * 5);
        const uint16_t tcode = uint16_t(22937 + (day % 7) * 300);
        const uint64_t base = uint64_t(tenths);
        std::memcpy(current.data(), &magic, 4);
        std::memcpy(current.data() + 4, &mv, 2);
        std::memcpy(current.data() + 6, &tcode, 2);
        std::memcpy(current.data() + 8, &base, 8);
        bit = kStreamStart * 8;
        entries = 0;
        blockTime = tenths;
        open = true;
    }
    void finish()
    {
        if (!open)
            return;
        std::memcpy(current.data() + 16, &entries, 4);
        blocks.push_back(current);
        open = false;
    }
    void put(uint32_t v, int n)
    {
        for (int i = 0; i < n; ++i, ++bit) {
            if ((v >> i) & 1u)
                current[bit / 8] = char(uint8_t(current[bit / 8]) | (1u << (bit % 8)));
        }
    }
    void entry(uint32_t v)  // K = 1
    {
        put(1, 1);
        if (v <= 1) {
            put(0, 2);
            put(v, 1);
        } else if (v <= 5) {
            put(1, 1);
            put(0, 1);
            put(v - 2, 2);
        } else if (v <= 21) {
            put(0, 1);
            put(1, 1);
            put(v - 6, 4);
        } else {
            put(3, 2);
            put(v - 22, 8);
        }
        ++entries;
    }
    // `count` pulses at `tenths`
    void pulses(int64_t tenths, uint32_t count, int day)
    {
        // worst case per call: skips of 11 bits plus one 11-bit step and 4 bits per pulse
        const int64_t gap = open ? tenths - blockTime : 0;
        const int need = int(gap / 277 + 2) * 11 + int(count) * 4;
        if (!open || bit + need > kBlockSize * 8 || gap > 277 * 20) {
            finish();
            start(tenths, day);
        }
        int64_t delta = tenths - blockTime;
        while (delta > 276) {
            entry(277);
            delta -= 277;
            blockTime += 277;
        }
        if (delta > 0) {
            entry(uint32_t(delta));
            blockTime += delta;
            --count;
        }
        for (; count > 0; --count)
            entry(0);
    }
};

struct Fixture {
    std::vector<QByteArray> blocks;
    QByteArray raw;
    std::unique_ptr<PulseLog> log;
    int64_t pulses = 0;
    QTemporaryDir dir;
};

Fixture &fixture()
{
    static Fixture *f = [] {
        auto *fixture = new Fixture;
        Fixture &fx = *fixture;
        BlockEncoder enc;
        std::mt19937_64 rng(7);
        const int64_t start = QDateTime(QDate(2026, 3, 2), QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch() / 100;
        const int64_t end = start + kDays * 864000;
        // Alternating flow and idle periods; the mean rate brings 30 days to about 10 million pulses.
        std::uniform_int_distribution<int> flowLen(100, 6000), idleLen(1000, 14000), perTenth(0, 2);
        int64_t t = start;
        int64_t total = 0;
        while (t < end && total < kTargetPulses) {
            const int64_t flowEnd = std::min(end, t + flowLen(rng));
            for (; t < flowEnd && total < kTargetPulses; ++t) {
                uint32_t c = uint32_t(perTenth(rng));
                c += c == 2 ? 1 : 0;  // a little faster than one pulse per tenth on average
                if (c) {
                    enc.pulses(t, c, int((t - start) / 864000));
                    total += c;
                }
            }
            t += idleLen(rng);
        }
        enc.finish();
        fx.blocks = std::move(enc.blocks);
        for (const QByteArray &b : fx.blocks)
            fx.raw += b;
        fx.log = std::make_unique<PulseLog>();
        for (const QByteArray &b : fx.blocks)
            fx.log->appendRawDataNoSignal(b);
        fx.pulses = fx.log->totalPulseCount();
        return fixture;
    }();
    return *f;
}

QString python()
{
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                             : QStringLiteral("python3");
}

// Rows for the Python baselines: little-endian (int64 ms, uint32 count).
QString dumpRows(size_t maxRows)
{
    Fixture &f = fixture();
    const QString path = f.dir.filePath(QStringLiteral("rows-%1.bin").arg(maxRows));
    if (QFile::exists(path))
        return path;
    QByteArray bytes;
    size_t n = 0;
    for (const auto &e : f.log->entries()) {
        if (e.count == 0)
            continue;
        const int64_t ms = e.time / 1000000;
        bytes.append(reinterpret_cast<const char *>(&ms), 8);
        bytes.append(reinterpret_cast<const char *>(&e.count), 4);
        if (++n == maxRows)
            break;
    }
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(bytes);
    return path;
}

const char *kPythonCsv = R"(
import csv, datetime, struct, sys, time
data = open(sys.argv[1], 'rb').read()
t0 = time.perf_counter()
n = 0
with open(sys.argv[2], 'w', newline='') as f:
    w = csv.writer(f, lineterminator='\r\n')
    w.writerow(['Date', 'Time', 'Subseconds', 'Revolutions'])
    for ms, c in struct.iter_unpack('<qI', data):
        d = datetime.datetime.fromtimestamp(ms / 1000)
        w.writerow([d.strftime('%Y-%m-%d'), d.strftime('%H:%M:%S'), '%.1f' % (ms % 1000 / 1000), c])
        n += 1
print(time.perf_counter() - t0, n)
)";

const char *kPythonXlsx = R"(
import datetime, struct, sys, time
import xlsxwriter
data = open(sys.argv[1], 'rb').read()
t0 = time.perf_counter()
wb = xlsxwriter.Workbook(sys.argv[2], {'constant_memory': True})
ws = wb.add_worksheet('Raw Revolution Data')
ws.set_column(0, 0, 24, wb.add_format({'num_format': 'yyyy-mm-dd hh:mm:ss.0'}))
ws.write_row(0, 0, ['Date Time', 'Revolutions'], wb.add_format({'bold': True}))
n = 0
for ms, c in struct.iter_unpack('<qI', data):
    n += 1
    ws.write_datetime(n, 0, datetime.datetime.fromtimestamp(ms / 1000))
    ws.write_number(n, 1, c)
wb.close()
print(time.perf_counter() - t0, n)
)";

// Runs a baseline script; returns its rows per second (0 when Python or the module is missing).
double pythonRowsPerSecond(const char *script, size_t rows, const QString &suffix)
{
    Fixture &f = fixture();
    const QString scriptPath = f.dir.filePath(QStringLiteral("baseline%1.py").arg(suffix));
    QFile s(scriptPath);
    s.open(QIODevice::WriteOnly | QIODevice::Truncate);
    s.write(script);
    s.close();
    QProcess p;
    p.start(python(), {scriptPath, dumpRows(rows), f.dir.filePath(QStringLiteral("python-out") + suffix)});
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return 0;
    const QStringList parts = QString::fromLatin1(p.readAllStandardOutput()).split(QLatin1Char(' '));
    if (parts.size() < 2)
        return 0;
    const double seconds = parts[0].toDouble();
    return seconds > 0 ? parts[1].toDouble() / seconds : 0;
}

int64_t procStatusKb(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0)
            return std::stoll(line.substr(std::strlen(field)));
    }
    return 0;
}

void resetPeakRss()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// ---------------------------------------------------------------------------------------------

void BM_DecodeBlocks(benchmark::State &state)
{
    Fixture &f = fixture();
    for (auto _ : state) {
        PulseLog log;
        for (const QByteArray &b : f.blocks)
            log.appendRawDataNoSignal(b);
        benchmark::DoNotOptimize(log.totalPulseCount());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * f.raw.size());
    state.counters["blocks"] = double(f.blocks.size());
    state.counters["pulses"] = double(f.pulses);
    state.counters["entries"] = double(f.log->entries().size());
}
BENCHMARK(BM_DecodeBlocks)->Unit(benchmark::kMillisecond);

void BM_BaselineMemcpyOfBlocks(benchmark::State &state)
{
    Fixture &f = fixture();
    QByteArray copy(f.raw.size(), '\0');
    for (auto _ : state) {
        std::memcpy(copy.data(), f.raw.constData(), size_t(f.raw.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * f.raw.size());
}
BENCHMARK(BM_BaselineMemcpyOfBlocks)->Unit(benchmark::kMillisecond);

void BM_TimeBins1s(benchmark::State &state)
{
    Fixture &f = fixture();
    size_t bins = 0;
    for (auto _ : state) {
        const DataSeriesVectorPtr v = f.log->asTimeBinsQml(1000, QDateTime(), QDateTime());
        bins = v->size();
        benchmark::DoNotOptimize(v->data());
    }
    state.counters["bins"] = double(bins);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.log->entries().size()));
}
BENCHMARK(BM_TimeBins1s)->Unit(benchmark::kMillisecond);

// One zoom step of the viewer's revolutions chart as the GUI thread prepares it: the bin count,
// the visible bins' series, the whole log's largest bin for the y axis and the two axis dates.
// The argument is the zoom before the step (10 s bins; the limit is bins / 100); the step
// zooms by 0.4 about the middle, as the zoom button does.
void BM_ZoomStep10sBins(benchmark::State &state)
{
    Fixture &f = fixture();
    constexpr uint32_t binMs = 10000;
    const int64_t n = f.log->timeBinCount(binMs);
    const double zoom = std::min(double(state.range(0)) * 1.4, std::max(1.0, double(n) / 100));
    size_t visible = 0;
    for (auto _ : state) {
        const int64_t bins = f.log->timeBinCount(binMs);
        const int64_t v = std::min<int64_t>(bins, int64_t(std::ceil(double(bins) / zoom)));
        const int64_t left = std::llround(double(bins - v) * 0.5);
        const QDateTime from = f.log->binToDate(left, binMs);
        const QDateTime to = f.log->binToDate(left + v, binMs);
        const DataSeriesVectorPtr series = f.log->asTimeBinsQml(binMs, from, to);
        const uint32_t top = f.log->timeBinMaximumPulseCount(binMs);
        visible = series->size();
        benchmark::DoNotOptimize(series->data());
        benchmark::DoNotOptimize(top);
    }
    state.counters["visibleBins"] = double(visible);
    state.counters["allBins"] = double(n);
}
BENCHMARK(BM_ZoomStep10sBins)->Arg(1)->Arg(50)->Arg(2592)->Unit(benchmark::kMillisecond);

void BM_BaselineSumLoop(benchmark::State &state)
{
    Fixture &f = fixture();
    for (auto _ : state) {
        uint64_t sum = 0;
        for (const auto &e : f.log->entries())
            sum += e.count;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.log->entries().size()));
}
BENCHMARK(BM_BaselineSumLoop)->Unit(benchmark::kMillisecond);

void BM_ExportPulsesCsv(benchmark::State &state)
{
    Fixture &f = fixture();
    const QString out = f.dir.filePath(QStringLiteral("pulses.csv"));
    int64_t rows = 0;
    for (const auto &e : f.log->entries())
        rows += e.count > 0 ? 1 : 0;
    for (auto _ : state) {
        if (!f.log->exportPulsesCsv(out, QDateTime(), QDateTime()))
            state.SkipWithError("export failed");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * rows);
    state.counters["rows"] = double(rows);
    state.counters["rows_per_s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["python_csv_rows_per_s"] = pythonRowsPerSecond(kPythonCsv, 1000000, QStringLiteral("csv"));
}
BENCHMARK(BM_ExportPulsesCsv)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ExportGroupedCsv10s(benchmark::State &state)
{
    Fixture &f = fixture();
    const QString out = f.dir.filePath(QStringLiteral("grouped.csv"));
    for (auto _ : state) {
        if (!f.log->exportGroupedCsv(out, 10000, QStringLiteral("Gallons"), 1, 0, 0, QDateTime(), QDateTime()))
            state.SkipWithError("export failed");
    }
    const int64_t rows = f.log->timeBinCount(10000);
    state.counters["rows"] = double(rows);
    state.counters["rows_per_s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ExportGroupedCsv10s)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// XLSX over the first `days` days (a worksheet holds at most 1,048,576 rows).
void BM_ExportXlsx(benchmark::State &state)
{
    Fixture &f = fixture();
    const int days = int(state.range(0));
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(f.log->entries().front().time / 1000000);
    const QDateTime to = from.addDays(days);
    const QString out = f.dir.filePath(QStringLiteral("book.xlsx"));
    int64_t rawRows = 0;
    for (const auto &e : f.log->entries())
        rawRows += (e.count > 0 && e.time < to.toMSecsSinceEpoch() * 1000000) ? 1 : 0;
    const int64_t before = procStatusKb("VmRSS:");
    resetPeakRss();
    for (auto _ : state) {
        if (!f.log->exportXLSX(out, 10000, QStringLiteral("Gallons"), 1, 0, 0, from, to))
            state.SkipWithError("export failed");
    }
    state.counters["peak_rss_growth_MB"] = double(procStatusKb("VmHWM:") - before) / 1024.0;
    state.counters["raw_rows"] = double(rawRows);
    state.counters["rows_per_s"] = benchmark::Counter(double(rawRows), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["python_xlsx_rows_per_s"] =
        pythonRowsPerSecond(kPythonXlsx, size_t(std::min<int64_t>(rawRows, 300000)), QStringLiteral("xlsx"));
}
BENCHMARK(BM_ExportXlsx)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// Raw log files as a library add reads them.

constexpr int kMaxThreads = 2;

QByteArray metaDataItem()
{
    const QByteArray json = R"({
    "Logger Serial": "TW-000123",
    "Logger Device Name": "Bench",
    "Logger Job Name": "Fleet",
    "Meter Reading Unit": "Gallons",
    "Meter Reading Start": "1000",
    "Meter Reading End": "2500"
})";
    QByteArray item(8, '\0');
    const uint32_t magic = 0x1129B4BDu, length = uint32_t(json.size());
    std::memcpy(item.data(), &magic, 4);
    std::memcpy(item.data() + 4, &length, 4);
    return item + json;
}

// A household's 30 days with a leak, as the virtual logger stores them: a kind 2 block at least
// every 15 minutes, a new one whenever a block is full.
QByteArray householdRaw()
{
    WaterUseProfile::Options o;
    o.seed = 11;
    o.leak = true;
    const WaterUseProfile profile(o);
    const int64_t start = QDateTime(QDate(2026, 3, 2), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch() / 100;
    const int64_t end = start + kDays * WaterUseProfile::kTenthsPerDay;
    const int64_t blockTenths = 15 * WaterUseProfile::kTenthsPerMinute;
    const auto pulses = profile.pulses(start, end);
    QByteArray raw;
    auto newBlock = [&](int64_t base) {
        PulseBlockEncoder enc(PulseBlockEncoder::Kind_TimedEnvironment, base);
        const auto env = profile.environmentAt(base * kTenth);
        enc.setEnvironment(PulseBlockEncoder::millivolts(env.volts), PulseBlockEncoder::temperatureCode(env.celsius),
                           base * kTenth + 3000000);
        return enc;
    };
    size_t next = 0;
    for (int64_t blockStart = start; blockStart < end; blockStart += blockTenths) {
        PulseBlockEncoder enc = newBlock(blockStart);
        for (; next < pulses.size() && pulses[next].tenths < blockStart + blockTenths; ++next) {
            if (enc.addPulses(pulses[next].tenths, pulses[next].count))
                continue;
            raw += enc.payload();
            enc = newBlock(pulses[next].tenths);
            enc.addPulses(pulses[next].tenths, pulses[next].count);
        }
        raw += enc.payload();
    }
    return raw;
}

// Arg 0: the dense 10-million-pulse log above; arg 1: the household. One copy per thread.
struct LogFiles {
    QString paths[2][kMaxThreads];
    qint64 bytes[2] = {};
};

const LogFiles &logFiles()
{
    static const LogFiles files = [] {
        Fixture &f = fixture();
        LogFiles out;
        const QByteArray contents[2] = {f.raw + metaDataItem(), householdRaw() + metaDataItem()};
        for (int log = 0; log < 2; ++log) {
            out.bytes[log] = contents[log].size();
            for (int t = 0; t < kMaxThreads; ++t) {
                out.paths[log][t] = f.dir.filePath(QStringLiteral("log%1-thread%2.rlog").arg(log).arg(t));
                QFile file(out.paths[log][t]);
                file.open(QIODevice::WriteOnly);
                file.write(contents[log]);
            }
        }
        return out;
    }();
    return files;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// What a library row keeps of a log.
struct LibraryRow {
    int64_t first = 0, last = 0, pulses = 0;
    double volume = 0, nightMinimum = 0, longestFlowHours = 0;
    bool leak = false;
};

LibraryRow analyse(const PulseLog &log)
{
    LibraryRow row;
    const auto &entries = log.entries();
    if (!entries.empty()) {
        row.first = entries.front().time;
        row.last = entries.back().time;
    }
    row.pulses = log.totalPulseCount();
    const double gallons = MeterUnits::gallonsPerPulse(log.metaData(), row.pulses);
    row.volume = double(row.pulses) * gallons;
    const NightFlowAnalysis::Result r = NightFlowAnalysis::analyse(entries);
    uint64_t minimum = std::numeric_limits<uint64_t>::max();
    for (const auto &n : r.nights) {
        minimum = std::min(minimum, n.minimumPulses);
        row.leak = row.leak || n.leak;
    }
    row.nightMinimum = r.nights.empty() ? 0 : double(minimum) * gallons / 60.0;
    for (const auto &s : r.leaks)
        row.longestFlowHours =
            std::max(row.longestFlowHours, double(s.end - s.start) / double(NightFlowAnalysis::kHourNs));
    return row;
}

// One log's work; kept out of line so that a profiler can count it alone
// (valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*loadRow*').
__attribute__((noinline)) bool loadRow(const QString &path, bool withAnalysis, LibraryRow *row)
{
    PulseLog log;
    if (!log.load(path))
        return false;
    row->pulses = log.totalPulseCount();
    if (withAnalysis)
        *row = analyse(log);
    return true;
}

void loadLogs(benchmark::State &state, bool withAnalysis)
{
    const LogFiles &files = logFiles();
    const int log = int(state.range(0));
    const QString path = files.paths[log][state.thread_index()];
    int64_t pulses = 0;
    bool leak = false;
    const double cpuStart = threadCpuSeconds();
    for (auto _ : state) {
        LibraryRow row;
        if (!loadRow(path, withAnalysis, &row))
            state.SkipWithError("load failed");
        pulses = row.pulses;
        leak = row.leak;
        benchmark::DoNotOptimize(row);
    }
    const double cpu = threadCpuSeconds() - cpuStart;
    state.SetBytesProcessed(int64_t(state.iterations()) * files.bytes[log]);
    // Per thread, by the thread's own CPU time: what one core does while the others work, however
    // loaded the machine is.
    state.counters["MB_per_cpu_second"] =
        benchmark::Counter(cpu > 0 ? double(state.iterations()) * double(files.bytes[log]) / cpu / 1e6 : 0,
                           benchmark::Counter::kAvgThreads);
    state.counters["pulses"] = benchmark::Counter(double(pulses), benchmark::Counter::kAvgThreads);
    state.counters["leak"] = benchmark::Counter(leak ? 1 : 0, benchmark::Counter::kAvgThreads);
}

void BM_LoadRawLog(benchmark::State &state)
{
    loadLogs(state, false);
}
BENCHMARK(BM_LoadRawLog)->Arg(0)->Arg(1)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LoadRawLogAndAnalyse(benchmark::State &state)
{
    loadLogs(state, true);
}
BENCHMARK(BM_LoadRawLogAndAnalyse)
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Each thread copies as many bytes as its log file holds, between buffers of its own.
void BM_BaselineMemcpyPerThread(benchmark::State &state)
{
    const qint64 bytes = logFiles().bytes[state.range(0)];
    std::vector<char> from(size_t(bytes), 1);
    std::vector<char> to(size_t(bytes), 0);
    const double cpuStart = threadCpuSeconds();
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    const double cpu = threadCpuSeconds() - cpuStart;
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["MB_per_cpu_second"] = benchmark::Counter(
        cpu > 0 ? double(state.iterations()) * double(bytes) / cpu / 1e6 : 0, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_BaselineMemcpyPerThread)
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
