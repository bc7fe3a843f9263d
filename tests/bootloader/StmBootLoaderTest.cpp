// The bootloader client against the virtual STM32 bootloader over an in-memory line.
#include "bootloader/StmBootLoader.h"
#include "MemoryLine.h"
#include "sim/VirtualBootloader.h"
#include "WaitUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace {

QByteArray pattern(int size, quint32 seed)
{
    QByteArray data(size, 0);
    QRandomGenerator rng(seed);
    for (int i = 0; i < size; ++i)
        data[i] = char(rng.bounded(256));
    return data;
}

// Addresses of the Write Memory (or Read Memory) commands in the order the client sent them.
QList<quint32> commandAddresses(const QList<QByteArray> &writes, quint8 code)
{
    QList<quint32> out;
    for (int i = 0; i + 1 < writes.size(); ++i) {
        const QByteArray &w = writes[i];
        if (w.size() == 2 && quint8(w[0]) == code && quint8(w[1]) == quint8(~code) && writes[i + 1].size() == 5) {
            const QByteArray &a = writes[i + 1];
            out << ((quint32(quint8(a[0])) << 24) | (quint32(quint8(a[1])) << 16) | (quint32(quint8(a[2])) << 8) |
                    quint32(quint8(a[3])));
        }
    }
    return out;
}

class StmBootLoaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        line = std::make_unique<MemoryLine>();
        line->setFarEnd([this](const QByteArray &bytes) { return device.receive(bytes); });
        loader = std::make_unique<StmBootLoader>();
    }

    void TearDown() override
    {
        loader.reset();
        line.reset();
    }

    void connectLoader()
    {
        loader->setIoDevice(line.get());
        ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    }

    // Runs one operation to its end and returns the reported error.
    StmBootLoader::Error run(StmBootLoader::Operation op, uint32_t limit, const QByteArray &image,
                             int timeoutMs = 20000)
    {
        QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
        loader->beginOperation(op, limit, image);
        EXPECT_TRUE(waitUntil([&] { return finished.count() > 0; }, timeoutMs));
        EXPECT_EQ(finished.count(), 1);
        if (finished.isEmpty())
            return StmBootLoader::Error(-1);
        return finished.first().first().value<StmBootLoader::Error>();
    }

    QByteArray expectedFlash(const QByteArray &image, const QByteArray &before) const
    {
        QByteArray flash = before;
        const int padded = (image.size() + 255) / 256 * 256;
        const int erased = (padded + 2047) / 2048 * 2048;
        flash.replace(0, erased, QByteArray(erased, char(0xFF)));
        flash.replace(0, image.size(), image);
        return flash;
    }

    VirtualBootloader device;
    std::unique_ptr<MemoryLine> line;
    std::unique_ptr<StmBootLoader> loader;

    // Holds back the device's answer the first time the loader waits in each of `steps`, until
    // release() lets the held bytes through in order.
    struct AnswerHolder {
        AnswerHolder(StmBootLoaderTest &t, QList<int> steps)
        {
            release = [this, &t] {
                holding = false;
                t.line->injectIncoming(std::exchange(held, QByteArray()));
            };
            t.line->setIncomingFilter([this, &t, steps](const QByteArray &in) {
                const int step = t.loader->step();
                if (!holding && steps.contains(step) && !heldInSteps.contains(step)) {
                    holding = true;
                    heldInSteps << step;
                    if (onHold)
                        onHold();
                }
                if (!holding)
                    return in;
                held += in;
                return QByteArray();
            });
        }
        QByteArray held;
        bool holding = false;
        QList<int> heldInSteps;
        std::function<void()> onHold;
        std::function<void()> release;
    };
};

