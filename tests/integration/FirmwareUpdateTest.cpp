// Firmware update end to end: the mode controller, the bootloader client and the real serial
// stack against the virtual logger on a pseudo-terminal.
#include "bootloader/BootloaderMetatypes.h"
#include "bootloader/FirmwareMeta.h"
#include "bootloader/LoggerLineBinding.h"
#include "bootloader/StmBootLoader.h"
#include "bootloader/TarrowindLogger.h"
#include "CliRun.h"
#include "network/Network.h"
#include "serial/SerialComm.h"
#include "serial/SerialSupport.h"
#include "sim/VirtualBootloader.h"
#include "sim/VirtualLoggerRunner.h"
#include "WaitUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

QByteArray randomImage(int size, quint32 seed)
{
    QByteArray data(size, 0);
    QRandomGenerator rng(seed);
    for (auto &c : data)
        c = char(rng.bounded(256));
    return data;
}

class FirmwareUpdateTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        initSerialSupport();
        registerBootloaderMetatypes();
    }

    void start(bool inBootloader)
    {
        VirtualLoggerConfig config;
        config.startInBootloader = inBootloader;
        config.debugMessageIntervalMs = 0;
        sim = std::make_unique<VirtualLoggerRunner>(config);
        ASSERT_TRUE(sim->startPty());
        comm = std::make_unique<SerialComm>();
        logger = std::make_unique<TarrowindLogger>();
        comm->setSerialPort(sim->portName());
        binding.reset(LoggerLineBinding::connectLogger(comm.get(), logger.get()));
    }

    void TearDown() override
    {
        binding.reset();
        logger.reset();
        comm.reset();
        if (sim)
            sim->stop();
    }

    bool firmwareReady(int timeoutMs = 15000)
    {
        return waitUntil(
            [&] { return logger->firmware()->connectionState() == TarrowindFirmware::ConnectionState_Ready; },
            timeoutMs);
    }

    bool bootloaderReady(int timeoutMs = 15000)
    {
        return waitUntil([&] { return logger->bootloader()->state() == StmBootLoader::State_Ready; }, timeoutMs);
    }

    void enterBootloader()
    {
        ASSERT_TRUE(firmwareReady());
        logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
        ASSERT_TRUE(bootloaderReady());
        EXPECT_EQ(logger->currentOperatingMode(), TarrowindLogger::OperatingMode_Bootloader);
        EXPECT_EQ(sim->mode(), VirtualLogger::Mode::Bootloader);
    }

    StmBootLoader::Error runOperation(StmBootLoader::Operation op, uint32_t limit, const QByteArray &image,
                                      int timeoutMs = 60000)
    {
        QSignalSpy finished(logger->bootloader(), &StmBootLoader::operationFinished);
        logger->bootloader()->beginOperation(op, limit, image);
        if (!waitUntil([&] { return !finished.isEmpty(); }, timeoutMs))
            return StmBootLoader::Error(-1);
        return finished.first().first().value<StmBootLoader::Error>();
    }

    QByteArray deviceFlash()
    {
        QByteArray flash;
        sim->withDevice([&](VirtualLogger &d) { flash = d.bootloader().flash(); });
        return flash;
    }

    std::unique_ptr<VirtualLoggerRunner> sim;
    std::unique_ptr<SerialComm> comm;
    std::unique_ptr<TarrowindLogger> logger;
    std::unique_ptr<LoggerLineBinding> binding;
};

TEST_F(FirmwareUpdateTest, FullUpdateFromFirmwareAndBack)
{
    start(false);
    ASSERT_TRUE(firmwareReady());
    EXPECT_EQ(comm->parity(), MlSerialPort::NoParity);
    EXPECT_FALSE(comm->assertRts());
    EXPECT_EQ(comm->baud(), 115200);
    EXPECT_FALSE(logger->modeChangeTimerActive());

    // The image comes out of a firmware file, as in the program.
    FirmwareMeta meta;
    meta.setMajor(1);
    meta.setPayload(randomImage(20000, 3));
    meta.generateChecksum();
    FirmwareMeta loaded;
    loaded.loadData(meta.payload() + meta.trailer());
    ASSERT_EQ(loaded.loadStatus(), FirmwareMeta::LoadStatus_Success);
    const QByteArray image = loaded.payload();

    logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_TRUE(comm->assertRts());
    ASSERT_TRUE(bootloaderReady());
    EXPECT_EQ(comm->parity(), MlSerialPort::EvenParity);
    EXPECT_EQ(sim->requestCount(Network::C2S_EnterBootloader), 1u);
    EXPECT_EQ(sim->mode(), VirtualLogger::Mode::Bootloader);
    EXPECT_FALSE(logger->modeChangeTimerActive());

    ASSERT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_None);
    QByteArray expected(VirtualBootloader::kFlashSize, char(0xFF));
    expected.replace(0, image.size(), image);
    const QByteArray flash = deviceFlash();
    EXPECT_EQ(flash.left(20480), expected.left(20480));

    logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Firmware);
    ASSERT_TRUE(firmwareReady());
    EXPECT_EQ(logger->currentOperatingMode(), TarrowindLogger::OperatingMode_Firmware);
    EXPECT_EQ(sim->mode(), VirtualLogger::Mode::Firmware);
    EXPECT_EQ(comm->parity(), MlSerialPort::NoParity);
    EXPECT_FALSE(comm->assertRts());
    EXPECT_EQ(deviceFlash().left(20480), expected.left(20480));
}

