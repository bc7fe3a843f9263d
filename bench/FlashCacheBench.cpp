// Memory of a long download: a walk over many pages of the virtual logger's flash through the
// page cache of RemoteFlashAdapter, as the filesystem's worker reads them, with the cache at its
// default bound and (the same run's baseline) without a bound, as it was before it had one.
// The walk reads the whole flash: 131072 pages, ~277 MB.
//
// Figures per run: cache_MiB (the sector data the cache holds at the end), heap_MiB (what the
// process's heap holds at the end of the walk beyond what it held before, the cache's own
// bookkeeping included) and pages_per_s (the walk's speed, to show the bound costs no time).
#include "BenchEventLoop.h"
#include "network/TarrowindFirmware.h"
#include "remotefs/RemoteFlashAdapter.h"
#include "sim/InProcessSerialDevice.h"
#include "sim/VirtualLoggerRunner.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <functional>
#include <limits>
#include <malloc.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>

namespace {

using Geo = TC58CYG1S3HxAIDetail::EccParameters;

using bench::quiet;
using bench::spinUntil;

// Bytes the heap has handed out and not taken back (small blocks and mapped ones).
double heapMiB()
{
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / (1 << 20);
}

// state.range(0): pages walked; state.range(1): the cache bound in MiB, 0 for none.
void BM_LongWalk(benchmark::State &state)
{
    const uint32_t pages = uint32_t(state.range(0));
    const size_t bound = state.range(1) > 0 ? size_t(state.range(1)) << 20 : std::numeric_limits<size_t>::max() / 2;
    VirtualLoggerConfig config;
    config.patchLevel = 4468;
    config.debugMessageIntervalMs = 0;
    config.flash.closedSessions = 1;
    VirtualLoggerRunner runner(config);
    InProcessSerialDevice *device = runner.startInProcess();
    TarrowindFirmware client;
    client.setIoDevice(device);
    if (!spinUntil([&] { return client.connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 20000)) {
        state.SkipWithError("logger did not connect");
        return;
    }
    for (auto _ : state) {
        const double before = heapMiB();
        double after = before, cacheMiB = 0;
        QElapsedTimer t;
        t.start();
        std::atomic<bool> done{false};
        bool ok = true;
        {
            RemoteFlashAdapter adapter;
            adapter.setCacheLimitBytes(bound);
            adapter.setClient(&client);
            std::thread walker([&] {
                std::vector<uint8_t> buffer(Geo::kPageSize);
                for (uint32_t p = 0; p < pages && ok; ++p) {
                    if (p % RemoteFlashAdapter::kReadAheadPages == 0) {
                        std::vector<PlannedPageRead> plan;
                        for (uint32_t k = p; k < std::min(pages, p + 2 * RemoteFlashAdapter::kReadAheadPages); ++k)
                            plan.push_back({k, k + 1 < pages ? k + 1 : Geo::kNoPage});
                        adapter.readAhead(plan);
                    }
                    ok = adapter.readPage(p, buffer.data(), p + 1 < pages ? p + 1 : Geo::kNoPage) !=
                         FlashReadResult::Failed;
                }
                done = true;
            });
            spinUntil([&] { return done.load(); }, 3600000);
            walker.join();
            after = heapMiB();
            cacheMiB = double(adapter.cachedSectorCount()) * Geo::kSectorSize / (1 << 20);
            adapter.setClient(nullptr);
        }
        state.SetIterationTime(t.nsecsElapsed() / 1e9);
        if (!ok) {
            state.SkipWithError("a read failed");
            break;
        }
        state.counters["cache_MiB"] = cacheMiB;
        state.counters["heap_MiB"] = after - before;
        state.counters["pages_per_s"] = pages / (t.nsecsElapsed() / 1e9);
        state.counters["flash_read_MiB"] = double(pages) * Geo::kPageSize / (1 << 20);
    }
    client.setIoDevice(nullptr);
    runner.stop();
    delete device;
}

}  // namespace

// The baseline (no bound) first, then the default bound, in the same run.
BENCHMARK(BM_LongWalk)->Args({131072, 0})->Args({131072, 64})->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