TEST_F(StmBootLoaderTest, ConnectsIgnoringEarlyBytesAndStaysReadyWhileIdle)
{
    QSignalSpy states(loader.get(), &StmBootLoader::stateChanged);
    loader->setIoDevice(line.get());
    EXPECT_EQ(loader->state(), StmBootLoader::State_Connecting);
    // Firmware chatter still on the line when the loader takes over must not count as an answer.
    line->injectIncoming(QByteArray("\x79\x1f garbage", 10));
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    EXPECT_EQ(device.commandCount(0x00), 1);
    ASSERT_FALSE(line->writes().isEmpty());
    EXPECT_EQ(line->writes().first(), QByteArray(1, char(0x7F)));

    // Idle probes keep the link alive and the state Ready.
    QElapsedTimer t;
    t.start();
    waitUntil([&] { return t.elapsed() > 900; }, 2000);
    EXPECT_EQ(loader->state(), StmBootLoader::State_Ready);
    EXPECT_GE(line->writes().count(QByteArray("\x7f\x7f", 2)), 2);
    EXPECT_EQ(device.commandCount(0x00), 1);
    EXPECT_EQ(states.count(), 2);  // Connecting, Ready
}

TEST_F(StmBootLoaderTest, AlreadySynchronisedBootloaderIsReachedThroughItsNack)
{
    device.receive(QByteArray(1, char(0x7F)));  // someone synchronised it before
    ASSERT_TRUE(device.synchronised());
    connectLoader();
    EXPECT_EQ(device.commandCount(0x00), 1);
}

TEST_F(StmBootLoaderTest, EraseProgramVerifyWritesPaddedImageAndResynchronises)
{
    device.setFlash(pattern(16384, 7));
    const QByteArray before = device.flash();
    connectLoader();
    const QByteArray image = pattern(5000, 1);
    QList<float> progress;
    QObject::connect(loader.get(), &StmBootLoader::operationProgressChanged, [&](float p) { progress << p; });
    QSignalSpy states(loader.get(), &StmBootLoader::stateChanged);

    ASSERT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_None);
    EXPECT_EQ(loader->operationError(), StmBootLoader::Error_None);
    EXPECT_TRUE(loader->operationErrorString().isEmpty());
    EXPECT_EQ(device.flash(), expectedFlash(image, before));
    EXPECT_EQ(device.commandCount(0x44), 3);   // three 2 KiB pages, one per command
    EXPECT_EQ(device.commandCount(0x31), 20);  // 5120 bytes in 256-byte blocks
    EXPECT_EQ(device.commandCount(0x11), 20);

    ASSERT_FALSE(progress.isEmpty());
    EXPECT_FLOAT_EQ(progress.last(), 1.0f);
    for (int i = 1; i < progress.size(); ++i)
        EXPECT_GE(progress[i], progress[i - 1]);
    EXPECT_NEAR(progress[0], 0.03f * 2048 / 5120, 1e-6);         // first page erased
    EXPECT_NEAR(progress[3], 0.97f * 256 / 5120 + 0.03f, 1e-6);  // first block verified

    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    ASSERT_GE(states.count(), 3);
    EXPECT_EQ(states[0][0].value<StmBootLoader::State>(), StmBootLoader::State_Busy);
    EXPECT_EQ(states[1][0].value<StmBootLoader::State>(), StmBootLoader::State_Connecting);
}

TEST_F(StmBootLoaderTest, OneByteImageIsOnePageAndOneBlock)
{
    device.setFlash(QByteArray(4096, char(0x00)));
    connectLoader();
    ASSERT_EQ(run(StmBootLoader::EraseProgramVerify, 4, QByteArray(1, char(0x5A))), StmBootLoader::Error_None);
    EXPECT_EQ(device.commandCount(0x44), 1);
    EXPECT_EQ(device.commandCount(0x31), 1);
    EXPECT_EQ(quint8(device.flash()[0]), 0x5A);
    EXPECT_EQ(device.flash().mid(1, 2047), QByteArray(2047, char(0xFF)));
    EXPECT_EQ(device.flash().mid(2048, 2048), QByteArray(2048, char(0x00)));  // not touched
    EXPECT_EQ(commandAddresses(line->writes(), 0x31), QList<quint32>{0x08000000u});
}