TEST_F(FirmwareUpdateTest, LoggerSittingInItsBootloaderIsStarted)
{
    start(true);
    ASSERT_EQ(sim->mode(), VirtualLogger::Mode::Bootloader);
    // The first guess (firmware) gets no answer; after 3.5 s the bootloader is tried, is
    // sent Go, and the controller returns to firmware at once.
    QElapsedTimer t;
    t.start();
    QSignalSpy modes(logger.get(), &TarrowindLogger::currentOperatingModeChanged);
    ASSERT_TRUE(firmwareReady(20000));
    EXPECT_GE(t.elapsed(), 3000);
    ASSERT_EQ(modes.count(), 2);
    EXPECT_EQ(modes[0][0].value<TarrowindLogger::OperatingMode>(), TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_EQ(modes[1][0].value<TarrowindLogger::OperatingMode>(), TarrowindLogger::OperatingMode_Firmware);
    EXPECT_EQ(sim->mode(), VirtualLogger::Mode::Firmware);
    EXPECT_FALSE(logger->modeChangeTimerActive());
}

TEST_F(FirmwareUpdateTest, FailuresEndCleanlyAndTheLoaderResynchronises)
{
    start(false);
    enterBootloader();
    const QByteArray image = randomImage(4096, 8);

    sim->withDevice([](VirtualLogger &d) { d.bootloader().injectNacks(10); });
    EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_Protocol);
    EXPECT_EQ(logger->bootloader()->operationErrorString(), QStringLiteral("BootLoader communication error"));
    ASSERT_TRUE(bootloaderReady());

    sim->withDevice([](VirtualLogger &d) { d.bootloader().setCorruptWrites(true); });
    EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_Checksum);
    EXPECT_EQ(logger->bootloader()->operationErrorString(), QStringLiteral("Too many verification failures"));
    sim->withDevice([](VirtualLogger &d) { d.bootloader().setCorruptWrites(false); });
    ASSERT_TRUE(bootloaderReady());

    // Fewer NACKs than the limit are retried.
    sim->withDevice([](VirtualLogger &d) { d.bootloader().injectNacks(6); });
    EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_None);
    EXPECT_EQ(deviceFlash().left(4096), image);
    ASSERT_TRUE(bootloaderReady());

    EXPECT_EQ(runOperation(StmBootLoader::VerifyOnly, 2, image), StmBootLoader::Error_None);
    ASSERT_TRUE(bootloaderReady());
    QByteArray other = image;
    other[4000] = char(other[4000] ^ 0x20);
    EXPECT_EQ(runOperation(StmBootLoader::VerifyOnly, 2, other), StmBootLoader::Error_Checksum);
    EXPECT_EQ(deviceFlash().left(4096), image);
}

TEST_F(FirmwareUpdateTest, NoisyLineNeverPassesABadImage)
{
    start(false);
    enterBootloader();
    const QByteArray image = randomImage(4096, 9);
    LineFaultConfig faults;
    faults.corruptProbability = 0.0005;
    faults.dropProbability = 0.0002;
    faults.seed = 7;
    sim->setFaults(faults);
    const StmBootLoader::Error error = runOperation(StmBootLoader::EraseProgramVerify, 0, image);
    sim->setFaults(LineFaultConfig{});
    EXPECT_GT(sim->droppedBytes() + sim->corruptedBytes(), 0u);
    // Either the image is verified on the device, or the operation says it failed.
    if (error == StmBootLoader::Error_None) {
        EXPECT_EQ(deviceFlash().left(4096), image);
    } else {
        EXPECT_EQ(error, StmBootLoader::Error_Protocol);
        ASSERT_TRUE(bootloaderReady());
        EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 0, image), StmBootLoader::Error_None);
        EXPECT_EQ(deviceFlash().left(4096), image);
    }
}

