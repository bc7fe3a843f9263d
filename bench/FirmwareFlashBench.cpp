// Flashing a 128 KiB image through the virtual logger's bootloader on a pseudo-terminal
// throttled to 115200 baud with even parity (11 bits a byte), against Debian's stm32flash
// writing and verifying the same image through the same throttled line in the same run.
// Figures: image bytes per second next to the line's byte rate, bytes on the wire per image
// byte, and the time ratio to stm32flash (target: not above 1).
#include "bootloader/StmBootLoader.h"
#include "serial/AbstractSerialPort.h"
#include "serial/SerialSupport.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLoggerRunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace {

constexpr int kImageSize = 128 * 1024;
constexpr int kBaud = 115200;
constexpr double kLineBytesPerSecond = double(kBaud) / 11.0;

std::map<std::string, double> g_figures;

QByteArray image()
{
    static const QByteArray data = [] {
        QByteArray d(kImageSize, 0);
        QRandomGenerator rng(1);
        for (auto &c : d)
            c = char(rng.bounded(256));
        return d;
    }();
    return data;
}

VirtualLoggerConfig throttledBootloader()
{
    VirtualLoggerConfig config;
    config.startInBootloader = true;
    config.debugMessageIntervalMs = 0;
    config.faults.baudLimit = kBaud;
    return config;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        // Blocks until something happens; the tick bounds the wait, so the deadline is seen.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void BM_StmBootLoaderFlash(benchmark::State &state)
{
    for (auto _ : state) {
        VirtualLoggerRunner sim(throttledBootloader());
        if (!sim.startPty()) {
            state.SkipWithError("no pty");
            return;
        }
        AbstractSerialPort port(sim.portName());
        if (!port.open(QIODevice::ReadWrite)) {
            state.SkipWithError("cannot open the pty");
            return;
        }
        port.setBaudRate(kBaud);
        port.setParity(AbstractSerialPort::EvenParity);
        StmBootLoader loader;
        loader.setIoDevice(&port);
        if (!waitFor([&] { return loader.state() == StmBootLoader::State_Ready; }, 10000)) {
            state.SkipWithError("bootloader did not synchronise");
            return;
        }
        qint64 wireBefore = 0;
        sim.withDevice(
            [&](VirtualLogger &d) { wireBefore = d.bootloader().bytesReceived() + d.bootloader().bytesSent(); });
        bool finished = false;
        StmBootLoader::Error error = StmBootLoader::Error_None;
        QObject::connect(&loader, &StmBootLoader::operationFinished, [&](StmBootLoader::Error e) {
            finished = true;
            error = e;
        });
        QElapsedTimer timer;
        timer.start();
        loader.beginOperation(StmBootLoader::EraseProgramVerify, 4, image());
        if (!waitFor([&] { return finished; }, 300000) || error != StmBootLoader::Error_None) {
            state.SkipWithError("flash failed");
            return;
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        qint64 wireAfter = 0;
        QByteArray flash;
        sim.withDevice([&](VirtualLogger &d) {
            wireAfter = d.bootloader().bytesReceived() + d.bootloader().bytesSent();
            flash = d.bootloader().flash();
        });
        if (flash.left(kImageSize) != image()) {
            state.SkipWithError("flash content differs");
            return;
        }
        const double wirePerByte = double(wireAfter - wireBefore) / kImageSize;
        state.counters["image_Bps"] = kImageSize / seconds;
        state.counters["line_Bps"] = kLineBytesPerSecond;
        state.counters["wire_per_image_byte"] = wirePerByte;
        g_figures["ours_s"] = seconds;
        g_figures["ours_Bps"] = kImageSize / seconds;
        g_figures["wire_per_image_byte"] = wirePerByte;
        loader.setIoDevice(nullptr);
        port.close();
        sim.stop();
    }
}
BENCHMARK(BM_StmBootLoaderFlash)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_Stm32flash(benchmark::State &state)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("stm32flash"));
    if (tool.isEmpty()) {
        state.SkipWithError("stm32flash is not installed");
        return;
    }
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(image());
        f.close();
        VirtualLoggerRunner sim(throttledBootloader());
        if (!sim.startPty()) {
            state.SkipWithError("no pty");
            return;
        }
        QProcess p;
        QElapsedTimer timer;
        timer.start();
        // A pty carries no parity; stm32flash refuses a port whose only change is the parity.
        p.start(tool, {"-b", QString::number(kBaud), "-m", "8n1", "-w", path, "-v", sim.portName()});
        if (!p.waitForFinished(300000) || p.exitCode() != 0) {
            state.SkipWithError("stm32flash failed");
            return;
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        state.counters["image_Bps"] = kImageSize / seconds;
        state.counters["line_Bps"] = kLineBytesPerSecond;
        g_figures["stm32flash_s"] = seconds;
        sim.stop();
    }
}
BENCHMARK(BM_Stm32flash)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    initSerialSupport();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_figures.count("ours_s")) {
        std::printf("\nline byte rate (115200 8E1): %.0f B/s\n", kLineBytesPerSecond);
        std::printf("StmBootLoader: %.0f image B/s = %.2f of the line rate, %.2f wire bytes per "
                    "image byte\n",
                    g_figures["ours_Bps"], g_figures["ours_Bps"] / kLineBytesPerSecond,
                    g_figures["wire_per_image_byte"]);
        if (g_figures.count("stm32flash_s"))
            std::printf("time against stm32flash -w -v: %.1f s / %.1f s = %.2f (target <= 1)\n", g_figures["ours_s"],
                        g_figures["stm32flash_s"], g_figures["ours_s"] / g_figures["stm32flash_s"]);
    }
    return 0;
}