TEST_F(StmBootLoaderTest, BlocksGoFromTheHighestAddressDown)
{
    connectLoader();
    ASSERT_EQ(run(StmBootLoader::EraseProgramVerify, 4, pattern(1024, 3)), StmBootLoader::Error_None);
    const QList<quint32> expected{0x08000300u, 0x08000200u, 0x08000100u, 0x08000000u};
    EXPECT_EQ(commandAddresses(line->writes(), 0x31), expected);
    EXPECT_EQ(commandAddresses(line->writes(), 0x11), expected);
}

TEST_F(StmBootLoaderTest, ImageSizeLimits)
{
    connectLoader();
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, QByteArray()), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->operationErrorString(), QStringLiteral("Zero size flash program"));
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));

    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, pattern(258049, 4)), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->operationErrorString(), QStringLiteral("Bad end flash address"));
    EXPECT_EQ(device.commandCount(0x44), 0);
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));

    const QByteArray largest = pattern(258048, 5);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, largest, 60000), StmBootLoader::Error_None);
    EXPECT_EQ(device.flash().left(258048), largest);
    EXPECT_EQ(device.flash().mid(258048), QByteArray(4096, char(0xFF)));
}

TEST_F(StmBootLoaderTest, VerifyFailureLimitCountsOverTheWholeOperation)
{
    connectLoader();
    // Spoil the data of the first n Read Memory answers (257 bytes: ACK + block).
    int spoil = 3;
    line->setIncomingFilter([&](const QByteArray &in) {
        QByteArray out = in;
        if (spoil > 0 && out.size() >= 257) {
            out[int(out.size()) - 10] = char(out[int(out.size()) - 10] ^ 0x40);
            --spoil;
        }
        return out;
    });
    const QByteArray image = pattern(2048, 9);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_None);
    EXPECT_EQ(device.flash().left(2048), image);
    EXPECT_EQ(device.commandCount(0x31), 8 + 3);  // three blocks were written again

    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    spoil = 1000;
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_Checksum);
    EXPECT_EQ(loader->operationErrorString(), QStringLiteral("Too many verification failures"));
    spoil = 0;
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
}

TEST_F(StmBootLoaderTest, CorruptingFlashEndsAfterTheLimit)
{
    connectLoader();
    device.setCorruptWrites(true);
    const int writesBefore = device.commandCount(0x31);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 3, pattern(512, 2)), StmBootLoader::Error_Checksum);
    EXPECT_EQ(device.commandCount(0x31) - writesBefore, 3);
    device.setCorruptWrites(false);
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
}

TEST_F(StmBootLoaderTest, VerifyOnlyReadsWithoutWriting)
{
    const QByteArray image = pattern(3000, 11);
    device.setFlash(image);
    connectLoader();
    EXPECT_EQ(run(StmBootLoader::VerifyOnly, 2, image), StmBootLoader::Error_None);
    EXPECT_EQ(device.commandCount(0x44), 0);
    EXPECT_EQ(device.commandCount(0x31), 0);
    EXPECT_EQ(device.commandCount(0x11), 12);

    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    QByteArray differing = image;
    differing[100] = char(differing[100] ^ 1);
    EXPECT_EQ(run(StmBootLoader::VerifyOnly, 2, differing), StmBootLoader::Error_Checksum);
    EXPECT_EQ(device.flash().left(3000), image);
    EXPECT_EQ(device.commandCount(0x31), 0);
}

TEST_F(StmBootLoaderTest, NacksAreRetried)
{
    connectLoader();
    device.injectNacks(5);
    const QByteArray image = pattern(4096, 12);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_None);
    EXPECT_EQ(device.flash().left(4096), image);
}

TEST_F(StmBootLoaderTest, TenthConsecutiveNackEndsWithCommunicationError)
{
    connectLoader();
    device.injectNacks(10);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, pattern(300, 1)), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->operationErrorString(), QStringLiteral("BootLoader communication error"));
    EXPECT_EQ(device.commandCount(0x44), 0);
    // Resynchronises and can run the next operation.
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    device.injectNacks(9);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, pattern(300, 1)), StmBootLoader::Error_None);
}

