// Session download speed: one session from the virtual logger, through the protocol client, the
// remote filesystem worker and the downloader, on each read path: plain sector requests (patch
// level 4040), compressed sector requests (4251) and compressed page requests (4468).
//
// Throttled to 460800 baud the figure is the wire utilisation: the bytes the logger put on the
// line during the download divided by what the line could have carried in that time (nominal
// byte rate x download time). Its same-run baseline is the line itself flooded with pipelined
// sector reads (BM_LineFlood), which shows what the throttle really delivers on this machine.
// Unthrottled the figure is the payload rate (protocol and CPU cost), next to the flooded
// in-process line's byte rate; its CPU column is the whole process (every thread) per download.
#include "BenchEventLoop.h"
#include "network/Network.h"
#include "network/TarrowindFirmware.h"
#include "pulselog/PulseLog.h"
#include "remotefs/RemoteFileSystem.h"
#include "remotefs/SessionDownloader.h"
#include "serial/SerialComm.h"
#include "serial/SerialSupport.h"
#include "sim/InProcessSerialDevice.h"
#include "sim/VirtualLoggerRunner.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <string>

namespace {

constexpr uint32_t kLineBaud = 460800;
constexpr double kBitsPerByte = 10.0;
constexpr double kPayload = 520.0;

std::map<std::string, double> g_figures;

using bench::quiet;
using bench::spinUntil;

double nominalBps(uint32_t baud)
{
    return baud / kBitsPerByte;
}

std::string lineName(uint32_t baud)
{
    return baud ? std::to_string(baud) : std::string("unthrottled");
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

// The logger on an in-process line, or on a pseudo-terminal behind the real serial stack (the
// port's reader and writer threads add their latency to every round trip, as with an adapter).
struct Logger {
    Logger(const VirtualLoggerConfig &config, bool pty) : runner(config)
    {
        if (!pty) {
            device = runner.startInProcess();
            client.setIoDevice(device);
            return;
        }
        if (!runner.startPty())
            return;
        comm = std::make_unique<SerialComm>();
        QObject::connect(comm.get(), &IODeviceFactory::ioDeviceChanged, &client,
                         [this] { client.setIoDevice(comm->ioDevice()); });
        comm->setBaud(115200);
        comm->setParity(MlSerialPort::NoParity);
        comm->setAssertRts(false);
        comm->setSerialPort(runner.portName());
    }
    ~Logger()
    {
        client.setIoDevice(nullptr);
        comm.reset();
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
    std::unique_ptr<SerialComm> comm;
};

// The line's own byte rate: bursts of plain sector reads written straight to the logger (no
// client, no waiting between requests) keep its side of the line busy; the host counts what
// arrives. Bursts stay well below what the logger buffers for a slow host.
void BM_LineFlood(benchmark::State &state)
{
    const uint32_t baud = uint32_t(state.range(0));
    VirtualLoggerConfig c = scenario(4040, baud);
    c.announceIntervalMs = 100000;
    VirtualLoggerRunner runner(c);
    InProcessSerialDevice *device = runner.startInProcess();
    qint64 received = 0;
    QObject::connect(device, &QIODevice::readyRead, device, [&] { received += device->readAll().size(); });
    constexpr int kBurst = 200;
    constexpr qint64 kReplySize = 8 + 4 + 2 + 528;
    const int bursts = baud ? 3 : 40;
    uint16_t id = 1;
    for (auto _ : state) {
        spinUntil([] { return false; }, 200);  // the announcement is through
        received = 0;
        QElapsedTimer t;
        t.start();
        bool complete = true;
        for (int b = 0; b < bursts && complete; ++b) {
            QByteArray requests;
            for (int i = 0; i < kBurst; ++i) {
                const uint32_t sector = uint32_t(i * 4);
                requests += Network::encodePacket(Network::C2S_FlashRead528, id++, &sector, 4);
            }
            device->write(requests);
            complete = spinUntil([&] { return received >= qint64(b + 1) * kBurst * kReplySize; }, 60000);
        }
        const double seconds = t.nsecsElapsed() / 1e9;
        if (!complete) {
            state.SkipWithError("the logger did not answer every request");
            break;
        }
        state.SetIterationTime(seconds);
        const double lineBps = double(received) / seconds;
        state.counters["line_Bps"] = lineBps;
        if (baud) {
            state.counters["nominal_Bps"] = nominalBps(baud);
            state.counters["line_per_nominal"] = lineBps / nominalBps(baud);
        }
        g_figures["line_Bps/" + lineName(baud)] = lineBps;
    }
    runner.stop();
    delete device;
}

void BM_Download(benchmark::State &state)
{
    const uint32_t patchLevel = uint32_t(state.range(0));
    const uint32_t baud = uint32_t(state.range(1));
    const bool pty = state.range(2) != 0;
    Logger logger(scenario(patchLevel, baud), pty);
    if (!logger.ready()) {
        state.SkipWithError("logger did not connect");
        return;
    }
    logger.client.sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 0);
    uint64_t records = 0;
    double totalSeconds = 0, totalCarried = 0;
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
        QObject::connect(&downloader, &SessionDownloader::sessionDownloadFinished, &owner, [&](bool ok, QString) {
            finished = true;
            success = ok;
        });
        const uint64_t carriedBefore = logger.runner.bytesCarriedToHost();
        QElapsedTimer t;
        t.start();
        downloader.beginDownload(fs.sessionList().front().get());
        spinUntil([&] { return finished; }, 600000);
        const double seconds = t.nsecsElapsed() / 1e9;
        const uint64_t carried = logger.runner.bytesCarriedToHost() - carriedBefore;
        if (!success) {
            state.SkipWithError("download failed");
            return;
        }
        state.SetIterationTime(seconds);
        records = uint64_t(downloader.pulseLog()->rawData().size() / int(kPayload));
        totalSeconds += seconds;
        totalCarried += double(carried);
    }
    if (totalSeconds <= 0)
        return;
    const double payloadBps = double(records) * kPayload * double(state.iterations()) / totalSeconds;
    state.counters["records"] = double(records);
    state.counters["payload_Bps"] = payloadBps;
    const std::string key = std::to_string(patchLevel) + "/" + lineName(baud) + (pty ? "/pty" : "");
    g_figures["payload_Bps/" + key] = payloadBps;
    if (baud) {
        const double utilisation = totalCarried / (nominalBps(baud) * totalSeconds);
        state.counters["wire_utilisation"] = utilisation;
        state.counters["payload_per_nominal"] = payloadBps / nominalBps(baud);
        g_figures["wire_utilisation/" + key] = utilisation;
    }
    state.SetBytesProcessed(int64_t(records * uint64_t(kPayload) * uint64_t(state.iterations())));
}

BENCHMARK(BM_LineFlood)->Arg(kLineBaud)->Arg(0)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download)
    ->ArgNames({"patch", "baud", "pty"})
    ->ArgsProduct({{4040, 4251, 4468}, {kLineBaud}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download)
    ->ArgNames({"patch", "baud", "pty"})
    ->ArgsProduct({{4040, 4251, 4468}, {0}, {0}})
    ->MeasureProcessCPUTime()
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

double figure(const std::string &key)
{
    auto it = g_figures.find(key);
    return it == g_figures.end() ? 0.0 : it->second;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    initSerialSupport();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    shutdownSerialSupport();

    const double nominal = nominalBps(kLineBaud);
    const double flooded = figure("line_Bps/" + lineName(kLineBaud));
    std::printf("\nline at %u baud: nominal %.0f B/s, flooded %.0f B/s (%.3f of nominal)\n", kLineBaud, nominal,
                flooded, flooded / nominal);
    for (int patch : {4040, 4251, 4468}) {
        for (const char *port : {"", "/pty"}) {
            const std::string key = std::to_string(patch) + "/" + lineName(kLineBaud) + port;
            if (!g_figures.count("wire_utilisation/" + key))
                continue;
            std::printf("patch %d at %u baud%s: wire utilisation %.3f (flooded line %.3f), payload %.0f B/s\n", patch,
                        kLineBaud, *port ? " over a pty" : "", figure("wire_utilisation/" + key), flooded / nominal,
                        figure("payload_Bps/" + key));
        }
    }
    const double floodedFast = figure("line_Bps/unthrottled");
    for (int patch : {4040, 4251, 4468}) {
        const std::string key = std::to_string(patch) + "/unthrottled";
        if (!g_figures.count("payload_Bps/" + key))
            continue;
        std::printf("patch %d unthrottled: payload %.0f B/s, flooded in-process line %.0f B/s\n", patch,
                    figure("payload_Bps/" + key), floodedFast);
    }
    return 0;
}
