// Session download speed: a session of over 2,000 records from the virtual logger, through the
// protocol client, the remote filesystem worker and the downloader, at both read paths (sector
// requests at patch level 4251, compressed page requests above it). Throttled to 460800 baud
// the figure to read is the payload rate next to the line's own byte rate, measured in the same
// run by flooding the throttled line with samples; unthrottled it is the protocol and CPU cost.
#include "InProcessSerialDevice.h"
#include "Network.h"
#include "PulseLog.h"
#include "RemoteFileSystem.h"
#include "SessionDownloader.h"
#include "TarrowindFirmware.h"
#include "VirtualLoggerRunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>
#include <functional>
#include <memory>

namespace {

constexpr uint32_t kLineBaud = 460800;

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

VirtualLoggerConfig scenario(uint32_t patchLevel, uint32_t baud)
{
    VirtualLoggerConfig c;
    c.patchLevel = patchLevel;
    c.debugMessageIntervalMs = 0;
    c.announceIntervalMs = 100;
    c.flash.closedSessions = 1;
    c.flash.minSessionDays = 18.5;
    c.flash.maxSessionDays = 19;
    c.flash.openSessionHours = 1;
    c.faults.baudLimit = baud;
    return c;
}

struct Logger {
    explicit Logger(const VirtualLoggerConfig &config) : runner(config)
    {
        device = runner.startInProcess();
        client.setIoDevice(device);
    }
    ~Logger()
    {
        client.setIoDevice(nullptr);
        runner.stop();
        delete device;
    }
    bool ready()
    {
        return spinUntil([this] { return client.connectionState() == TarrowindFirmware::ConnectionState_Ready; },
                         20000);
    }
    VirtualLoggerRunner runner;
    InProcessSerialDevice *device = nullptr;
    TarrowindFirmware client;
};

// The throttled line's byte rate as the host sees it: the logger streams samples faster than the
// line carries them, and the host counts the bytes that arrive per second.
void BM_LineByteRate(benchmark::State &state)
{
    VirtualLoggerConfig c = scenario(4468, kLineBaud);
    c.sampleHz = 20000;
    VirtualLoggerRunner runner(c);
    InProcessSerialDevice *device = runner.startInProcess();
    qint64 received = 0;
    QObject::connect(device, &QIODevice::readyRead, device, [&] { received += device->readAll().size(); });
    // RawXyzOutput_Enable = 1, written as a client would.
    const uint16_t body[2] = {uint16_t(Network::TemporaryName16::RawXyzOutput_Enable), 1};
    device->write(Network::encodePacket(Network::C2S_WriteTemporary16, 1, body, sizeof body));
    spinUntil([] { return false; }, 500);  // the stream fills the line
    for (auto _ : state) {
        const qint64 before = received;
        QElapsedTimer t;
        t.start();
        spinUntil([] { return false; }, 2000);
        const double seconds = t.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        state.counters["line_Bps"] = double(received - before) / seconds;
        state.counters["nominal_Bps"] = kLineBaud / 10.0;
    }
    runner.stop();
    delete device;
}

void downloadBench(benchmark::State &state, uint32_t patchLevel, uint32_t baud)
{
    Logger logger(scenario(patchLevel, baud));
    if (!logger.ready()) {
        state.SkipWithError("logger did not connect");
        return;
    }
    logger.client.sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 0);
    uint64_t records = 0;
    for (auto _ : state) {
        // A fresh filesystem each time: its sector cache must not serve the download.
        QObject owner;
        RemoteFileSystem fs(&owner);
        fs.setTarrowindFirmware(&logger.client);
        bool finished = false, success = false;
        QObject::connect(&fs, &RemoteFileSystem::sessionIndexingFinished, &owner, [&](bool ok) {
            finished = true;
            success = ok;
        });
        if (!spinUntil([&] { return fs.status() == RemoteFileSystem::Mounted; }, 20000)) {
            state.SkipWithError("no mount");
            return;
        }
        fs.beginScanningSessions();
        spinUntil([&] { return finished; }, 600000);
        if (!success || fs.sessionList().empty()) {
            state.SkipWithError("scan failed");
            return;
        }
        SessionDownloader downloader;
        downloader.setRemoteFileSystem(&fs);
        finished = success = false;
        QObject::connect(&downloader, &SessionDownloader::sessionDownloadFinished, &owner,
                         [&](bool ok, QString) {
                             finished = true;
                             success = ok;
                         });
        QElapsedTimer t;
        t.start();
        downloader.beginDownload(fs.sessionList().front().get());
        spinUntil([&] { return finished; }, 600000);
        const double seconds = t.nsecsElapsed() / 1e9;
        if (!success) {
            state.SkipWithError("download failed");
            return;
        }
        state.SetIterationTime(seconds);
        records = uint64_t(downloader.pulseLog()->rawData().size() / 520);
        state.counters["records"] = double(records);
        state.counters["payload_Bps"] = double(records) * 520.0 / seconds;
        if (baud)
            state.counters["payload_per_line_byte"] = double(records) * 520.0 / seconds / (baud / 10.0);
    }
    state.SetBytesProcessed(int64_t(records * 520 * state.iterations()));
}

void BM_DownloadSectorPath_460800(benchmark::State &s) { downloadBench(s, 4251, kLineBaud); }
void BM_DownloadPagePath_460800(benchmark::State &s) { downloadBench(s, 4468, kLineBaud); }
void BM_DownloadSectorPath_Unthrottled(benchmark::State &s) { downloadBench(s, 4251, 0); }
void BM_DownloadPagePath_Unthrottled(benchmark::State &s) { downloadBench(s, 4468, 0); }

BENCHMARK(BM_LineByteRate)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadSectorPath_460800)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadPagePath_460800)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadSectorPath_Unthrottled)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadPagePath_Unthrottled)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