// On a busy host an answer can arrive later than one step time. Late is not lost: the command
// must not be repeated while its answer is still on its way, or the late answer is taken for
// the repeat's and the exchange falls apart.
TEST_F(StmBootLoaderTest, LateAnswersAreWaitedFor)
{
    // Hold up the device's answer once in each kind of wait (the Get reply while connecting, an
    // erase ACK, an address ACK, a Read Memory reply) for more than two step times; the held
    // bytes then arrive in order.
    AnswerHolder holder(*this, {3, 12, 14, 18});
    holder.onHold = [&] { QTimer::singleShot(2 * StmBootLoader::kStepTimeoutMs + 150, line.get(), holder.release); };
    connectLoader();
    EXPECT_EQ(device.commandCount(0x00), 1) << "Get was not repeated while its answer was on its way";
    const QByteArray image = pattern(8192, 5);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image), StmBootLoader::Error_None);
    EXPECT_EQ(holder.heldInSteps, (QList<int>{3, 12, 14, 18}));
    EXPECT_EQ(device.flash().left(8192), image);
    EXPECT_EQ(device.commandCount(0x31), 32);  // no block was written twice
}

// An answer later than the whole wait: the command is repeated, but only after the late
// answer has been drained with the filler's and a 7F probe has found the command boundary, so
// no later ACK is taken for another phase's. Held once in an erase, a write and a read.
TEST_F(StmBootLoaderTest, AnswerLaterThanTheWholeWaitIsDrainedBeforeTheRepeat)
{
    connectLoader();
    AnswerHolder holder(*this, {11, 14, 18});
    line->setOutgoingFilter([&](const QByteArray &out) {
        // The late answer arrives with the filler's answers, after the command was given up.
        if (holder.holding && out.size() == StmBootLoader::kResyncFillBytes)
            QTimer::singleShot(0, line.get(), holder.release);
        return out;
    });
    const QByteArray before = device.flash();
    const QByteArray image = pattern(4096, 31);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 1, image, 90000), StmBootLoader::Error_None);
    EXPECT_EQ(holder.heldInSteps, (QList<int>{11, 14, 18}));
    EXPECT_EQ(device.flash(), expectedFlash(image, before));
    EXPECT_GE(device.commandCount(0x11), 2 * 16) << "the image was read back once more";
}

// A starved host: the port's writer gets to send a command only long after it was written.
// The answer is waited for from when the command left, so nothing is repeated; a port that
// never sends ends in a clean failure.
TEST_F(StmBootLoaderTest, StepTimeCountsFromWhenTheBytesLeft)
{
    connectLoader();
    int writeCommands = 0;
    line->setOutgoingFilter([&](const QByteArray &out) {
        if (out.startsWith(QByteArray("\x31\xce", 2)) && ++writeCommands % 16 == 1) {
            line->setHold(true);
            QTimer::singleShot(6 * StmBootLoader::kStepTimeoutMs, line.get(), [&] { line->setHold(false); });
        }
        return out;
    });
    const QByteArray image = pattern(8192, 9);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image, 60000), StmBootLoader::Error_None);
    EXPECT_EQ(device.flash().left(8192), image);
    EXPECT_EQ(device.commandCount(0x31), 32) << "no block was written twice";

    line->setOutgoingFilter({});
    ASSERT_TRUE(waitUntil([&] { return loader->step() == 7; }));
    line->setHold(true);
    EXPECT_EQ(run(StmBootLoader::EraseProgramVerify, 4, image, 120000), StmBootLoader::Error_Protocol);
    line->setHold(false);
}

