// The operating-mode controller with a scripted device factory whose device is the virtual
// STM32 bootloader: the guess timer, the hand-over of the device and the reopen on every switch.
#include "bootloader/TarrowindLogger.h"
#include "MemoryLine.h"
#include "network/Network.h"
#include "serial/IODeviceFactory.h"
#include "sim/VirtualBootloader.h"
#include "WaitUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// The identity a logger's firmware announces while unconnected.
QByteArray identityAnnouncement()
{
    Network::S2C_GetDeviceIdResultPacket p{};
    p.serverType = Network::ServerType_Kestrelcove;
    p.patchLevelVersion = 4468;
    std::memcpy(p.uniqueId, "TW3X-000777", 11);
    p.modelType = Network::ModelType_Tarrowind3X;
    const int header = int(sizeof(Network::PacketBase));
    return Network::encodePacket(Network::S2C_GetDeviceIdResult, 0, reinterpret_cast<const char *>(&p) + header,
                                 int(sizeof p) - header);
}

// Hands out one in-memory line; reinit() "reopens" it in a later turn of the event loop.
class FakeFactory : public IODeviceFactory
{
public:
    explicit FakeFactory(QIODevice *device) : m_device(device) {}
    QIODevice *ioDevice() const override { return m_open ? m_device : nullptr; }
    void reinit() override
    {
        ++reinits;
        m_open = false;
        emit ioDeviceChanged();
        QTimer::singleShot(0, this, [this] {
            m_open = true;
            emit ioDeviceChanged();
        });
    }
    int reinits = 0;

private:
    QIODevice *m_device;
    bool m_open = false;
};

// A line whose far end is `device`.
void attachDevice(MemoryLine &line, VirtualBootloader &device)
{
    line.setFarEnd([&device](const QByteArray &bytes) { return device.receive(bytes); });
}

class TarrowindLoggerTest : public ::testing::Test
{
protected:
    TarrowindLoggerTest() { attachDevice(line, device); }

    VirtualBootloader device;
    MemoryLine line;
    FakeFactory factory{&line};
    TarrowindLogger logger;
};

TEST_F(TarrowindLoggerTest, WithoutADeviceNothingHappens)
{
    logger.setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_FALSE(logger.modeChangeTimerActive());
    EXPECT_FALSE(logger.deviceAttached());
    EXPECT_EQ(logger.currentOperatingMode(), TarrowindLogger::OperatingMode_Firmware);
    EXPECT_EQ(logger.firmware()->ioDevice(), nullptr);
    EXPECT_EQ(logger.bootloader()->ioDevice(), nullptr);
    EXPECT_EQ(logger.bootloader()->parent(), &logger);
    EXPECT_EQ(logger.firmware()->parent(), &logger);
}

TEST_F(TarrowindLoggerTest, GuessesTheBootloaderAndStartsTheFirmware)
{
    QSignalSpy factoryChanged(&logger, &TarrowindLogger::ioDeviceFactoryChanged);
    logger.setIoDeviceFactory(&factory);
    EXPECT_EQ(factory.reinits, 1);
    EXPECT_EQ(factoryChanged.count(), 1);
    ASSERT_TRUE(waitUntil([&] { return logger.firmware()->ioDevice() == &line; }, 1000));
    EXPECT_EQ(logger.bootloader()->ioDevice(), nullptr);
    EXPECT_TRUE(logger.deviceAttached());
    EXPECT_TRUE(logger.modeChangeTimerActive());

    // No firmware answers: after 3.5 s the bootloader is tried. It is not the target, so it
    // is sent Go as soon as it is Ready, and the controller returns to firmware at once.
    QSignalSpy modes(&logger, &TarrowindLogger::currentOperatingModeChanged);
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(waitUntil([&] { return device.takeGoRequest(); }, 6000));
    EXPECT_GE(t.elapsed(), TarrowindLogger::kModeChangeIntervalMs - 100);
    ASSERT_EQ(modes.count(), 2);
    EXPECT_EQ(logger.currentOperatingMode(), TarrowindLogger::OperatingMode_Firmware);
    EXPECT_EQ(factory.reinits, 3);  // the first open and one per switch
    EXPECT_EQ(logger.bootloader()->ioDevice(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return logger.firmware()->ioDevice() == &line; }, 1000));
}