TEST_F(FirmwareUpdateTest, TargetChangesDuringAnOperationWaitForIt)
{
    start(false);
    enterBootloader();
    QSignalSpy modes(logger.get(), &TarrowindLogger::currentOperatingModeChanged);
    QSignalSpy finished(logger->bootloader(), &StmBootLoader::operationFinished);
    const QByteArray image = randomImage(16384, 10);
    // Start outside an idle probe, so the operation starts at once rather than on its answer.
    ASSERT_TRUE(waitUntil([&] { return logger->bootloader()->step() == 7; }, 2000));
    logger->bootloader()->beginOperation(StmBootLoader::EraseProgramVerify, 4, image);
    ASSERT_EQ(logger->bootloader()->state(), StmBootLoader::State_Busy);
    // Busy: the target changes, nothing else does.
    logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Firmware);
    logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Firmware);
    EXPECT_EQ(modes.count(), 0);
    EXPECT_FALSE(logger->modeChangeTimerActive());
    EXPECT_EQ(logger->bootloader()->state(), StmBootLoader::State_Busy);
    ASSERT_TRUE(waitUntil([&] { return !finished.isEmpty(); }, 60000));
    EXPECT_EQ(finished[0][0].value<StmBootLoader::Error>(), StmBootLoader::Error_None);
    // Once Ready again it is sent Go and the firmware comes back.
    ASSERT_TRUE(firmwareReady());
    EXPECT_EQ(deviceFlash().left(16384), image);
}

TEST_F(FirmwareUpdateTest, NoTimerWithoutADevice)
{
    TarrowindLogger alone;
    alone.setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_FALSE(alone.modeChangeTimerActive());

    SerialComm nowhere;
    nowhere.setSerialPort(QStringLiteral("/dev/no-such-tarrowind-port"));
    TarrowindLogger logger2;
    std::unique_ptr<LoggerLineBinding> b(LoggerLineBinding::connectLogger(&nowhere, &logger2));
    logger2.setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    QElapsedTimer t;
    t.start();
    bool timerSeen = false;
    waitUntil(
        [&] {
            timerSeen = timerSeen || logger2.modeChangeTimerActive();
            return t.elapsed() > 1500;
        },
        3000);
    EXPECT_FALSE(timerSeen);
    EXPECT_FALSE(logger2.deviceAttached());
    EXPECT_EQ(logger2.currentOperatingMode(), TarrowindLogger::OperatingMode_Firmware);
}

TEST_F(FirmwareUpdateTest, ImageSizeEdgesOverTheRealLine)
{
    start(false);
    enterBootloader();
    EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, QByteArray(1, char(0x42))), StmBootLoader::Error_None);
    QByteArray flash = deviceFlash();
    EXPECT_EQ(quint8(flash[0]), 0x42);
    EXPECT_EQ(flash.mid(1, 2047), QByteArray(2047, char(0xFF)));
    ASSERT_TRUE(bootloaderReady());

    EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, randomImage(258049, 1)),
              StmBootLoader::Error_Protocol);
    EXPECT_EQ(logger->bootloader()->operationErrorString(), QStringLiteral("Bad end flash address"));
    EXPECT_EQ(deviceFlash(), flash);
    ASSERT_TRUE(bootloaderReady());

    // The largest image fills the flash up to its last 4 KiB.
    const QByteArray largest = randomImage(258048, 2);
    EXPECT_EQ(runOperation(StmBootLoader::EraseProgramVerify, 4, largest), StmBootLoader::Error_None);
    flash = deviceFlash();
    EXPECT_EQ(flash.left(258048), largest);
    EXPECT_EQ(flash.mid(258048), QByteArray(4096, char(0xFF)));
}

// tarrowind-cli's firmware commands, run as a program.
class FirmwareCliTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFile::exists(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli")))
            GTEST_SKIP() << "tarrowind-cli is not built";
    }

    int run(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        const CliResult r = runCli(args, {});
        if (out)
            *out = r.out;
        if (err)
            *err = r.err.toUtf8();
        return r.status;
    }

    QString writeFile(const QString &name, const QByteArray &data)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(data);
        return path;
    }

    QTemporaryDir dir;
};