TEST_F(StmBootLoaderTest, SilentLineTimesOutAndRecoversLater)
{
    connectLoader();
    bool silent = false;
    int writesSeen = 0;
    line->setOutgoingFilter([&](const QByteArray &in) {
        // Cut the line right after the erase command went out.
        if (++writesSeen == 1)
            silent = true;
        return silent ? QByteArray() : in;
    });
    ASSERT_TRUE(waitUntil([&] { return loader->step() == 7; }));  // not during an idle probe
    line->setHold(true);
    QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, pattern(256, 1));
    line->setHold(false);
    // Ten failures, each after four silent step times.
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 30000));
    EXPECT_EQ(finished[0][0].value<StmBootLoader::Error>(), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->operationErrorString(), QStringLiteral("BootLoader communication error"));
    EXPECT_EQ(loader->state(), StmBootLoader::State_Connecting);
    silent = false;
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
}

// Faults that keep the bootloader's framing intact are absorbed by retries: spoiled data
// frames are NACKed and sent again, bytes lost from a Read Memory answer end in a timeout and
// a second verify. The outcome is still the verified image.
TEST_F(StmBootLoaderTest, SpoiledFramesAndLostAnswerBytesAreRetriedAndVerified)
{
    connectLoader();
    QRandomGenerator rng(42);
    int corrupted = 0, lost = 0;
    line->setOutgoingFilter([&](const QByteArray &in) {
        QByteArray out = in;
        if (out.size() == 258 && rng.bounded(4u) == 0) {
            const int at = 1 + int(rng.bounded(256u));
            out[at] = char(out[at] ^ 0x10);
            ++corrupted;
        }
        return out;
    });
    line->setIncomingFilter([&](const QByteArray &in) {
        QByteArray out = in;
        if (out.size() >= 257 && rng.bounded(6u) == 0) {
            out.remove(out.size() - 1 - int(rng.bounded(200u)), 1);
            ++lost;
        }
        return out;
    });
    const QByteArray image = pattern(6144, 77);
    const StmBootLoader::Error error = run(StmBootLoader::EraseProgramVerify, 0, image, 30000);
    EXPECT_GT(corrupted, 0);
    EXPECT_GT(lost, 0);
    EXPECT_EQ(error, StmBootLoader::Error_None);
    EXPECT_EQ(device.flash().left(6144), image);
}

TEST_F(StmBootLoaderTest, OperationRequestedDuringIdleProbeStartsOnItsNack)
{
    connectLoader();
    line->setHold(true);
    ASSERT_TRUE(waitUntil([&] { return loader->step() == 8; }, 2000));
    const QByteArray image = pattern(700, 21);
    QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, image);
    EXPECT_EQ(loader->step(), 8);
    EXPECT_EQ(loader->state(), StmBootLoader::State_Ready);
    line->setHold(false);
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(finished[0][0].value<StmBootLoader::Error>(), StmBootLoader::Error_None);
    EXPECT_EQ(device.flash().left(700), image);
}

TEST_F(StmBootLoaderTest, RequestsWhileNotIdleAreRefused)
{
    QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, pattern(10, 1));
    loader->sendGo();
    loader->setIoDevice(line.get());
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, pattern(10, 1));
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(device.commandCount(0x44), 0);
    EXPECT_EQ(device.commandCount(0x21), 0);
}

TEST_F(StmBootLoaderTest, GoReleasesTheDeviceAndASecondGoIsResent)
{
    connectLoader();
    QSignalSpy deviceChanges(loader.get(), &StmBootLoader::ioDeviceChanged);
    ASSERT_TRUE(waitUntil([&] { return loader->step() == 7; }));  // not during an idle probe
    line->setHold(true);
    loader->sendGo();
    EXPECT_EQ(loader->state(), StmBootLoader::State_Busy);
    loader->sendGo();
    const QByteArray go("\x21\xde\x08\x00\x00\x00\x08", 7);
    EXPECT_EQ(line->writes().count(go), 2);
    line->setHold(false);
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_NoDevice; }));
    EXPECT_EQ(loader->ioDevice(), nullptr);
    EXPECT_EQ(deviceChanges.count(), 1);
    EXPECT_TRUE(device.takeGoRequest());
    EXPECT_FALSE(device.takeGoRequest());
    EXPECT_EQ(device.lastGoAddress(), 0x08000000u);
    // Once released, nothing more is written.
    const int writes = line->writes().size();
    QElapsedTimer t;
    t.start();
    waitUntil([&] { return t.elapsed() > 500; }, 1000);
    EXPECT_EQ(line->writes().size(), writes);
}