TEST_F(TarrowindLoggerTest, BootloaderTargetIsReachedAndHeld)
{
    logger.setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    logger.setIoDeviceFactory(&factory);
    ASSERT_TRUE(waitUntil([&] { return logger.bootloader()->state() == StmBootLoader::State_Ready; }, 6000));
    EXPECT_EQ(logger.currentOperatingMode(), TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_TRUE(logger.targetReached());
    EXPECT_FALSE(logger.modeChangeTimerActive());
    EXPECT_EQ(logger.firmware()->ioDevice(), nullptr);

    // While an operation runs, target changes change nothing else.
    QSignalSpy modes(&logger, &TarrowindLogger::currentOperatingModeChanged);
    // Start outside an idle probe, so the operation starts at once rather than on its answer.
    ASSERT_TRUE(waitUntil([&] { return logger.bootloader()->step() == 7; }, 2000));
    line.setHold(true);
    logger.bootloader()->beginOperation(StmBootLoader::EraseProgramVerify, 4, QByteArray(300, 'a'));
    ASSERT_EQ(logger.bootloader()->state(), StmBootLoader::State_Busy);
    logger.setTargetOperatingMode(TarrowindLogger::OperatingMode_Firmware);
    logger.setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_EQ(modes.count(), 0);
    EXPECT_FALSE(logger.modeChangeTimerActive());
    EXPECT_EQ(logger.targetOperatingMode(), TarrowindLogger::OperatingMode_Bootloader);
    QSignalSpy finished(logger.bootloader(), &StmBootLoader::operationFinished);
    line.setHold(false);
    ASSERT_TRUE(waitUntil([&] { return !finished.isEmpty(); }, 5000));
    EXPECT_EQ(device.flash().left(300), QByteArray(300, 'a'));
    ASSERT_TRUE(waitUntil([&] { return logger.bootloader()->state() == StmBootLoader::State_Ready; }, 3000));
    EXPECT_EQ(modes.count(), 0);
    EXPECT_FALSE(device.takeGoRequest());
}

// On a busy host a client that has heard the device can need longer than one guess period to
// reach its ready state; the guess must not change under it. Ticks are run by hand at the
// moment in question.
TEST_F(TarrowindLoggerTest, AGuessTheDeviceAnswersIsKept)
{
    logger.setIoDeviceFactory(&factory);
    ASSERT_TRUE(waitUntil([&] { return logger.firmware()->ioDevice() == &line; }));
    QSignalSpy modes(&logger, &TarrowindLogger::currentOperatingModeChanged);

    // Firmware that announced itself but has not answered the identity queries yet.
    line.injectIncoming(identityAnnouncement());
    ASSERT_TRUE(waitUntil(
        [&] { return logger.firmware()->connectionState() == TarrowindFirmware::ConnectionState_QueryingInfo; }));
    QMetaObject::invokeMethod(&logger, "modeChangeTimerTick", Qt::DirectConnection);
    EXPECT_EQ(modes.count(), 0);
    EXPECT_EQ(factory.reinits, 1);

    // The queries expire unanswered: now the bootloader is tried.
    ASSERT_TRUE(
        waitUntil([&] { return logger.currentOperatingMode() == TarrowindLogger::OperatingMode_Bootloader; }, 15000));
    EXPECT_EQ(modes.count(), 1);

    // A bootloader that acknowledged the sync but whose Get answer is still outstanding.
    bool loseGet = true;
    line.setOutgoingFilter(
        [&](const QByteArray &out) { return loseGet && out == QByteArray("\x00\xff", 2) ? QByteArray() : out; });
    ASSERT_TRUE(waitUntil([&] { return logger.bootloader()->step() == 3; }));
    QMetaObject::invokeMethod(&logger, "modeChangeTimerTick", Qt::DirectConnection);
    EXPECT_EQ(logger.currentOperatingMode(), TarrowindLogger::OperatingMode_Bootloader);
    EXPECT_EQ(modes.count(), 1);

    // Once it is Ready it is sent Go, and the firmware is tried again.
    loseGet = false;
    ASSERT_TRUE(waitUntil([&] { return device.takeGoRequest(); }));
    EXPECT_EQ(modes.count(), 2);
    EXPECT_EQ(logger.currentOperatingMode(), TarrowindLogger::OperatingMode_Firmware);
}

TEST_F(TarrowindLoggerTest, ChangingTheFactoryMovesTheConnection)
{
    logger.setIoDeviceFactory(&factory);
    VirtualBootloader otherDevice;
    MemoryLine otherLine;
    attachDevice(otherLine, otherDevice);
    FakeFactory other(&otherLine);
    logger.setIoDeviceFactory(&other);
    EXPECT_EQ(other.reinits, 1);
    ASSERT_TRUE(waitUntil([&] { return logger.firmware()->ioDevice() == &otherLine; }, 1000));
    // The old factory no longer reaches the controller.
    factory.reinit();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(logger.firmware()->ioDevice(), &otherLine);
    logger.setIoDeviceFactory(nullptr);
}

}  // namespace