TEST_F(FirmwareCliTest, BuildThenInfo)
{
    const QByteArray payload = randomImage(12345, 4);
    const QString bin = writeFile(QStringLiteral("image.bin"), payload);
    const QString fw = dir.filePath(QStringLiteral("image.fw"));
    ASSERT_EQ(run({"firmware-build", "--payload", bin, "--version", "3.1.70000", "--debug", "--strings", "nightly",
                   "-o", fw}),
              0);
    QByteArray out;
    ASSERT_EQ(run({"firmware-info", fw, "--json"}, &out), 0);
    const QJsonObject o = QJsonDocument::fromJson(out).object();
    EXPECT_EQ(o.value("loadStatus").toString(), QStringLiteral("LoadStatus_Success"));
    EXPECT_EQ(o.value("major").toInt(), 3);
    EXPECT_EQ(o.value("minor").toInt(), 1);
    EXPECT_EQ(o.value("patchLevel").toInt(), 70000 - 65536);
    EXPECT_EQ(o.value("patchLevel32").toDouble(), 70000.0);
    EXPECT_TRUE(o.value("debug").toBool());
    EXPECT_EQ(o.value("strings").toString(), QStringLiteral("nightly"));
    EXPECT_EQ(o.value("payloadSize").toInt(), 12345);
    // The file is what the image file class reads back.
    FirmwareMeta meta;
    meta.load(fw);
    EXPECT_EQ(meta.payload(), payload);

    ASSERT_EQ(run({"firmware-info", fw}, &out), 0);
    EXPECT_TRUE(out.contains("patch level: 4464 (stored 70000)")) << out.constData();

    // Refusals: a raw image is no firmware file, a bad version, an oversized payload.
    EXPECT_NE(run({"firmware-info", bin}, &out), 0);
    EXPECT_TRUE(out.contains("LoadStatus_BadMetaHeader"));
    EXPECT_NE(run({"firmware-build", "--payload", bin, "--version", "3.x.1", "-o", fw}), 0);
    EXPECT_NE(run({"firmware-build", "--payload", bin, "--version", "70000.1.1", "-o", fw}), 0);
    const QString big = writeFile(QStringLiteral("big.bin"), QByteArray(258049, 'x'));
    const QString bigFw = dir.filePath(QStringLiteral("big.fw"));
    EXPECT_NE(run({"firmware-build", "--payload", big, "--version", "1.0.0", "-o", bigFw}), 0);
    EXPECT_FALSE(QFile::exists(bigFw));
}

TEST_F(FirmwareCliTest, FlashAndVerifyThroughTheVirtualLogger)
{
    initSerialSupport();
    VirtualLoggerConfig config;
    config.debugMessageIntervalMs = 0;
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty());

    const QByteArray payload = randomImage(30000, 6);
    const QString bin = writeFile(QStringLiteral("image.bin"), payload);
    const QString fw = dir.filePath(QStringLiteral("image.fw"));
    ASSERT_EQ(run({"firmware-build", "--payload", bin, "--version", "0.2.4470", "-o", fw}), 0);

    // A damaged file is refused before the logger hears anything.
    QByteArray damaged;
    {
        QFile f(fw);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        damaged = f.readAll();
        damaged[100] = char(damaged[100] ^ 1);
    }
    const QString bad = writeFile(QStringLiteral("bad.fw"), damaged);
    QByteArray out, err;
    EXPECT_NE(run({"--port", sim.portName(), "flash", bad}, &out, &err), 0);
    EXPECT_TRUE(err.contains("LoadStatus_ChecksumFailure")) << err.constData();
    EXPECT_EQ(sim.requestCount(Network::C2S_EnterBootloader), 0u);

    ASSERT_EQ(run({"--port", sim.portName(), "flash", fw}, &out, &err), 0) << err.constData();
    EXPECT_TRUE(err.contains("flashing: 100%"));
    // Not a terminal: whole lines, never one report run into the next.
    EXPECT_FALSE(err.contains('\r')) << err.constData();
    for (const QByteArray &line : err.trimmed().split('\n')) {
        if (line.contains("flashing")) {
            EXPECT_TRUE(line.startsWith("flashing: ") && line.endsWith('%')) << line.constData();
        }
    }
    EXPECT_EQ(sim.mode(), VirtualLogger::Mode::Firmware);
    EXPECT_EQ(sim.requestCount(Network::C2S_EnterBootloader), 1u);
    QByteArray flash;
    sim.withDevice([&](VirtualLogger &d) { flash = d.bootloader().flash(); });
    EXPECT_EQ(flash.left(30000), payload);

    EXPECT_EQ(run({"--port", sim.portName(), "flash", fw, "--verify-only", "--quiet"}, &out, &err), 0)
        << err.constData();
    EXPECT_FALSE(err.contains("verifying")) << err.constData();
    // Another image does not verify against what the logger holds.
    const QString otherBin = writeFile(QStringLiteral("other.bin"), randomImage(30000, 7));
    const QString otherFw = dir.filePath(QStringLiteral("other.fw"));
    ASSERT_EQ(run({"firmware-build", "--payload", otherBin, "--version", "0.2.4471", "-o", otherFw}), 0);
    EXPECT_NE(run({"--port", sim.portName(), "flash", otherFw, "--verify-only"}, &out, &err), 0);
    EXPECT_TRUE(err.contains("Too many verification failures")) << err.constData();
    sim.withDevice([&](VirtualLogger &d) { flash = d.bootloader().flash(); });
    EXPECT_EQ(flash.left(30000), payload);
    EXPECT_EQ(sim.mode(), VirtualLogger::Mode::Firmware);
    sim.stop();
}

}  // namespace