TEST_F(StmBootLoaderTest, GoDeferredDuringIdleProbe)
{
    connectLoader();
    line->setHold(true);
    ASSERT_TRUE(waitUntil([&] { return loader->step() == 8; }, 2000));
    loader->sendGo();
    EXPECT_EQ(loader->step(), 8);
    line->setHold(false);
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_NoDevice; }));
    EXPECT_TRUE(device.takeGoRequest());
}

TEST_F(StmBootLoaderTest, LosingTheDeviceMidOperationReportsAnError)
{
    connectLoader();
    QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
    QObject::connect(loader.get(), &StmBootLoader::operationProgressChanged, [&](float p) {
        if (p > 0.1f)
            line->setHold(true);
    });
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, pattern(65536, 3));
    ASSERT_TRUE(waitUntil([&] { return loader->operationProgress() > 0.1f; }));
    EXPECT_EQ(finished.count(), 0);
    loader->setIoDevice(nullptr);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished[0][0].value<StmBootLoader::Error>(), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->state(), StmBootLoader::State_NoDevice);
    // A closed device counts as none.
    line->close();
    loader->setIoDevice(line.get());
    EXPECT_EQ(loader->ioDevice(), nullptr);
    EXPECT_EQ(loader->state(), StmBootLoader::State_NoDevice);
}

// An operation postponed behind the idle probe and then dropped by a device change must end
// like a lost operation, not leave its caller waiting for an outcome that never comes.
TEST_F(StmBootLoaderTest, PostponedOperationDroppedByADeviceChangeFinishesWithAnError)
{
    connectLoader();
    line->setHold(true);
    ASSERT_TRUE(waitUntil([&] { return loader->step() == 8; }, 2000));
    QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, pattern(700, 5));
    ASSERT_EQ(finished.count(), 0);
    MemoryLine other;
    other.setFarEnd([this](const QByteArray &bytes) { return device.receive(bytes); });
    loader->setIoDevice(&other);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished[0][0].value<StmBootLoader::Error>(), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->operationErrorString(), QStringLiteral("BootLoader communication error"));
    // The dropped request does not start on the new device either.
    ASSERT_TRUE(waitUntil([&] { return loader->state() == StmBootLoader::State_Ready; }));
    loader->setIoDevice(nullptr);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(device.commandCount(0x44), 0);
}

// A device deleted by its owner mid-operation is noticed: the operation ends with an error
// and the loader is without a device instead of Busy for ever.
TEST_F(StmBootLoaderTest, DestroyedDeviceEndsTheOperation)
{
    connectLoader();
    QSignalSpy finished(loader.get(), &StmBootLoader::operationFinished);
    QSignalSpy deviceChanges(loader.get(), &StmBootLoader::ioDeviceChanged);
    loader->beginOperation(StmBootLoader::EraseProgramVerify, 4, pattern(65536, 9));
    ASSERT_TRUE(waitUntil([&] { return loader->operationProgress() > 0.1f; }));
    ASSERT_EQ(loader->state(), StmBootLoader::State_Busy);
    line.reset();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished[0][0].value<StmBootLoader::Error>(), StmBootLoader::Error_Protocol);
    EXPECT_EQ(loader->state(), StmBootLoader::State_NoDevice);
    EXPECT_EQ(loader->ioDevice(), nullptr);
    EXPECT_EQ(deviceChanges.count(), 1);
    // Its timers find nothing to write to and stay quiet.
    QElapsedTimer t;
    t.start();
    spinFor(800);
    EXPECT_EQ(loader->state(), StmBootLoader::State_NoDevice);
    EXPECT_EQ(finished.count(), 1);
}

}  // namespace
